"""A read-only view of a DICOM data set: values by keyword or tag, typed by their VR.

The native core walks the file once (sequences included, text decoded under the file's
character set); values are converted to Python types on first access and kept.
"""

from __future__ import annotations

import datetime
import os
import re
import struct
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any, Union

import numpy as np

from . import _core
from ._types import TagInfo

if TYPE_CHECKING:  # pragma: no cover - typing only
    import pydicom

__all__ = [
    "Dataset",
    "Element",
    "PersonName",
    "read",
    "from_pydicom",
    "parse_date",
    "parse_time",
    "parse_datetime",
]

#: What a data set may be indexed by: a packed tag (0x00100010), a (group, element) pair or a keyword.
TagKey = Union[int, tuple[int, int], str]

PIXEL_TAGS = (0x7FE00010, 0x7FE00008, 0x7FE00009)
# VRs whose text may hold several values separated by backslashes.
_MULTI_TEXT = frozenset({"AE", "AS", "CS", "DA", "DS", "DT", "IS", "LO", "PN", "SH", "TM", "UC", "UI"})
# VRs whose leading spaces carry no meaning.
_TRIM_LEADING = frozenset({"AE", "AS", "CS", "DA", "DS", "DT", "IS", "LO", "SH", "TM", "UI"})
_TEXT = _MULTI_TEXT | {"LT", "ST", "UT", "UR"}
_BINARY_NUMBERS = {"US": "H", "SS": "h", "UL": "I", "SL": "i", "FL": "f", "FD": "d", "SV": "q", "UV": "Q"}
# Values longer than this are cut in dumps.
DUMP_WIDTH = 64

_keywords: dict[str, int | None] = {}
_descriptions: dict[int, TagInfo | None] = {}


def _tag_of(key: TagKey) -> int:
    if isinstance(key, str):
        tag = _keywords.get(key, -1)
        if tag == -1:
            tag = _keywords[key] = _core.tag_for_keyword(key)
        if tag is None:
            raise KeyError(f"{key!r} is not a DICOM keyword")
        return int(tag)
    if isinstance(key, tuple):
        group, element = key
        return (int(group) << 16) | int(element)
    if isinstance(key, (int, np.integer)) and not isinstance(key, bool):
        return int(key)
    raise TypeError(f"a data set is indexed by keyword, tag or (group, element), not {type(key).__name__}")


def _describe(tag: int) -> TagInfo | None:
    if tag not in _descriptions:
        _descriptions[tag] = _core.describe_tag(tag)
    return _descriptions[tag]


def tag_text(tag: int) -> str:
    """A tag as "(gggg,eeee)"."""
    return f"({tag >> 16:04X},{tag & 0xFFFF:04X})"


class PersonName(str):
    """A PN value: the text as stored, with its component groups and name parts.

    >>> name = PersonName("Yamada^Tarou=山田^太郎")
    >>> name.family_name, name.given_name, name.ideographic
    ('Yamada', 'Tarou', '山田^太郎')
    """

    __slots__ = ()

    def _group(self, index: int) -> str:
        groups = self.split("=")
        return groups[index] if index < len(groups) else ""

    def _part(self, index: int) -> str:
        parts = self._group(0).split("^")
        return parts[index].strip() if index < len(parts) else ""

    @property
    def alphabetic(self) -> str:
        return self._group(0)

    @property
    def ideographic(self) -> str:
        return self._group(1)

    @property
    def phonetic(self) -> str:
        return self._group(2)

    @property
    def family_name(self) -> str:
        return self._part(0)

    @property
    def given_name(self) -> str:
        return self._part(1)

    @property
    def middle_name(self) -> str:
        return self._part(2)

    @property
    def name_prefix(self) -> str:
        return self._part(3)

    @property
    def name_suffix(self) -> str:
        return self._part(4)


def parse_date(text: str) -> datetime.date | None:
    """A DA value ("YYYYMMDD", or the old "YYYY.MM.DD") as a date.

    Args:
        text: the value as stored.

    Returns:
        The date; None when the text is empty or not a valid date.

    Example:
        >>> loam.parse_date("20240229")
        datetime.date(2024, 2, 29)
    """
    digits = text.strip().replace(".", "")
    try:
        return datetime.datetime.strptime(digits, "%Y%m%d").date() if len(digits) == 8 else None
    except ValueError:
        return None


_TIME = re.compile(r"^(\d\d)(?::?(\d\d)(?::?(\d\d)(?:\.(\d{1,6}))?)?)?$")


def parse_time(text: str) -> datetime.time | None:
    """A TM value ("HHMMSS.FFFFFF", any trailing part left out) as a time.

    Args:
        text: the value as stored.

    Returns:
        The time (a leap second read as 59); None when the text is empty or not a valid time.

    Example:
        >>> loam.parse_time("101530.25")
        datetime.time(10, 15, 30, 250000)
    """
    m = _TIME.match(text.strip())
    if not m:
        return None
    hour, minute, second, fraction = m.groups()
    try:
        return datetime.time(int(hour), int(minute or 0), min(int(second or 0), 59),
                             int((fraction or "0").ljust(6, "0")))
    except ValueError:
        return None


_DATETIME = re.compile(r"^(\d{4})(\d\d)?(\d\d)?(\d\d)?(\d\d)?(\d\d)?(?:\.(\d{1,6}))?([+-]\d{4})?$")


def parse_datetime(text: str) -> datetime.datetime | None:
    """A DT value ("YYYYMMDDHHMMSS.FFFFFF&ZZXX", any trailing part left out) as a datetime.

    Args:
        text: the value as stored.

    Returns:
        The datetime, aware when the text states its offset; None when empty or invalid.

    Example:
        >>> loam.parse_datetime("20240229101530+0100").tzinfo
        datetime.timezone(datetime.timedelta(seconds=3600))
    """
    m = _DATETIME.match(text.strip())
    if not m:
        return None
    year, month, day, hour, minute, second, fraction, offset = m.groups()
    zone = None
    if offset:
        minutes = int(offset[1:3]) * 60 + int(offset[3:5])
        zone = datetime.timezone(datetime.timedelta(minutes=-minutes if offset[0] == "-" else minutes))
    try:
        return datetime.datetime(int(year), int(month or 1), int(day or 1), int(hour or 0), int(minute or 0),
                                 min(int(second or 0), 59), int((fraction or "0").ljust(6, "0")), tzinfo=zone)
    except ValueError:
        return None


def _number(text: str, vr: str) -> int | float | str:
    try:
        if vr == "IS":
            try:
                return int(text)
            except ValueError:
                as_float = float(text)  # "1.0" written where an integer string belongs
                return int(as_float) if as_float.is_integer() else text
        return float(text)
    except ValueError:
        return text  # kept as written rather than lost


def _value(vr: str, raw: Any) -> Any:
    """A native value (str, bytes or list of item dicts) typed by its VR."""
    if vr == "SQ":
        items = _core._read_items(*raw) if isinstance(raw, tuple) else raw
        return [Dataset(item) for item in items]
    if isinstance(raw, str):
        if vr not in _MULTI_TEXT:
            return raw.rstrip(" ")
        parts = raw.split("\\")
        if vr in _TRIM_LEADING:
            parts = [p.strip(" ") for p in parts]
        else:
            parts = [p.rstrip(" ") for p in parts]
        if vr in ("DS", "IS"):
            numbers = [None if not p else _number(p, vr) for p in parts]
            if len(numbers) == 1:
                return numbers[0]
            return numbers
        if vr == "PN":
            # Empty trailing component groups say nothing ("Wang^XiaoDong=王^小東=").
            names = [PersonName(p.rstrip("=")) for p in parts]
            return names[0] if len(names) == 1 else names
        return parts[0] if len(parts) == 1 else parts
    if vr in _BINARY_NUMBERS:
        code = _BINARY_NUMBERS[vr]
        count = len(raw) // struct.calcsize(code)
        if count == 0:
            return None
        values = struct.unpack_from(f"<{count}{code}", raw)
        return values[0] if count == 1 else list(values)
    if vr == "AT":
        pairs = struct.unpack_from(f"<{len(raw) // 2}H", raw)
        tags = [(pairs[i] << 16) | pairs[i + 1] for i in range(0, len(pairs) - 1, 2)]
        return None if not tags else tags[0] if len(tags) == 1 else tags
    return raw


class Element:
    """One element of a data set: its tag, VR and typed value (pydicom's DataElement, read-only)."""

    __slots__ = ("tag", "vr", "_raw", "_value", "_creator")

    def __init__(self, tag: int, vr: str, raw: Any, creator: str | None = None) -> None:
        self.tag, self.vr, self._raw, self._creator = tag, vr, raw, creator
        self._value: Any = _UNSET

    @property
    def value(self) -> Any:
        """The value typed by VR: str, int, float or lists of them; PersonName for PN; bytes for
        binary VRs; a list of Dataset for sequences; None for an empty number."""
        if self._value is _UNSET:
            self._value = _value(self.vr, self._raw)
        return self._value

    @property
    def raw(self) -> bytes | str | None:
        """The value as read, before typing: little-endian bytes for binary VRs, decoded text for
        text VRs; None for a sequence."""
        return None if self.vr == "SQ" else self._raw

    @property
    def keyword(self) -> str:
        """The standard keyword ("PatientName"), or "" for private and unknown tags."""
        info = _describe(self.tag)
        return str(info["keyword"]) if info and not self.is_private else ""

    @property
    def name(self) -> str:
        """The attribute's name: the dictionary's, the private dictionary's under its creator,
        "Private Creator", or "Unknown"."""
        group, element = self.tag >> 16, self.tag & 0xFFFF
        if self.is_private:
            if 0x10 <= element <= 0xFF:
                return "Private Creator"
            if self._creator:
                info = _core.describe_private(self._creator, group, element & 0xFF)
                label = str(info["name"]) if info else "Unknown"
                return f"[{self._creator}] {label}"
            return "Unknown"
        info = _describe(self.tag)
        return str(info["name"]) if info else "Unknown"

    @property
    def is_private(self) -> bool:
        return bool((self.tag >> 16) & 1)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Element):
            return NotImplemented
        return (self.tag, self.vr, self.value) == (other.tag, other.vr, other.value)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return _dump_line(self, 0)


_UNSET: Any = object()


class Dataset:
    """A DICOM data set read by `read()`, indexed like pydicom's.

    - ``ds.PatientName`` and ``ds.get("PatientName")`` give the typed value;
    - ``ds["PatientName"]``, ``ds[0x00100010]`` and ``ds[0x0010, 0x0010]`` give the `Element`;
    - ``"PatientName" in ds``, ``len(ds)``, iteration over the elements in tag order;
    - ``ds.meta`` is the file meta information (group 0002) as a Dataset;
    - ``ds.pixels()`` decodes the image, ``ds.to_json()`` gives DICOM JSON, ``ds.to_pydicom()``
      a pydicom Dataset (when pydicom is installed).

    Example:
        >>> ds = loam.read("ct.dcm", stop_before_pixels=True)
        >>> ds.PatientName.family_name, ds.SliceThickness, ds.ImageType
        ('Doe', 5.0, ['ORIGINAL', 'PRIMARY', 'AXIAL'])
    """

    __slots__ = ("_raw", "_elements", "_buffer", "_meta", "_syntax", "_complete", "_stopped")

    def __init__(self, raw: dict[int, tuple[str, Any]], *, buffer: bytes | None = None,
                 meta: dict[int, tuple[str, Any]] | None = None, transfer_syntax: str = "",
                 complete: bool = True, stopped_before_pixels: bool = False) -> None:
        self._raw = raw
        self._elements: dict[int, Element] = {}
        self._buffer = buffer
        self._meta = Dataset(meta) if meta else None
        self._syntax = transfer_syntax
        self._complete = complete
        self._stopped = stopped_before_pixels

    # -- look-up -----------------------------------------------------------------------------
    def _element(self, tag: int) -> Element | None:
        found = self._elements.get(tag)
        if found is None:
            entry = self._raw.get(tag)
            if entry is None:
                return None
            creator = None
            if (tag >> 16) & 1 and (tag & 0xFFFF) >= 0x1000:
                block = self._raw.get((tag & 0xFFFF0000) | ((tag >> 8) & 0xFF))
                creator = block[1] if block and isinstance(block[1], str) else None
            found = self._elements[tag] = Element(tag, entry[0], entry[1], creator)
        return found

    def __getitem__(self, key: TagKey) -> Element:
        element = self._element(_tag_of(key))
        if element is None:
            raise KeyError(key)
        return element

    def __getattr__(self, keyword: str) -> Any:
        if keyword.startswith("_") or not keyword[:1].isupper():
            raise AttributeError(keyword)
        try:
            tag = _tag_of(keyword)
        except KeyError:
            raise AttributeError(f"{keyword!r} is not a DICOM keyword") from None
        element = self._element(tag)
        if element is None:
            raise AttributeError(f"the data set has no {keyword}")
        return element.value

    def get(self, key: TagKey, default: Any = None) -> Any:
        """The typed value of `key` (keyword, tag or pair), or `default` when absent."""
        try:
            element = self._element(_tag_of(key))
        except KeyError:
            return default
        return default if element is None else element.value

    def __contains__(self, key: object) -> bool:
        try:
            return _tag_of(key) in self._raw  # type: ignore[arg-type]
        except (KeyError, TypeError):
            return False

    def __len__(self) -> int:
        return len(self._raw)

    def __iter__(self) -> Iterator[Element]:
        for tag in sorted(self._raw):
            element = self._element(tag)
            assert element is not None
            yield element

    def keys(self) -> list[int]:
        """The tags present, in ascending order."""
        return sorted(self._raw)

    def __dir__(self) -> list[str]:
        words = [str(info["keyword"]) for tag in self._raw if not (tag >> 16) & 1
                 for info in [_describe(tag)] if info and info["keyword"]]
        return sorted(set(super().__dir__()) | set(words))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Dataset):
            return NotImplemented
        return list(self) == list(other)

    __hash__ = None  # type: ignore[assignment]

    # -- the whole -----------------------------------------------------------------------------
    @property
    def meta(self) -> Dataset:
        """The file meta information (group 0002); empty for a bare data set or an item."""
        return self._meta if self._meta is not None else Dataset({})

    file_meta = meta

    @property
    def transfer_syntax(self) -> str:
        """The transfer syntax UID: the file meta's, or the one sniffed for a bare data set."""
        return self._syntax

    @property
    def is_complete(self) -> bool:
        """False when some element or item could not be walked (a damaged file): what could be
        read is here, the rest is not."""
        return self._complete

    def pixels(self, *, frame: int | None = None, rescale: bool = False) -> np.ndarray:
        """The decoded image, shaped as pydicom's ``pixel_array``: (rows, columns[, samples]) for one
        frame, (frames, rows, columns[, samples]) for several. `frame` picks one frame (0-based, as
        Python indexes). `rescale=True` applies the modality rescale (HU for CT) as float32.

        Raises:
            ValueError: the data set has no pixel data, was read with stop_before_pixels, or its
                pixel data cannot be decoded.
            IndexError: `frame` is not one of the frames.
        """
        if self._buffer is None:
            raise ValueError("pixels() needs a data set read from a file or buffer, not a sequence item")
        if self._stopped:
            raise ValueError("this data set was read with stop_before_pixels=True; read it again without it")
        if not any(tag in self._raw for tag in PIXEL_TAGS):
            raise ValueError("the data set has no pixel data")
        if frame is None:
            array = _core.decode_bytes(self._buffer, 0, rescale)[0]
            return array[0] if array.shape[0] == 1 else array
        if frame < 0:
            raise IndexError(f"frame {frame} is out of range (frames are numbered from 0)")
        try:
            one: np.ndarray = _core.decode_bytes(self._buffer, frame + 1, rescale)[0][0]
            return one
        except RuntimeError as e:
            if "frame out of range" in str(e):
                raise IndexError(f"frame {frame} is out of range (frames are numbered from 0)") from None
            raise

    def to_json(self, *, inline_binary: bool = True) -> str:
        """The data set as DICOM JSON Model text (see `loam.read_json`)."""
        if self._buffer is None:
            raise ValueError("to_json() needs a data set read from a file or buffer, not a sequence item")
        return _core.read_json(self._buffer, inline_binary=inline_binary)

    def to_bytes(self) -> bytes:
        """The file or buffer this data set was read from, unchanged."""
        if self._buffer is None:
            raise ValueError("a sequence item has no bytes of its own")
        return self._buffer

    def to_pydicom(self) -> pydicom.Dataset:
        """The same file read by pydicom (which must be installed): a pydicom FileDataset."""
        import io

        try:
            import pydicom
        except ImportError:
            raise ImportError("to_pydicom() needs pydicom: pip install pydicom") from None
        return pydicom.dcmread(io.BytesIO(self.to_bytes()), force=True)

    def dump(self, *, width: int = DUMP_WIDTH) -> str:
        """A dcmdump-like listing: one line per element, sequences nested, long values cut at `width`."""
        lines: list[str] = []
        if self._meta is not None and len(self._meta):
            lines.append("# File meta information")
            _dump_into(self._meta, 0, lines, width)
            lines.append("# Data set")
        _dump_into(self, 0, lines, width)
        return "\n".join(lines)

    def __repr__(self) -> str:
        return self.dump()


# -- dumps -------------------------------------------------------------------------------------

def _short(text: str, width: int) -> str:
    return text if len(text) <= width else text[: max(1, width - 1)] + "\u2026"


def _value_text(element: Element, width: int) -> str:
    raw = element._raw
    if element.vr == "SQ":
        count = len(element.value)
        return f"{count} item" + ("" if count == 1 else "s")
    if isinstance(raw, bytes) and element.vr not in _BINARY_NUMBERS and element.vr != "AT":
        head = raw[:16].hex(" ")
        more = " \u2026" if len(raw) > 16 else ""
        return f"<{len(raw)} bytes> {head}{more}".rstrip()
    value = element.value
    if element.vr == "AT":
        tags = value if isinstance(value, list) else [] if value is None else [value]
        return _short("\\".join(tag_text(t) for t in tags), width)
    if isinstance(value, list):
        return _short("\\".join("" if v is None else str(v) for v in value), width)
    if value is None:
        return ""
    return _short(repr(value) if isinstance(value, str) else str(value), width)


def _dump_line(element: Element, depth: int, width: int = DUMP_WIDTH) -> str:
    label = element.keyword or element.name
    return f"{'  ' * depth}{tag_text(element.tag)} {element.vr} {label:<32} {_value_text(element, width)}".rstrip()


def _dump_into(ds: Dataset, depth: int, lines: list[str], width: int) -> None:
    for element in ds:
        lines.append(_dump_line(element, depth, width))
        if element.vr == "SQ":
            for number, item in enumerate(element.value, 1):
                lines.append(f"{'  ' * (depth + 1)}> item {number}")
                _dump_into(item, depth + 1, lines, width)


# -- reading -----------------------------------------------------------------------------------

def read(source: str | os.PathLike[str] | bytes, *, stop_before_pixels: bool = False) -> Dataset:
    """Reads a DICOM file (Part 10 or a bare data set) into a read-only `Dataset`.

    Args:
        source: a path, or the file's bytes.
        stop_before_pixels: read only up to the pixel data: a large file's header is read without
            reading its image.

    Returns:
        The data set; its values are typed when first used.

    Raises:
        FileNotFoundError, PermissionError, IsADirectoryError: the file cannot be opened (each also
            a RuntimeError).
        ValueError: the bytes are not DICOM.

    Example:
        >>> ds = loam.read("ct.dcm")
        >>> ds.Modality, ds.PixelSpacing, ds.pixels(rescale=True).dtype
        ('CT', [0.661468, 0.661468], dtype('float32'))
    """
    if isinstance(source, (bytearray, memoryview)):
        source = bytes(source)
    buffer, meta, body, syntax, complete = _core._read_dataset(source, stop_before_pixels)
    return Dataset(body, buffer=buffer, meta=meta, transfer_syntax=syntax, complete=complete,
                   stopped_before_pixels=stop_before_pixels)


def from_pydicom(dataset: pydicom.Dataset) -> Dataset:
    """A pydicom Dataset as a loam `Dataset` (written by pydicom, then read here).

    Args:
        dataset: a pydicom Dataset or FileDataset.

    Returns:
        The same data set, read by loam.

    Raises:
        ValueError: pydicom wrote something that is not DICOM (an empty data set).

    Example:
        >>> ds = loam.from_pydicom(pydicom.dcmread("ct.dcm"))
    """
    import io

    out = io.BytesIO()
    dataset.save_as(out, enforce_file_format=bool(getattr(dataset, "file_meta", None)))
    return read(out.getvalue())
