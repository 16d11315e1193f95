"""Text decoding by Specific Character Set, against pydicom and Python's own codecs."""

import concurrent.futures
import warnings

import pytest

import loam._core as core
from conftest import TESTDATA
from dicom_bytes import explicit, part10

CHARSET_FILES = sorted((TESTDATA / "pydicom" / "charset_files").glob("*.dcm"))
TEXT_VRS = {"AE", "AS", "CS", "DA", "DS", "DT", "IS", "LO", "LT", "PN", "SH", "ST", "TM", "UC", "UI", "UR", "UT"}
PN, LO, CS = 0x00100010, 0x00100020, 0x00080060


def dataset(charset=None, manufacturer=None, *elements):
    body = b""
    if charset is not None:
        body += explicit(0x0008, 0x0005, "CS", charset)
    body += b"".join(e for e in elements if e[:4] < b"\x08\x00\x70\x00")
    if manufacturer is not None:
        body += explicit(0x0008, 0x0070, "LO", manufacturer)
    body += b"".join(e for e in elements if e[:4] >= b"\x08\x00\x70\x00")
    return part10(body)


def decode(charset, value, *, vr="PN", tag=PN, manufacturer=None):
    group, elem = tag >> 16, tag & 0xFFFF
    texts, log = core._decode_text(dataset(charset, manufacturer, explicit(group, elem, vr, value)))
    return texts[tag].rstrip(" "), [message for _, message in log]


def pydicom_texts(path):
    pydicom = pytest.importorskip("pydicom")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ds = pydicom.dcmread(path)
    out = {}
    for elem in ds:
        if elem.VR not in TEXT_VRS:
            continue
        v = elem.value
        text = "\\".join(str(x) for x in v) if isinstance(v, (list, pydicom.multival.MultiValue)) else ("" if v is None else str(v))
        out[int(elem.tag)] = (elem.VR, text)
    return out


def normalised(vr, text):
    # pydicom drops trailing padding and trailing empty name component groups.
    text = text.rstrip(" \0")
    return text.rstrip("=") if vr == "PN" else text


@pytest.mark.parametrize("path", CHARSET_FILES, ids=lambda p: p.name)
def test_charset_corpus_matches_pydicom(path):
    ours, _ = core._decode_text(path.read_bytes())
    theirs = pydicom_texts(path)
    assert theirs
    for tag, (vr, text) in theirs.items():
        if tag >> 16 & 1 and tag not in ours:
            continue  # a private element whose VR only pydicom's private dictionary knows
        assert normalised(vr, ours[tag]) == normalised(vr, text), hex(tag)


def test_charset_corpus_present():
    if not TESTDATA.exists():
        pytest.skip(f"corpus not present at {TESTDATA}")
    assert len(CHARSET_FILES) >= 15


def test_japanese_multi_byte_names_from_the_corpus():
    if not CHARSET_FILES:
        pytest.skip(f"corpus not present at {TESTDATA}")
    names = {p.name: core._decode_text(p.read_bytes())[0].get(PN, "").rstrip() for p in CHARSET_FILES}
    assert names["chrH31.dcm"] == "Yamada^Tarou=山田^太郎=やまだ^たろう"
    assert names["chrH32.dcm"] == "ﾔﾏﾀﾞ^ﾀﾛｳ=山田^太郎=やまだ^たろう"
    assert names["chrI2.dcm"] == "Hong^Gildong=洪^吉洞=홍^길동"


# ---- single character sets ------------------------------------------------------------------------

SAMPLES = [
    ("ISO_IR 100", "latin_1", "Äneas^Rüdiger"), ("ISO_IR 101", "iso8859_2", "Łukasz^Żółć"),
    ("ISO_IR 109", "iso8859_3", "Ħarġa"), ("ISO_IR 110", "iso8859_4", "Ģirts"),
    ("ISO_IR 144", "iso8859_5", "Люкcембург"), ("ISO_IR 127", "iso8859_6", "قباني^لنزار"),
    ("ISO_IR 126", "iso8859_7", "Διονυσιος"), ("ISO_IR 138", "iso8859_8", "שרון^דבורה"),
    ("ISO_IR 148", "iso8859_9", "Şükrü"), ("ISO_IR 203", "iso8859_15", "€uro^Œuvre"),
    ("ISO_IR 166", "iso8859_11", "สมชาย"), ("ISO_IR 192", "utf-8", "Wang^XiaoDong=王^小東"),
    ("GB18030", "gb18030", "王^小东"), ("GBK", "gbk", "王^小东"), ("ISO_IR 58", "gbk", "王^小东"),
    ("GB2312", "gbk", "王^小东"), ("SHIFT_JIS", "shift_jis", "山田^太郎"), ("SJIS", "shift_jis", "やまだ"),
    ("EUC-JP", "euc_jp", "山田^太郎"), ("EUC-KR", "euc_kr", "홍^길동"), ("BIG5", "big5", "王^小東"),
    ("WINDOWS-1251", "cp1251", "Иванов^Иван"), ("CP874", "cp874", "สมชาย"),
    ("ISO_IR 13", "shift_jis", "ﾔﾏﾀﾞ^ﾀﾛｳ"),
]


@pytest.mark.parametrize("term, codec, text", SAMPLES, ids=[s[0] for s in SAMPLES])
def test_single_set_terms_decode_like_python(term, codec, text):
    ours, _ = decode(term, text.encode(codec))
    assert ours == text


@pytest.mark.parametrize("term", [f"WINDOWS-125{n}" for n in range(9)] + [f"CP125{n}" for n in (0, 3, 4, 5, 6, 7, 8)]
                         + ["CP874", "WINDOWS-874"])
def test_built_in_code_pages_match_python(term):
    number = term.split("-")[-1].removeprefix("CP")
    raw = bytes(range(0xA0, 0x100))
    ours, _ = decode(term, raw, vr="LT", tag=0x00204000)
    assert ours == raw.decode(f"cp{number}", errors="ignore").rstrip(" ")


def test_code_page_control_range_drops_undefined_bytes():
    ours, log = decode("WINDOWS-1252", b"\x80\x81\x8a", vr="LO", tag=LO)
    assert ours == "€Š"
    assert "Discarded undefined byte 0x81" in log


def test_all_ascii_values_are_copied_unchanged():
    assert decode("ISO_IR 100", b"Doe^John")[0] == "Doe^John"


# ---- vendor workarounds and lenient terms ----------------------------------------------------

@pytest.mark.parametrize("manufacturer, expected", [
    ("SIEMENS", "€uro"), ("Siemens Healthineers", "€uro"), ("ACME", "\x80uro"), (None, "\x80uro"),
])
def test_siemens_latin1_label_is_windows_1252(manufacturer, expected):
    ours, log = decode("ISO_IR 100", b"\x80uro", vr="LO", tag=LO, manufacturer=manufacturer)
    assert ours == expected
    assert ("Vendor workaround: 'ISO_IR 100' -> 'WINDOWS-1252'" in log) == (expected == "€uro")


def test_korean_vendor_latin1_label_is_euc_kr():
    ours, _ = decode("ISO_IR 100", "홍^길동".encode("euc_kr"), manufacturer="SAMSUNG MEDISON")
    assert ours == "홍^길동"


def test_undeclared_cyrillic_from_a_russian_vendor():
    ours, log = decode(None, "Иванов".encode("cp1251"), manufacturer="RENTGENPROM")
    assert ours == "Иванов"
    assert "Vendor workaround: '' -> 'WINDOWS-1251'" in log


@pytest.mark.parametrize("term, mapped", [
    ("ISO-IR 100", True), ("iso-ir  100", True), ("Latin1", True), ("iso_ir 100", False), ("ISO-8859-1", False),
])
def test_lenient_terms_map_to_latin1(term, mapped):
    ours, log = decode(term, "Jérôme".encode("latin_1"))
    assert ours == "Jérôme"
    assert (f"Charset '{term}' mapped to 'ISO_IR 100'" in log) == mapped


def test_unknown_term_falls_back_to_ascii_with_a_warning():
    ours, log = decode("NOT A CHARSET", b"Doe^J\xe9")
    assert "Unsupported charset 'NOT A CHARSET', falling back to ASCII" in log
    # As with no declaration at all, 8-bit text is then detected.
    assert ours == "Doe^Jé"


def test_term_naming_a_library_encoding_is_used_as_is():
    ours, _ = decode("KOI8-R", "Жук".encode("koi8_r"))
    assert ours == "Жук"


# ---- detection --------------------------------------------------------------------------------

@pytest.mark.parametrize("raw, expected, message", [
    ("Müller".encode(), "Müller", "Detected UTF-8 instead of 'ISO_IR 100' (declaration unreasonable)"),
    ("Иванов^Иван".encode("cp1251"), "Иванов^Иван",
     "Detected Windows-1251 instead of 'ISO_IR 100' (declaration unreasonable)"),
    ("王小东".encode("gbk"), "王小东", "Using detected 'GBK' instead of 'ISO_IR 100' (declaration unreasonable)"),
])
def test_unreasonable_latin1_declaration_is_replaced_by_detection(raw, expected, message):
    ours, log = decode("ISO_IR 100", raw)
    assert ours == expected
    assert message in log


def test_reasonable_declaration_is_trusted():
    _, log = decode("ISO_IR 100", "Jérôme".encode("latin_1"))
    assert "Charset declaration 'ISO_IR 100' appears reasonable, trusting it" in log


def test_absent_charset_detects_text_but_drops_bytes_in_ascii_only_vrs():
    raw = "Jérôme".encode("latin_1")
    texts, log = core._decode_text(dataset(None, None, explicit(0x0008, 0x0060, "CS", raw),
                                           explicit(0x0010, 0x0010, "PN", raw)))
    assert texts[CS].rstrip() == "Jrme"
    assert texts[PN].rstrip() == "Jérôme"
    messages = [m for _, m in log]
    assert "Non-ASCII byte in ASCII-only VR" in messages
    assert "Using detected 'ISO-8859-1' instead of '' (declaration unreasonable)" in messages


# ---- ISO 2022 ----------------------------------------------------------------------------------

JIS_NAME = "Yamada^Tarou=山田^太郎=やまだ^たろう"


def iso2022_jp(text):
    # Python's encoder switches sets per run and returns to ASCII before each delimiter.
    return "=".join("^".join(p.encode("iso2022_jp").decode("latin_1") for p in g.split("^"))
                    for g in text.split("=")).encode("latin_1")


@pytest.mark.parametrize("charset", ["ISO 2022 IR 87", "\\ISO 2022 IR 87", "ISO 2022 IR 6\\ISO 2022 IR 87"])
def test_jis_x0208_names_with_an_ascii_first_group(charset):
    assert decode(charset, iso2022_jp(JIS_NAME))[0] == JIS_NAME


def test_ascii_g0_is_added_for_a_lone_code_extension_term():
    _, log = decode("ISO 2022 IR 87", iso2022_jp(JIS_NAME))
    assert "Adding ASCII converter for G0" in log


def test_backslash_byte_inside_a_jis_character_is_not_a_delimiter():
    raw = "俑".encode("iso2022_jp")
    assert b"\\" in raw
    ours, _ = decode("\\ISO 2022 IR 87", raw + b"\\abc", vr="LO", tag=LO)
    assert ours == "俑\\abc"


def test_undeclared_escape_adds_the_set():
    raw = b"Hong=\x1b$)C" + "홍".encode("euc_kr")
    ours, log = decode("ISO 2022 IR 6", raw)
    assert ours == "Hong=홍"
    assert "Dynamically adding undeclared charset 'ISO 2022 IR 149' at pos 5" in log


@pytest.mark.parametrize("raw, expected, message", [
    (b"ABC\x1b", "ABC", "Incomplete ESC at pos 3"),
    (b"AB\x1b(", "AB", "Incomplete ESC at pos 2"),
    (b"ABC\x1b$)", "ABC", "Incomplete ESC at pos 3"),
    (b"A\x1b(ZBC", "ABC", "Unknown ESC at pos 1"),     # a two-byte designation: nothing after it is lost
    (b"A\x1b$(QBC", "ABC", "Unknown ESC at pos 1"),
])
def test_broken_escapes_keep_the_text_around_them(raw, expected, message):
    ours, log = decode("ISO 2022 IR 6\\ISO 2022 IR 87", raw, vr="LO", tag=LO)
    assert ours == expected
    assert message in log


def test_esc_in_the_first_name_group_is_logged_and_followed():
    raw = b"\x1b$B" + "山田".encode("iso2022_jp")[3:-3] + b"\x1b(B"
    ours, log = decode("\\ISO 2022 IR 87", raw)
    assert ours == "山田"
    assert "ESC in first PN component group" in log


def test_greek_g1_designation():
    raw = b"Dion=\x1b-F" + "Διονυσιος".encode("iso8859_7")
    assert decode("ISO 2022 IR 6\\ISO 2022 IR 126", raw)[0] == "Dion=Διονυσιος"


def test_katakana_and_romaji_are_paired():
    raw = "ﾔﾏﾀﾞ".encode("shift_jis")
    ours, log = decode("ISO 2022 IR 13", raw)
    assert ours == "ﾔﾏﾀﾞ"
    assert "Adding IR 14 (JIS X 0201 Romaji) as pair for IR 13" in log


# ---- threads ----------------------------------------------------------------------------------

def test_concurrent_decoding_gives_identical_results():
    inputs = [dataset(t, m, explicit(0x0010, 0x0010, "PN", v)) for t, m, v in [
        ("ISO_IR 100", "SIEMENS", b"\x80uro"), ("iso-ir 100", None, "Jérôme".encode("latin_1")),
        ("\\ISO 2022 IR 87", None, iso2022_jp(JIS_NAME)), ("ISO_IR 100", None, "王小东".encode("gbk")),
        ("ISO 2022 IR 6", None, b"Hong=\x1b$)C" + "홍".encode("euc_kr")), ("GB18030", None, "王^小东".encode("gb18030")),
    ]] + [p.read_bytes() for p in CHARSET_FILES]
    expected = [core._decode_text(b) for b in inputs]
    with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
        for _ in range(20):
            assert list(pool.map(core._decode_text, inputs)) == expected


def test_not_a_dataset_is_refused():
    with pytest.raises(ValueError, match="not a DICOM dataset"):
        core._decode_text(b"\x01" * 300)
