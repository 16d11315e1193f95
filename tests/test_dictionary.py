"""Dictionary look-ups: telling rows, look-up rules, and every standard row against the reference."""

import csv
from pathlib import Path

import pytest

import loam

REFERENCE = Path(__file__).resolve().parent.parent.parent / "shared" / "reference" / "dictionary"


def read_tsv(name):
    path = REFERENCE / name
    if not path.is_file():
        pytest.skip(f"reference dictionary not present at {path}")
    with path.open(newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f, delimiter="\t", quoting=csv.QUOTE_NONE))


@pytest.mark.parametrize("tag, keyword, name, vr, vm, retired", [
    (0x00020000, "FileMetaInformationGroupLength", "File Meta Information Group Length", "UL", "1", False),
    (0x00100010, "PatientName", "Patient's Name", "PN", "1", False),
    (0x00280106, "SmallestImagePixelValue", "Smallest Image Pixel Value", "US or SS", "1", False),
    (0x7FE00010, "PixelData", "Pixel Data", "OB or OW", "1", False),
    (0xFFFEE000, "Item", "Item", "NONE", "1", False),
    # Group lengths without a row of their own are synthesised, odd groups included.
    (0x00080000, "GroupLength", "Group Length", "UL", "1", False),
    (0x00090000, "GroupLength", "Group Length", "UL", "1", False),
    # Repeating rows: overlays, curves, and the 50xx/60xx masks.
    (0x60023000, "OverlayData", "Overlay Data", "OB or OW", "1", False),
    (0x601E0010, "OverlayRows", "Overlay Rows", "US", "1", False),
    (0x50043000, "CurveData", "Curve Data", "OB or OW", "1", True),
    (0x00203105, "SourceImageIDs", "Source Image IDs", "CS", "1-n", True),
])
def test_describe_tag(tag, keyword, name, vr, vm, retired):
    assert loam.describe_tag(tag) == {"keyword": keyword, "name": name, "vr": vr, "vm": vm, "retired": retired}


@pytest.mark.parametrize("tag", [0x00090010, 0x00091010, 0x00290000 | 0x1010, 0x00080002, 0x6001_0010, 0x12345678])
def test_describe_tag_unknown_is_none(tag):
    assert loam.describe_tag(tag) is None


def test_own_row_wins_over_repeating_row():
    # (0028,0400) has a row of its own ("Transform Label") although the (0028,04x0) repeating
    # row also matches it; (0028,0410) has none and is answered by the repeating row.
    assert loam.describe_tag(0x00280400)["keyword"] == "TransformLabel"
    assert loam.describe_tag(0x00280410)["keyword"] == "RowsForNthOrderCoefficients"


@pytest.mark.parametrize("keyword, tag", [
    ("PatientName", 0x00100010),
    ("PixelData", 0x7FE00010),
    ("SequenceDelimitationItem", 0xFFFEE0DD),
    ("patientname", None),       # keywords are case-sensitive
    ("PatientNam", None),        # a prefix is not a hit
    ("PatientNameX", None),
    ("OverlayData", None),       # repeating rows are not indexed by keyword
    ("CurveData", None),
    ("", None),
])
def test_tag_for_keyword(keyword, tag):
    assert loam.tag_for_keyword(keyword) == tag


@pytest.mark.parametrize("creator, group, elem, keyword", [
    ("SIEMENS CSA HEADER", 0x0029, 0x10, "CSAImageHeaderInfo"),
    ("siemens csa header ", 0x0029, 0x10, "CSAImageHeaderInfo"),     # tolerant: case, trailing space
    ("  SIEMENS  CSA\0HEADER\0", 0x0029, 0x10, "CSAImageHeaderInfo"),  # leading/inner runs, NUL
    ("SIEMENS CSA HEADER", 0x0029, 0x1010, "CSAImageHeaderInfo"),   # only the low byte counts
    ("SIEMENS CSA HEADER", 0x10029, 0x10, "CSAImageHeaderInfo"),    # group compared as 16 bits
    ("SIEMENS CT VA0 COAD", 0x0019, 0x10, "DistanceSourceToSourceSideCollimator"),  # stored with "  "
    ("", 0x0029, 0x10, None),
    ("SIEMENS CSA HEADER", 0x0027, 0x10, None),
    ("NO SUCH CREATOR", 0x0029, 0x10, None),
])
def test_describe_private(creator, group, elem, keyword):
    info = loam.describe_private(creator, group, elem)
    assert (info["keyword"] if info else None) == keyword


def test_private_row_fields():
    assert loam.describe_private("SIEMENS CSA HEADER", 0x0029, 0x10) == {
        "keyword": "CSAImageHeaderInfo", "name": "CSA Image Header Info", "vr": "OB", "vm": "1", "retired": False}


def test_uid_lookup():
    assert loam.uid_lookup("1.2.840.10008.1.2") == {
        "name": "Implicit VR Little Endian", "type": "Transfer Syntax", "keyword": "ImplicitVRLittleEndian",
        "info": "Default Transfer Syntax for DICOM", "retired": False, "cid": 0}
    cg = loam.uid_lookup("1.2.840.10008.6.1.1")
    assert cg["type"] == "Context Group" and cg["cid"] == 2 and cg["name"] == "AnatomicModifier"
    assert cg["keyword"] == ""
    assert loam.uid_lookup("1.2.840.113619.5.2")["type"] == "Transfer Syntax"
    assert loam.uid_lookup("1.2.840.10008.1.2 ") is None
    assert loam.uid_lookup("") is None


@pytest.mark.parametrize("keyword, uid", [
    ("CTImageStorage", "1.2.840.10008.5.1.4.1.1.2"),
    ("ExplicitVRLittleEndian", "1.2.840.10008.1.2.1"),
    ("ctimagestorage", ""),
    ("", ""),
])
def test_uid_for_keyword(keyword, uid):
    assert loam.uid_for_keyword(keyword) == uid


def test_uid_table_is_sorted_bytewise_and_matches_lookup():
    table = loam.uid_table()
    uids = [row[0] for row in table]
    assert [u.encode() for u in uids] == sorted(u.encode() for u in uids)
    assert len(set(uids)) == len(uids)
    for uid, name, type_, keyword, info, retired, cid in table[::37]:
        assert loam.uid_lookup(uid) == {"name": name, "type": type_, "keyword": keyword, "info": info,
                                        "retired": retired, "cid": cid}


def test_uid_table_against_reference():
    rows = read_tsv("uids.tsv")
    table = {row[0]: row for row in loam.uid_table()}
    for r in rows:
        ours = table[r["uid"]]
        # The registry calls context-group rows "Context Group Name"; the table types them "Context Group".
        expected_type = "Context Group" if r["type"] == "Context Group Name" else r["type"]
        assert ours[2] == expected_type and bool(ours[5]) == (r["retired"] == "1") and ours[6] == int(r["cid"]), r
        if r["type"] != "Context Group Name":
            assert ours[1] == r["name"] and ours[3] == r["keyword"], r


def test_every_standard_row_against_reference():
    rows = read_tsv("standard.tsv")
    assert len(rows) > 5000
    for r in rows:
        tag = int(r["tag"], 16)
        got = loam.describe_tag(tag)
        assert got == {"keyword": r["keyword"], "name": r["name"], "vr": r["vr"], "vm": r["vm"],
                       "retired": r["retired"] == "1"}, r["tag"]
        if r["keyword"]:
            assert loam.tag_for_keyword(r["keyword"]) == tag


def test_every_private_row_is_found_exactly():
    rows = read_tsv("private.tsv")
    for r in rows[::7]:
        got = loam.describe_private(r["creator"], int(r["group"], 16), int(r["element"], 16))
        assert got is not None and got["vr"] == r["vr"] and got["vm"] == r["vm"], r
