"""File meta, sniffing and the dataset walk, on bytes built here."""

import struct
import zlib

import pytest

import loam
from dicom_bytes import (
    CT, DEFLATED, EXPLICIT_BE, EXPLICIT_LE, IMPLICIT_LE, UNDEFINED, explicit, explicit_sq, file_meta,
    implicit, implicit_sq, item, part10, pixel_module, seq_end,
)

PIXELS = bytes(range(8))
CHARSET = explicit(0x0008, 0x0005, "CS", "ISO_IR 100")
PATIENT = explicit(0x0010, 0x0010, "PN", "Doe^Jane")


def write(tmp_path, data, name="f.dcm"):
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


def explicit_image(pixels=PIXELS, vr="OW"):
    return CHARSET + PATIENT + pixel_module() + explicit(0x7FE0, 0x0010, vr, pixels)


def implicit_image(pixels=PIXELS):
    return (implicit(0x0008, 0x0005, b"ISO_IR 100") + implicit(0x0010, 0x0010, b"Doe^Jane")
            + implicit(0x7FE0, 0x0010, pixels))


# ---- file meta -------------------------------------------------------------------------------

def test_read_file_meta_strict(tmp_path):
    path = write(tmp_path, part10(explicit_image(), sop_instance="1.2.3.4"))
    assert loam.read_file_meta(path) == {"has_meta": True, "sop_class": CT, "sop_instance": "1.2.3.4",
                                         "transfer_syntax": EXPLICIT_LE}


@pytest.mark.parametrize("group_length", [0, 10, 1000, 0xFFFFFFF0])
def test_wrong_group_length_falls_back_to_lenient_reading(tmp_path, group_length):
    data = part10(explicit_image(), group_length=group_length)
    path = write(tmp_path, data)
    assert loam.read_file_meta(path)["transfer_syntax"] == EXPLICIT_LE
    # The lenient reading finds the dataset where group 0002 ends.
    assert loam.read_pixel_data(path) == PIXELS


def test_meta_with_only_transfer_syntax(tmp_path):
    path = write(tmp_path, part10(explicit_image(), sop_class=None, sop_instance=None))
    assert loam.read_file_meta(path) == {"has_meta": True, "sop_class": "", "sop_instance": "",
                                         "transfer_syntax": EXPLICIT_LE}
    assert loam.has_pixel_data(path)


def test_meta_group_length_missing(tmp_path):
    meta = file_meta(EXPLICIT_LE)[12:]  # drop (0002,0000)
    data = b"\0" * 128 + b"DICM" + meta + explicit_image()
    path = write(tmp_path, data)
    assert loam.read_file_meta(path)["transfer_syntax"] == EXPLICIT_LE
    assert loam.read_pixel_data(path) == PIXELS


def test_meta_elements_in_implicit_form_read_leniently(tmp_path):
    meta = implicit(0x0002, 0x0002, CT.encode()) + implicit(0x0002, 0x0003, b"1.2.3\0") + \
        implicit(0x0002, 0x0010, IMPLICIT_LE.encode() + b"\0")
    path = write(tmp_path, b"\0" * 128 + b"DICM" + meta + implicit_image())
    assert loam.read_file_meta(path) == {"has_meta": True, "sop_class": CT, "sop_instance": "1.2.3",
                                         "transfer_syntax": IMPLICIT_LE}
    assert loam.read_pixel_data(path) == PIXELS


@pytest.mark.parametrize("padding", [b"\0", b" ", b" \0"])
def test_padded_transfer_syntax_is_classified_like_the_uid(tmp_path, padding):
    ts = (IMPLICIT_LE.encode() + padding)
    meta = explicit(0x0002, 0x0002, "UI", CT) + explicit(0x0002, 0x0003, "UI", "1.2.3") + \
        explicit(0x0002, 0x0010, "UI", ts, even=False)
    meta = explicit(0x0002, 0x0000, "UL", struct.pack("<I", len(meta))) + meta
    path = write(tmp_path, b"\0" * 128 + b"DICM" + meta + implicit_image())
    assert loam.read_file_meta(path)["transfer_syntax"] == IMPLICIT_LE
    assert loam.read_pixel_data(path) == PIXELS
    assert loam.pixel_data_vr(path) == "OW"


def test_longer_uid_is_not_taken_for_its_prefix(tmp_path):
    # "1.2.840.10008.1.2.9" is not implicit VR little endian: the dataset is read as explicit.
    path = write(tmp_path, part10(explicit_image(), transfer_syntax="1.2.840.10008.1.2.9"))
    assert loam.read_pixel_data(path) == PIXELS


# ---- naked datasets --------------------------------------------------------------------------

@pytest.mark.parametrize("data, ts", [
    (implicit(0x0008, 0x0005, b"ISO_IR 100") + implicit(0x7FE0, 0x0010, PIXELS), IMPLICIT_LE),
    (CHARSET + explicit(0x7FE0, 0x0010, "OW", PIXELS), EXPLICIT_LE),
    (explicit(0x0008, 0x0005, "CS", "ISO_IR 100", big=True), EXPLICIT_BE),
    (b"\x08\x00\x05\x00", ""),        # below 8 bytes
    (b"\x08\x00\x05\x00CS\x02", ""),  # 7 bytes
    (b"\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", ""),
])
def test_naked_dataset_sniffing(tmp_path, data, ts):
    assert loam.read_file_meta(write(tmp_path, data)) == {"has_meta": False, "transfer_syntax": ts}


@pytest.mark.parametrize("junk", [1, 17, 200, 255])
def test_naked_dataset_after_junk(tmp_path, junk):
    data = b"\x01" * junk + CHARSET + explicit(0x7FE0, 0x0010, "OW", PIXELS)
    path = write(tmp_path, data)
    assert loam.read_file_meta(path) == {"has_meta": False, "transfer_syntax": EXPLICIT_LE}
    assert loam.read_pixel_data(path) == PIXELS


def test_junk_beyond_the_sniff_window_is_not_recognised(tmp_path):
    data = b"\x01" * 300 + CHARSET + explicit(0x7FE0, 0x0010, "OW", PIXELS)
    assert loam.read_file_meta(write(tmp_path, data)) == {"has_meta": False, "transfer_syntax": ""}
    assert loam.read_pixel_data_bytes(data) is None


def test_preamble_without_magic_is_not_part10(tmp_path):
    data = b"\x01" * 128 + b"DICX" + file_meta(EXPLICIT_LE) + explicit_image()
    assert loam.read_file_meta(write(tmp_path, data))["has_meta"] is False


# ---- pixel data fast paths ---------------------------------------------------------------------

def big_endian_image(words):
    body = (explicit(0x0008, 0x0005, "CS", "ISO_IR 100", big=True) + explicit(0x0010, 0x0010, "PN", "Doe^Jane", big=True)
            + explicit(0x7FE0, 0x0010, "OW", struct.pack(f">{len(words)}H", *words), big=True))
    return body


def deflated(body: bytes) -> bytes:
    squeeze = zlib.compressobj(9, zlib.DEFLATED, -15)
    return squeeze.compress(body) + squeeze.flush()


def test_big_endian_pixel_data_is_found_and_kept_as_stored(tmp_path):
    words = [1, 0x0203, 0xA0B0, 0xFFFF]
    data = part10(big_endian_image(words), transfer_syntax=EXPLICIT_BE)
    path = write(tmp_path, data)
    stored = struct.pack(">4H", *words)
    assert loam.has_pixel_data(path) is True and loam.has_pixel_data_bytes(data) is True
    assert loam.read_pixel_data(path) == stored == loam.read_pixel_data_bytes(data)
    assert loam.pixel_data_vr(path) == "OW" == loam.pixel_data_vr_bytes(data)


def test_big_endian_naked_dataset_is_found():
    data = big_endian_image([7, 8])
    assert loam.has_pixel_data_bytes(data) is True
    assert loam.read_pixel_data_bytes(data) == struct.pack(">2H", 7, 8)


def test_deflated_pixel_data_comes_from_the_inflated_data_set(tmp_path):
    body = explicit_image(pixels=bytes(range(40)))
    data = file_meta_part10(deflated(body), DEFLATED)
    path = write(tmp_path, data)
    assert loam.has_pixel_data(path) is True
    assert loam.read_pixel_data(path) == bytes(range(40)) == loam.read_pixel_data_bytes(data)
    assert loam.pixel_data_vr_bytes(data) == "OW"
    no_pixels = file_meta_part10(deflated(CHARSET + PATIENT), DEFLATED)
    assert loam.has_pixel_data_bytes(no_pixels) is False and loam.read_pixel_data_bytes(no_pixels) is None


def test_a_deflated_body_that_does_not_inflate_has_no_pixel_data():
    data = file_meta_part10(b"\xff" * 64, DEFLATED)
    assert loam.has_pixel_data_bytes(data) is False and loam.read_pixel_data_bytes(data) is None


def file_meta_part10(body: bytes, ts: str) -> bytes:
    """The preamble, "DICM" and the meta group, then `body` as given (already encoded)."""
    return b"\0" * 128 + b"DICM" + file_meta(ts) + body


# ---- file meta without the preamble ------------------------------------------------------------

def test_file_meta_without_preamble_is_read(tmp_path):
    """Some writers start the file with group 0002: its transfer syntax decides the encoding."""
    data = file_meta("1.2.840.10008.1.2.4.80", sop_instance="1.2.3.99") + explicit_image()
    path = write(tmp_path, data)
    assert loam.read_file_meta(path) == {"has_meta": True, "transfer_syntax": "1.2.840.10008.1.2.4.80",
                                         "sop_class": CT, "sop_instance": "1.2.3.99"}
    assert loam.read_pixel_data(path) == PIXELS
    implicit_body = file_meta(IMPLICIT_LE) + implicit_image()
    assert loam.read_pixel_data_bytes(implicit_body) == PIXELS
    assert loam.read(write(tmp_path, implicit_body, "i.dcm")).file_meta["TransferSyntaxUID"].value == IMPLICIT_LE


def test_a_group_0002_opening_without_transfer_syntax_stays_a_bare_data_set(tmp_path):
    data = explicit(0x0002, 0x0002, "UI", CT) + explicit_image()
    assert loam.read_file_meta(write(tmp_path, data))["has_meta"] is False


def test_encapsulated_pixel_data_returns_fragments_without_delimiter():
    fragments = item(b"") + item(b"\xff\xd8frame1\xff\xd9") + item(b"\xff\xd8frame2\xff\xd9")
    pixel = struct.pack("<HH2sHI", 0x7FE0, 0x0010, b"OB", 0, UNDEFINED) + fragments + seq_end()
    data = part10(CHARSET + pixel, transfer_syntax="1.2.840.10008.1.2.4.50")
    assert loam.read_pixel_data_bytes(data) == fragments
    assert loam.pixel_data_vr_bytes(data) == "OB"


def test_unterminated_encapsulated_pixel_data_runs_to_the_end():
    fragments = item(b"") + item(b"\xff\xd8frame")
    pixel = struct.pack("<HH2sHI", 0x7FE0, 0x0010, b"OB", 0, UNDEFINED) + fragments
    data = part10(CHARSET + pixel, transfer_syntax="1.2.840.10008.1.2.4.50")
    assert loam.read_pixel_data_bytes(data) == fragments


def test_icon_image_pixel_data_does_not_hide_or_stand_for_the_top_level():
    icon = explicit_sq(0x0088, 0x0200, [item(pixel_module(1, 1) + explicit(0x7FE0, 0x0010, "OW", b"\x07\x00"),
                                             undefined=True)])
    with_top = part10(CHARSET + icon + explicit(0x7FE0, 0x0010, "OW", PIXELS))
    assert loam.read_pixel_data_bytes(with_top) == PIXELS
    without_top = part10(CHARSET + icon)
    assert loam.has_pixel_data_bytes(without_top) is False
    # The same in a defined-length sequence.
    icon_defined = explicit_sq(0x0088, 0x0200, [item(explicit(0x7FE0, 0x0010, "OW", b"\x07\x00"))], undefined=False)
    assert loam.has_pixel_data_bytes(part10(CHARSET + icon_defined)) is False


@pytest.mark.parametrize("elem, vr", [(0x0008, "OF"), (0x0009, "OD"), (0x0010, "OW"), (0x0010, "OB")])
def test_pixel_data_variants_explicit(elem, vr):
    data = part10(CHARSET + explicit(0x7FE0, elem, vr, PIXELS))
    assert loam.pixel_data_vr_bytes(data) == vr
    assert loam.read_pixel_data_bytes(data) == PIXELS


@pytest.mark.parametrize("elem, vr", [(0x0008, "OF"), (0x0009, "OD"), (0x0010, "OW")])
def test_pixel_data_variants_implicit_take_the_map_vr(elem, vr):
    data = part10(implicit(0x0008, 0x0005, b"ISO_IR 100") + implicit(0x7FE0, elem, PIXELS), transfer_syntax=IMPLICIT_LE)
    assert loam.pixel_data_vr_bytes(data) == vr


def test_first_pixel_element_in_file_order_wins():
    data = part10(CHARSET + explicit(0x7FE0, 0x0008, "OF", b"\1\1\1\1") + explicit(0x7FE0, 0x0010, "OW", PIXELS))
    assert loam.pixel_data_vr_bytes(data) == "OF"


def test_trailing_zero_bytes_end_the_dataset():
    data = part10(explicit_image()) + b"\0" * 37
    assert loam.read_pixel_data_bytes(data) == PIXELS


def test_pixel_data_length_past_the_end_is_truncated():
    data = part10(CHARSET + explicit(0x7FE0, 0x0010, "OW", PIXELS, length=1000))
    assert loam.read_pixel_data_bytes(data) == PIXELS


def test_implicit_private_sequence_and_items_are_skipped():
    nested = implicit(0x7FE0, 0x0010, b"\x05\x00")
    private = (implicit(0x0029, 0x0010, b"SIEMENS CSA HEADER")
               + implicit_sq(0x0029, 0x1099, [item(nested, undefined=True)])
               + implicit(0x0029, 0x1098, item(nested)))  # defined length, unknown VR, made of items
    data = part10(implicit(0x0008, 0x0005, b"ISO_IR 100") + private, transfer_syntax=IMPLICIT_LE)
    assert loam.has_pixel_data_bytes(data) is False
    assert loam.read_pixel_data_bytes(data + implicit(0x7FE0, 0x0010, PIXELS)) == PIXELS


def test_undefined_length_un_in_explicit_dataset_is_walked_as_implicit():
    content = item(implicit(0x0008, 0x0100, b"CODE01") + implicit(0x7FE0, 0x0010, b"\1\0"), undefined=True)
    un = struct.pack("<HH2sHI", 0x0009, 0x1001, b"UN", 0, UNDEFINED) + content + seq_end()
    data = part10(CHARSET + explicit(0x0009, 0x0010, "LO", "ACME") + un + explicit(0x7FE0, 0x0010, "OW", PIXELS))
    assert loam.read_pixel_data_bytes(data) == PIXELS


def test_unclosed_sequence_without_items_is_taken_as_empty():
    # A writer put an undefined length on a sequence and wrote no items or delimiter: parsing
    # goes on from the value start.
    broken = struct.pack("<HH2sHI", 0x0008, 0x1140, b"SQ", 0, UNDEFINED)
    data = part10(CHARSET + broken + PATIENT + explicit(0x7FE0, 0x0010, "OW", PIXELS))
    assert loam.read_pixel_data_bytes(data) == PIXELS


def test_unclosed_sequence_with_items_swallows_the_rest():
    broken = struct.pack("<HH2sHI", 0x0008, 0x1140, b"SQ", 0, UNDEFINED) + item(PATIENT)
    data = part10(CHARSET + broken + explicit(0x7FE0, 0x0010, "OW", PIXELS))
    assert loam.has_pixel_data_bytes(data) is False


# ---- length repairs --------------------------------------------------------------------------

def test_odd_text_length_too_long_is_shortened():
    # The stated length (9) counts one byte of the next tag; the printable run is 8 bytes.
    data = part10(CHARSET + struct.pack("<HH2sH", 0x0010, 0x0020, b"LO", 9) + b"ID123456"
                  + explicit(0x7FE0, 0x0010, "OW", PIXELS))
    assert loam.read_pixel_data_bytes(data) == PIXELS


def test_odd_length_non_ascii_text_is_kept_whole():
    name = "Müller^Ann".encode("latin-1")  # 10 bytes; the odd length below is stated correctly
    odd = name[:-1]
    data = part10(CHARSET + struct.pack("<HH2sH", 0x0010, 0x0010, b"PN", len(odd)) + odd
                  + explicit(0x7FE0, 0x0010, "OW", PIXELS))
    assert loam.read_pixel_data_bytes(data) == PIXELS


def test_odd_length_binary_value_is_kept_whole():
    data = part10(CHARSET + struct.pack("<HH2sHI", 0x0009, 0x1002, b"OB", 0, 3) + b"\x00\x01\x02"
                  + explicit(0x7FE0, 0x0010, "OW", PIXELS))
    assert loam.read_pixel_data_bytes(data) == PIXELS


def test_short_form_value_mislabelled_un_is_reread():
    # (0010,0020) written as "UN" with a 2-byte length in the reserved field.
    bad = struct.pack("<HH2sH", 0x0010, 0x0020, b"UN", 8) + b"ID123456"
    data = part10(CHARSET + bad + explicit(0x7FE0, 0x0010, "OW", PIXELS))
    assert loam.read_pixel_data_bytes(data) == PIXELS


def test_ul_length_not_multiple_of_four_is_remeasured():
    # Rows written as UL with length 6; the dictionary says US, and two bytes follow.
    bad = struct.pack("<HH2sH", 0x0028, 0x0010, b"UL", 6) + b"\x02\x00"
    data = part10(CHARSET + bad + explicit(0x7FE0, 0x0010, "OW", PIXELS))
    assert loam.read_pixel_data_bytes(data) == PIXELS


def test_zero_length_unknown_element_stays_empty():
    # An empty private value must not be measured into the next element's tag.
    data = part10(implicit(0x0008, 0x0005, b"ISO_IR 100") + implicit(0x0009, 0x1001, b"")
                  + implicit(0x0028, 0x0010, b"\x02\x00") + implicit(0x7FE0, 0x0010, PIXELS),
                  transfer_syntax=IMPLICIT_LE)
    assert loam.read_pixel_data_bytes(data) == PIXELS


# ---- values cut off by the end of the buffer -------------------------------------------------

# (tag, VR, value): text VRs with and without backslashes, each the last element of its file.
CUT_TEXT = [
    (0x00200032, "DS", "1.5\\22.25\\-3.5"), (0x00280030, "DS", "0.625"), (0x00200013, "IS", "12\\345\\6"),
    (0x00080060, "CS", "CT\\MR"), (0x00080020, "DA", "20240101\\20240102"), (0x00080030, "TM", "101500.25"),
    (0x0008002A, "DT", "20240101101500"), (0x00101010, "AS", "045Y"), (0x00080054, "AE", "STORE_SCP"),
    (0x00080018, "UI", "1.2.840.10008.1.2\\1.2.3"), (0x00081030, "LO", "Chest\\Abdomen"),
    (0x00100010, "PN", "Doe^Jane\\Roe^Ann"), (0x00200010, "SH", "A1\\B2"), (0x00081080, "LO", "one value"),
    (0x00204000, "LT", "line one\\line two"), (0x00081040, "LO", "x"), (0x0040A160, "UT", "free\\text"),
    (0x00081190, "UR", "http://x.org/a/b"), (0x00324000, "LT", "comments"), (0x0018A003, "ST", "a\\b"),
    (0x00080070, "UC", "Maker\\Other"),
]
SINGLE_VALUED = {"LT", "ST", "UT", "UR"}


def json_strings(entry):
    out = []
    for v in entry.get("Value", []):
        out.append("" if v is None else v["Alphabetic"] if isinstance(v, dict) else str(v))
    return out


@pytest.mark.parametrize("tag,vr,value", CUT_TEXT)
def test_text_value_cut_off_keeps_the_bytes_present(tag, vr, value):
    # Every cut inside the value: the bytes that are there, less trailing padding, and no
    # element made from the rest.
    import json
    body = CHARSET + explicit(tag >> 16, tag & 0xFFFF, vr, value)
    whole = part10(body)
    raw = value.encode() + (b"\0" if vr == "UI" else b" ") * (len(value) % 2)
    for cut in range(1, len(raw)):
        data = whole[:-cut]
        present = raw[:len(raw) - cut].rstrip(b" \0").decode()
        found = json.loads(loam.read_json(data))
        assert sorted(found) == sorted(["00080005", f"{tag:08X}"]), (cut, sorted(found))
        want = [present] if vr in SINGLE_VALUED else present.split("\\")
        got = json_strings(found[f"{tag:08X}"])
        if present == "":
            assert got in ([], [""]), (cut, got)
        else:
            assert got == want, (cut, got, want)


def test_truncated_image_position_reads_as_pydicom_does():
    pydicom = pytest.importorskip("pydicom")
    import io
    import json
    data = part10(CHARSET + PATIENT + explicit(0x0020, 0x0032, "DS", "1.5\\22.25\\-3.5"))[:-4]
    ours = json.loads(loam.read_json(data))
    assert sorted(ours) == ["00080005", "00100010", "00200032"]
    theirs = pydicom.dcmread(io.BytesIO(data), force=True).ImagePositionPatient
    assert [str(v) for v in theirs] == ["1.5", "22.25", ""]
    assert json_strings(ours["00200032"]) == ["1.5", "22.25", ""]


@pytest.mark.parametrize("vr", ["US", "UL", "FD", "OW", "OB", "SQ"])
def test_binary_value_cut_off_ends_the_walk(vr):
    import json
    value = bytes(range(1, 25)) if vr != "SQ" else item(PATIENT)
    tag = {"US": 0x00280010, "UL": 0x00081160, "FD": 0x00189087, "OW": 0x00091010, "OB": 0x00091011,
           "SQ": 0x00081140}[vr]
    body = CHARSET + explicit(0x0009, 0x0010, "LO", "ACME") + explicit(tag >> 16, tag & 0xFFFF, vr, value)
    for cut in (1, 3, 5, 7):  # all inside the last value
        found = json.loads(loam.read_json(part10(body)[:-cut]))
        assert sorted(found) == sorted(["00080005", "00090010", f"{tag:08X}"]), (vr, cut, sorted(found))


# ---- hostile nesting ---------------------------------------------------------------------------

def nested(depth, inner=b""):
    body = inner
    for _ in range(depth):
        body = explicit_sq(0x0040, 0xA730, [item(body, undefined=True)])
    return body


def test_nesting_within_the_limit_is_followed():
    data = part10(CHARSET + nested(30, PATIENT) + explicit(0x7FE0, 0x0010, "OW", PIXELS))
    assert loam.read_pixel_data_bytes(data) == PIXELS


def test_hundred_deep_nesting_is_not_followed():
    data = part10(CHARSET + nested(100, PATIENT) + explicit(0x7FE0, 0x0010, "OW", PIXELS))
    # The outer element extends to the end of the buffer, so nothing after it is found.
    assert loam.has_pixel_data_bytes(data) is False


def test_deep_nesting_never_closed():
    body = b""
    for _ in range(5000):
        body += struct.pack("<HH2sHI", 0x0040, 0xA730, b"SQ", 0, UNDEFINED) + struct.pack("<HHI", 0xFFFE, 0xE000, UNDEFINED)
    assert loam.has_pixel_data_bytes(part10(CHARSET + body)) is False


# ---- errors -------------------------------------------------------------------------------------

def test_unreadable_header_fails_the_locator():
    # A 4-byte-length VR header cut short inside the dataset.
    data = part10(CHARSET + struct.pack("<HH2sH", 0x0009, 0x1001, b"OB", 0))
    assert loam.has_pixel_data_bytes(data) is False


def test_cannot_open(tmp_path):
    missing = str(tmp_path / "missing.dcm")
    for fn in (loam.read_file_meta, loam.read_pixel_data, loam.has_pixel_data, loam.pixel_data_vr):
        with pytest.raises(RuntimeError, match=r"^cannot open "):
            fn(missing)
    with pytest.raises(RuntimeError, match="^cannot open " + str(tmp_path).replace(".", r"\.") + "$"):
        loam.read_file_meta(str(tmp_path))
