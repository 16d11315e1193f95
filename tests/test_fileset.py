"""Directory discovery and DICOMDIR building."""

from __future__ import annotations

import os
import shutil
import struct
import subprocess
import warnings

import pydicom
import pytest
from pydicom.fileset import FileSet

import loam
from dicom_bytes import EXPLICIT_BE, IMPLICIT_LE, explicit, implicit, part10

P = "1.2.840.10008.5.1.4.1.1."


def instance(patient="P1", study="1.2.3", series="1.2.3.1", sop="1.2.3.1.1", sop_class=P + "2",
             number="1", ts=None, charset=None, drop=(), extra=()) -> bytes:
    """A small dataset, in the element order a writer would use; `drop` leaves tags out."""
    el = []
    if charset:
        el.append((0x0008, 0x0005, "CS", charset))
    el += [(0x0008, 0x0016, "UI", sop_class), (0x0008, 0x0018, "UI", sop),
           (0x0008, 0x0020, "DA", "20240102"), (0x0008, 0x0030, "TM", "101500"), (0x0008, 0x0060, "CS", "CT"),
           (0x0010, 0x0010, "PN", "Doe^" + patient), (0x0010, 0x0020, "LO", patient),
           (0x0020, 0x000D, "UI", study), (0x0020, 0x000E, "UI", series), (0x0020, 0x0010, "SH", "S1"),
           (0x0020, 0x0011, "IS", "7"), (0x0020, 0x0013, "IS", number), *extra]
    el = sorted(e for e in el if (e[0] << 16 | e[1]) not in drop)
    if ts == IMPLICIT_LE:
        body = b"".join(implicit(g, e, v) for g, e, _, v in el)
    else:
        body = b"".join(explicit(g, e, vr, v) for g, e, vr, v in el)
    return part10(body, ts or "1.2.840.10008.1.2.1", sop_class=sop_class, sop_instance=sop)


def records(data: bytes):
    ds = pydicom.dcmread(pydicom.filebase.DicomBytesIO(data))
    return ds, list(ds.DirectoryRecordSequence)


def tree(ds) -> list[tuple]:
    """(depth, record type, file ID) walking the offsets, the way a reader navigates."""
    by_offset = {r.seq_item_tell: r for r in ds.DirectoryRecordSequence}
    out = []

    def walk(offset, depth):
        while offset:
            r = by_offset[offset]
            fid = r.get("ReferencedFileID")
            fid = tuple(fid) if isinstance(fid, pydicom.multival.MultiValue) else fid
            out.append((depth, r.DirectoryRecordType, fid))
            walk(r.OffsetOfReferencedLowerLevelDirectoryEntity, depth + 1)
            offset = r.OffsetOfTheNextDirectoryRecord

    walk(ds.OffsetOfTheFirstDirectoryRecordOfTheRootDirectoryEntity, 0)
    return out


# --- discovery ------------------------------------------------------------------------------

def dicm_file(path, size=200):
    data = bytearray(size)
    data[128:132] = b"DICM"
    path.write_bytes(bytes(data))


def test_scan_accepts_by_extension_or_magic(tmp_path):
    (tmp_path / "a.DCM").write_bytes(b"not read")
    (tmp_path / "b.Dicom").write_bytes(b"")
    (tmp_path / "c.ima").write_bytes(b"x")
    dicm_file(tmp_path / "noext")
    (tmp_path / "short").write_bytes(b"\0" * 100)
    (tmp_path / "text.txt").write_bytes(b"\0" * 128 + b"DICX")
    sub = tmp_path / "sub"
    sub.mkdir()
    dicm_file(sub / "deep")
    found = loam.scan_dicom_dir(str(tmp_path), True)
    names = [os.path.relpath(p, tmp_path) for p in found]
    assert names == sorted(names, key=os.fsencode)
    assert set(names) == {"a.DCM", "b.Dicom", "c.ima", "noext", "sub/deep"}
    flat = loam.scan_dicom_dir(str(tmp_path), False)
    assert {os.path.basename(p) for p in flat} == {"a.DCM", "b.Dicom", "c.ima", "noext"}


def test_scan_root_file_missing_root_and_links(tmp_path):
    f = tmp_path / "plain.txt"
    f.write_text("not dicom")
    assert loam.scan_dicom_dir(str(f), True) == [str(f)]
    assert loam.scan_dicom_dir(str(tmp_path / "absent"), True) == []
    outside = tmp_path / "outside"
    outside.mkdir()
    dicm_file(outside / "x.dcm")
    tree_root = tmp_path / "tree"
    tree_root.mkdir()
    (tree_root / "dirlink").symlink_to(outside, target_is_directory=True)
    (tree_root / "filelink.dcm").symlink_to(outside / "x.dcm")
    (tree_root / "dangling.dcm").symlink_to(tmp_path / "nothing")
    found = loam.scan_dicom_dir(str(tree_root), True)
    assert found == [str(tree_root / "filelink.dcm")]


def test_scan_unreadable_subdirectory_does_not_hide_the_rest(tmp_path):
    locked = tmp_path / "a_locked"
    locked.mkdir()
    dicm_file(locked / "hidden.dcm")
    (tmp_path / "z").mkdir()
    dicm_file(tmp_path / "z" / "seen.dcm")
    locked.chmod(0)
    try:
        found = loam.scan_dicom_dir(str(tmp_path), True)
    finally:
        locked.chmod(0o755)
    assert str(tmp_path / "z" / "seen.dcm") in found


# --- DICOMDIR ---------------------------------------------------------------------------------

def test_hierarchy_offsets_and_keys():
    inputs = [(instance(series="1.2.3.1", sop="1.1"), "A/B/IM1"),
              (instance(series="1.2.3.2", sop="2.1"), "A/B/IM2"),
              (instance(series="1.2.3.1", sop="1.2", number="2"), "/A/B/IM3"),
              (instance(patient="P2", study="9.9", series="9.9.1", sop="3.1", charset="ISO_IR 100"), "C/IM4")]
    ds, recs = records(loam.build_dicomdir(inputs, "SET1"))
    assert ds.file_meta.MediaStorageSOPClassUID == "1.2.840.10008.1.3.10"
    assert ds.file_meta.TransferSyntaxUID == "1.2.840.10008.1.2.1"
    assert ds.FileSetID == "SET1"
    assert tree(ds) == [(0, "PATIENT", None), (1, "STUDY", None), (2, "SERIES", None),
                        (3, "IMAGE", ("A", "B", "IM1")), (3, "IMAGE", ("A", "B", "IM3")),
                        (2, "SERIES", None), (3, "IMAGE", ("A", "B", "IM2")),
                        (0, "PATIENT", None), (1, "STUDY", None), (2, "SERIES", None), (3, "IMAGE", ("C", "IM4"))]
    assert ds.OffsetOfTheLastDirectoryRecordOfTheRootDirectoryEntity == recs[7].seq_item_tell
    leaves = [r for r in recs if r.DirectoryRecordType == "IMAGE"]
    assert all(r.OffsetOfReferencedLowerLevelDirectoryEntity == 0 for r in leaves)
    assert all(r.RecordInUseFlag == 0xFFFF for r in recs)
    study = recs[1]
    assert [e.tag for e in study][4:] == [0x00080020, 0x00080030, 0x00080050, 0x00081030, 0x0020000D, 0x00200010]
    assert study.StudyDate == "20240102" and study.StudyTime == "101500" and study.StudyInstanceUID == "1.2.3"
    assert recs[2].SeriesNumber == 7 and leaves[1].InstanceNumber == 2
    assert leaves[0].ReferencedSOPInstanceUIDInFile == "1.1"
    assert leaves[0].ReferencedTransferSyntaxUIDInFile == "1.2.840.10008.1.2.1"
    assert "SpecificCharacterSet" not in recs[0] and recs[7].SpecificCharacterSet == "ISO_IR 100"


@pytest.mark.parametrize("sop_class, expected", [
    (P + "2", "IMAGE"), (P + "66.4", "RAW DATA"), (P + "66.5", "RAW DATA"), (P + "11.1", "PRESENTATION"),
    (P + "88.59", "KEY OBJECT DOC"), (P + "88.22", "SR DOCUMENT"), (P + "9.1.1", "WAVEFORM"),
    (P + "481.3", "RT STRUCTURE SET"), (P + "481.8", "RT PLAN"), (P + "481.2", "RT DOSE"),
    (P + "481.7", "RT TREAT RECORD"), (P + "104.1", "ENCAP DOC"), (P + "4.2", "SPECTROSCOPY"),
    (P + "66.1", "REGISTRATION"), (P + "66.2", "FIDUCIAL"), ("1.2.3.4", "IMAGE"),
])
def test_leaf_record_type(sop_class, expected):
    _, recs = records(loam.build_dicomdir([(instance(sop_class=sop_class), "X")], ""))
    assert recs[-1].DirectoryRecordType == expected


def test_skips_and_duplicates():
    good = instance(sop="5.5")
    inputs = [(instance(sop="5.6", ts=EXPLICIT_BE), "BE"), (b"garbage", "G"), (good, "FIRST"),
              (instance(sop="5.5", number="9"), "SECOND"), (instance(sop="5.7", ts=IMPLICIT_LE), "IMPL")]
    _, recs = records(loam.build_dicomdir(inputs, "S"))
    leaves = [(r.ReferencedFileID, r.InstanceNumber) for r in recs if r.DirectoryRecordType == "IMAGE"]
    assert leaves == [("FIRST", 1), ("IMPL", 1)]
    with pytest.raises(RuntimeError, match="^build_dicomdir: no input was a parseable Part-10 file$"):
        loam.build_dicomdir([(instance(ts=EXPLICIT_BE), "BE")], "")
    with pytest.raises(RuntimeError, match="^build_dicomdir: no inputs provided$"):
        loam.build_dicomdir([], "")


def test_instance_uid_follows_the_content():
    a = [(instance(sop="1.1"), "A")]
    b = [(instance(sop="1.2"), "A")]
    uid = lambda inputs: records(loam.build_dicomdir(inputs, ""))[0].file_meta.MediaStorageSOPInstanceUID
    assert uid(a) == uid(a)
    assert uid(a) != uid(b)
    assert uid(a).startswith("1.2.826.0.1.3680043.9.5296.") and len(uid(a)) <= 64


# Required (Type 1) keys of each record and what an input lacking one gets instead.
TYPE1 = {"PATIENT": ["PatientID"], "STUDY": ["StudyDate", "StudyTime", "StudyInstanceUID", "StudyID"],
         "SERIES": ["Modality", "SeriesInstanceUID", "SeriesNumber"], "IMAGE": ["InstanceNumber"]}
LACKING = [
    (0x00100020, "PATIENT", "PatientID", r"LOAM[0-9A-F]{12}"),
    (0x00080020, "STUDY", "StudyDate", r"20230405"),  # from the Series Date
    (0x00080030, "STUDY", "StudyTime", r"080910"),  # from the Series Time
    (0x00200010, "STUDY", "StudyID", r"S[0-9A-F]{8}"),
    (0x0020000D, "STUDY", "StudyInstanceUID", r"1\.2\.826\.0\.1\.3680043\.9\.5296\.[0-9.]+"),
    (0x00080060, "SERIES", "Modality", r"CT"),  # from the SOP class
    (0x0020000E, "SERIES", "SeriesInstanceUID", r"1\.2\.826\.0\.1\.3680043\.9\.5296\.[0-9.]+"),
    (0x00200011, "SERIES", "SeriesNumber", r"2"),  # the second series of its study
    (0x00200013, "IMAGE", "InstanceNumber", r"1"),
]


def check_readers_accept(tmp_path, inputs, data):
    for blob, fid in inputs:
        (tmp_path / fid).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / fid).write_bytes(blob)
    (tmp_path / "DICOMDIR").write_bytes(data)
    with warnings.catch_warnings():
        warnings.simplefilter("error", UserWarning)
        fs = FileSet(pydicom.dcmread(tmp_path / "DICOMDIR"))
    assert len(fs) == len(inputs)
    if shutil.which("dcmdump"):
        run = subprocess.run(["dcmdump", "-M", str(tmp_path / "DICOMDIR")], capture_output=True, text=True)
        assert run.returncode == 0 and "E:" not in run.stderr and "W:" not in run.stderr, run.stderr


@pytest.mark.parametrize("tag,record,keyword,pattern", LACKING, ids=[k for _, _, k, _ in LACKING])
def test_a_missing_required_key_is_invented_and_reported(tmp_path, tag, record, keyword, pattern):
    import re
    dates = ((0x0008, 0x0021, "DA", "20230405"), (0x0008, 0x0031, "TM", "080910"))
    inputs = [(instance(sop="1.1", series="1.2.3.1", extra=dates), "A/IM1"),
              (instance(sop="2.1", study="1.2.4" if record == "STUDY" else "1.2.3", series="1.2.3.2", drop={tag},
                        extra=dates), "A/IM2")]
    data, summary = loam.build_dicomdir(inputs, "SET", report=True)
    assert data == loam.build_dicomdir(inputs, "SET")  # the same inputs, the same file
    invented = summary["invented"]
    assert [(i["record"], i["keyword"]) for i in invented] == [(record, keyword)], invented
    assert re.fullmatch(pattern, invented[0]["value"]) and invented[0]["file_id"] == "A/IM2"
    assert summary["instances"] == 2 and summary["skipped"] == 0
    _, recs = records(data)
    for r in recs:
        for key in TYPE1[r.DirectoryRecordType]:
            assert str(r.get(key, "")).strip(), (r.DirectoryRecordType, key)
    check_readers_accept(tmp_path, inputs, data)


def test_files_lacking_every_required_key(tmp_path):
    bare = {0x00100020, 0x00080020, 0x00080030, 0x00200010, 0x0020000D, 0x00080060, 0x0020000E, 0x00200011,
            0x00200013}
    inputs = [(instance(sop=f"7.{k}", sop_class=cls, drop=bare), f"B/IM{k}")
              for k, cls in enumerate([P + "4", P + "481.2", "1.2.3.4"])]
    data, summary = loam.build_dicomdir(inputs, "", report=True)
    _, recs = records(data)
    assert [r.Modality for r in recs if r.DirectoryRecordType == "SERIES"] == ["MR"]  # one series, from the first
    assert [r.StudyDate for r in recs if r.DirectoryRecordType == "STUDY"] == ["19000101"]
    assert [r.InstanceNumber for r in recs if "InstanceNumber" in r] == [1, 2, 3]
    assert len(summary["invented"]) == 1 + 4 + 3 + 3
    for r in recs:
        for key in TYPE1.get(r.DirectoryRecordType, ["InstanceNumber"]):
            assert str(r.get(key, "")).strip(), (r.DirectoryRecordType, key)
    check_readers_accept(tmp_path, inputs, data)


def corpus_fileset(root):
    paths = [p for p in loam.scan_dicom_dir(str(root), True) if os.path.basename(p) != "DICOMDIR"]
    return [(open(p, "rb").read(), os.path.relpath(p, root)) for p in paths]


def normalised(ds) -> set[tuple]:
    """The hierarchy as (patient, study, series, record type, file ID) paths: order-free."""
    out, stack = set(), []
    for depth, kind, fid in tree(ds):
        stack[depth:] = [kind]
        if fid is not None:
            out.add((tuple(stack), fid if isinstance(fid, tuple) else (fid,)))
    return out


@pytest.mark.parametrize("sub", ["", "TINY_ALPHA"])
def test_corpus_file_set_matches_its_own_dicomdir(testdata, tmp_path, sub):
    root = testdata / "pydicom" / "test_files" / "dicomdirtests" / sub
    original = pydicom.dcmread(root / "DICOMDIR")
    inputs = [(data, fid) for data, fid in corpus_fileset(root) if not fid.startswith("TINY_ALPHA")]
    data = loam.build_dicomdir(inputs, "LOAMTEST")
    ours = pydicom.dcmread(pydicom.filebase.DicomBytesIO(data))
    assert normalised(ours) == normalised(original)
    # Readers navigating the copy must find every instance it lists.
    copy = tmp_path / "set"
    shutil.copytree(root, copy)
    (copy / "DICOMDIR").write_bytes(data)
    with warnings.catch_warnings():
        warnings.simplefilter("error", UserWarning)
        fs = FileSet(pydicom.dcmread(copy / "DICOMDIR"))
    assert len(fs) == sum("ReferencedFileID" in r for r in original.DirectoryRecordSequence)
    assert loam.iod_validate(str(copy / "DICOMDIR")) == []
    if shutil.which("dcmdump"):
        run = subprocess.run(["dcmdump", "-M", str(copy / "DICOMDIR")], capture_output=True, text=True)
        assert run.returncode == 0 and "E:" not in run.stderr and "W:" not in run.stderr, run.stderr
