"""The `loam` command line."""

import json
import subprocess
import sys

import pytest

import loam.cli as cli
from dicom_bytes import CT, EXPLICIT_LE, explicit, implicit, part10


def make_tree(tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / "a" / "img.dcm").write_bytes(part10(explicit(0x7FE0, 0x0010, "OW", b"\0\0"), sop_instance="9.8.7"))
    (tmp_path / "a" / "bare.dcm").write_bytes(implicit(0x0008, 0x0005, b"ISO_IR 100") + implicit(0x0010, 0x0010, b"X^Y "))
    (tmp_path / "notes.txt").write_bytes(b"\x01\x01\x01\x01 not dicom at all")
    return tmp_path


def test_info_single_file(tmp_path, capsys):
    path = make_tree(tmp_path) / "a" / "img.dcm"
    assert cli.main(["info", str(path)]) == 0
    out = capsys.readouterr().out
    assert f"transfer syntax  {EXPLICIT_LE}  Explicit VR Little Endian" in out
    assert f"SOP class        {CT}  CT Image Storage" in out
    assert "SOP instance     9.8.7" in out
    assert "pixel data       yes (OW)" in out


def test_info_directory_brief(tmp_path, capsys):
    root = make_tree(tmp_path)
    assert cli.main(["info", "--brief", str(root)]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].startswith(str(root / "a" / "bare.dcm")) and "Implicit VR Little Endian (no meta)" in lines[0]
    assert lines[1].startswith(str(root / "a" / "img.dcm")) and lines[1].endswith("CT Image Storage\tOW")
    assert lines[2].endswith("notes.txt\tnot DICOM")
    assert lines[3] == "3 files: 1 Part-10, 1 bare datasets, 1 not DICOM, 1 with pixel data, 0 unreadable"


def test_info_missing_file_reports_and_fails(tmp_path, capsys):
    assert cli.main(["info", str(tmp_path / "nope.dcm")]) == 1
    assert "cannot open " in capsys.readouterr().err


def test_progress_bar_draws_on_long_runs(tmp_path):
    import io
    stream = io.StringIO()
    bar = cli.Progress(cli.PROGRESS_MIN_FILES, stream, enabled=True)
    for _ in range(cli.PROGRESS_MIN_FILES):
        bar.step()
    bar.finish()
    assert f"{cli.PROGRESS_MIN_FILES}/{cli.PROGRESS_MIN_FILES} files" in stream.getvalue()
    quiet = io.StringIO()
    short = cli.Progress(3, quiet, enabled=True)
    short.step()
    assert quiet.getvalue() == ""


def test_python_dash_m(tmp_path):
    path = make_tree(tmp_path) / "a" / "img.dcm"
    out = subprocess.run([sys.executable, "-m", "loam", "info", "-1", str(path)], capture_output=True, text=True)
    assert out.returncode == 0 and "CT Image Storage" in out.stdout


def test_info_shows_the_decoded_patient_name(tmp_path, capsys):
    path = tmp_path / "name.dcm"
    path.write_bytes(part10(explicit(0x0008, 0x0005, "CS", "ISO_IR 100")
                            + explicit(0x0010, 0x0010, "PN", "J\xe9r\xf4me^Buc")))
    assert cli.main(["info", str(path)]) == 0
    assert "patient name     Jérôme^Buc" in capsys.readouterr().out


def test_edit_sets_and_erases(tmp_path, capsys):
    import pydicom
    src, out = tmp_path / "in.dcm", tmp_path / "out.dcm"
    src.write_bytes(part10(explicit(0x0008, 0x0060, "CS", "CT") + explicit(0x0010, 0x0010, "PN", "Doe^J")))
    assert cli.main(["edit", str(src), "--set", "PatientName=Roe^R", "--set", "(0010,0020)=ID9",
                     "--erase", "00080060", "-o", str(out)]) == 0
    ds = pydicom.dcmread(out)
    assert (str(ds.PatientName), ds.PatientID, "Modality" in ds) == ("Roe^R", "ID9", False)


@pytest.mark.parametrize("args, message", [
    (["--set", "NoSuchKeyword=1"], "loam edit: unknown tag 'NoSuchKeyword'"),
    (["--set", "PatientName"], "loam edit: --set needs TAG=VALUE"),
])
def test_edit_errors(tmp_path, capsys, args, message):
    src = tmp_path / "in.dcm"
    src.write_bytes(part10(explicit(0x0010, 0x0010, "PN", "Doe^J")))
    assert cli.main(["edit", str(src), *args, "-o", str(tmp_path / "out.dcm")]) == 1
    assert capsys.readouterr().err.startswith(message)
    assert not (tmp_path / "out.dcm").exists()


def test_edit_reports_engine_errors(tmp_path, capsys):
    src = tmp_path / "in.dcm"
    src.write_bytes(explicit(0x0010, 0x0010, "PN", "Doe^J"))
    assert cli.main(["edit", str(src), "--set", "PatientName=X", "-o", str(tmp_path / "out.dcm")]) == 1
    assert capsys.readouterr().err.strip() == "loam edit: edit_part10: not a valid Part-10 file"


def test_json_and_back(tmp_path, capsys):
    import json
    src = tmp_path / "in.dcm"
    src.write_bytes(part10(explicit(0x0008, 0x0016, "UI", CT) + explicit(0x0008, 0x0018, "UI", "1.2.3")
                           + explicit(0x0010, 0x0010, "PN", "Doe^J")))
    assert cli.main(["json", str(src)]) == 0
    text = capsys.readouterr().out
    assert json.loads(text)["00100010"]["Value"] == [{"Alphabetic": "Doe^J"}]
    assert cli.main(["json", "--meta", str(src)]) == 0
    assert json.loads(capsys.readouterr().out)["00020010"]["Value"] == [EXPLICIT_LE]
    (tmp_path / "in.json").write_text(text)
    out = tmp_path / "out.dcm"
    assert cli.main(["from-json", str(tmp_path / "in.json"), "-o", str(out), "--transfer-syntax", EXPLICIT_LE]) == 0
    assert cli.main(["json", str(out)]) == 0
    assert json.loads(capsys.readouterr().out)["00100010"] == json.loads(text)["00100010"]


def test_from_json_error(tmp_path, capsys):
    (tmp_path / "bad.json").write_text("{}")
    assert cli.main(["from-json", str(tmp_path / "bad.json"), "-o", str(tmp_path / "o.dcm")]) == 1
    assert capsys.readouterr().err.startswith("loam from-json: write_part10: missing SOP Class UID")


def test_decode_and_png(tmp_path, capsys):
    import struct
    import zlib

    import numpy as np
    from dicom_bytes import image
    src = tmp_path / "ct.dcm"
    src.write_bytes(image(struct.pack("<4h", -100, 0, 100, 200), 2, 2, pr=1,
                          extra=explicit(0x0028, 0x1050, "DS", "50") + explicit(0x0028, 0x1051, "DS", "200")
                          + explicit(0x0028, 0x1052, "DS", "-10")))
    out = tmp_path / "ct.npy"
    assert cli.main(["decode", str(src), "--rescale", "-o", str(out)]) == 0
    assert np.load(out).ravel().tolist() == [-110, -10, 90, 190]
    png = tmp_path / "ct.png"
    assert cli.main(["png", str(src), "-o", str(png)]) == 0
    data = png.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    width, height, depth, colour = struct.unpack(">IIBB", data[16:26])
    assert (width, height, depth, colour) == (2, 2, 8, 0)
    idat = data.index(b"IDAT")
    rows = zlib.decompress(data[idat + 4:idat + 4 + struct.unpack(">I", data[idat - 4:idat])[0]])
    # Window 50/200 (LINEAR): -110 below it, -10 and 90 inside, 190 above.
    assert rows == bytes([0, 0, 51, 0, 179, 255])
    assert cli.main(["png", str(tmp_path / "missing.dcm"), "-o", str(png)]) == 1
    assert capsys.readouterr().err.startswith("loam png: cannot open ")


def test_transcode_files_and_directories(tmp_path, capsys):
    import numpy as np
    from dicom_bytes import image
    tree = tmp_path / "in"
    (tree / "a").mkdir(parents=True)
    pixels = np.arange(16, dtype=np.uint16).tobytes()
    (tree / "a" / "one.dcm").write_bytes(image(pixels, 4, 4))
    (tree / "two.dcm").write_bytes(image(pixels[::-1], 4, 4))
    (tree / "notes.txt").write_bytes(b"not dicom")
    out = tmp_path / "out"
    assert cli.main(["transcode", str(tree), "-o", str(out), "--to", "jpeg-ls"]) == 1  # notes.txt fails
    assert "2 of 3 files written" in capsys.readouterr().out
    import loam
    assert loam.read_file_meta(str(out / "a" / "one.dcm"))["transfer_syntax"] == "1.2.840.10008.1.2.4.80"
    assert loam.decode_stored(str(out / "a" / "one.dcm"))[0].tobytes() == pixels
    single = tmp_path / "single.dcm"
    assert cli.main(["transcode", str(tree / "two.dcm"), "-o", str(single), "--to", "1.2.840.10008.1.2.5"]) == 0
    assert loam.read_file_meta(str(single))["transfer_syntax"] == "1.2.840.10008.1.2.5"


def test_deid_directory(tmp_path, capsys):
    import csv
    import json

    import pydicom
    tree = tmp_path / "in" / "Doe^Jane"
    tree.mkdir(parents=True)
    body = (explicit(0x0008, 0x0016, "UI", CT) + explicit(0x0008, 0x0018, "UI", "1.2.3.4")
            + explicit(0x0010, 0x0010, "PN", "Doe^Jane") + explicit(0x0010, 0x0020, "LO", "MRN7")
            + explicit(0x0010, 0x0040, "CS", "F") + explicit(0x0020, 0x000D, "UI", "1.2.3") + explicit(0x0020, 0x000E, "UI", "1.2.3.1"))
    (tree / "one.dcm").write_bytes(part10(body))
    (tree / "copy.dcm").write_bytes(part10(body))  # same identifiers: kept beside it, not over it
    (tree / "bare.dcm").write_bytes(body)
    (tmp_path / "opts.json").write_text(json.dumps({"patient_name": "Case^1", "replace": {"PatientSex": "O"}}))
    key, table = tmp_path / "secret.key", tmp_path / "lookup.csv"
    args = ["deid", str(tmp_path / "in"), str(tmp_path / "out"), "--options", str(tmp_path / "opts.json"),
            "--key-file", str(key), "-j", "2"]
    # A refused file fails the run, and is named with its reason; --allow-refused accepts it.
    assert cli.main(args) == 1
    captured = capsys.readouterr()
    assert "3 files: 2 de-identified" in captured.out and f"refused {tree / 'bare.dcm'}: not a valid Part-10 file" in captured.out
    assert "3 UIDs replaced, 0 with burned-in annotation cleaned, 1 refused" in captured.out
    assert len(captured.err.splitlines()) == 3  # one line per file when not on a terminal
    assert key.stat().st_mode & 0o077 == 0 and len(key.read_bytes()) == 65  # made: 32 random bytes in hex
    # The same key file: the same outputs again, over the first ones; and the lookup table.
    assert cli.main(args + ["--allow-refused", "--quiet", "--lookup-table", str(table)]) == 0
    captured = capsys.readouterr()
    assert captured.err == "" and "fresh random key" not in captured.out
    # Output paths come from the replaced identifiers only, never from the input's names.
    written = sorted(p for p in (tmp_path / "out").rglob("*") if p.is_file())
    assert len(written) == 2 and written[1].name == written[0].stem + "_2.dcm" and "one" not in written[0].name
    assert not {"Doe^Jane", "MRN7", "1.2.3", "1.2.3.1", "1.2.3.4"} & set(written[0].relative_to(tmp_path / "out").parts)
    ds = pydicom.dcmread(written[0])
    assert (str(ds.PatientName), ds.PatientSex) == ("Case^1", "O")
    rel = written[0].relative_to(tmp_path / "out").parts
    assert rel == (ds.PatientID, ds.StudyInstanceUID, ds.SeriesInstanceUID, ds.SOPInstanceUID + ".dcm")
    rows = list(csv.reader(table.open(encoding="utf-8")))
    assert rows[0] == ["kind", "original", "replacement"] and table.stat().st_mode & 0o077 == 0
    assert ["patient_id", "MRN7", ds.PatientID] in rows and ["uid", "1.2.3", ds.StudyInstanceUID] in rows
    # One file as the input, with -o; without a key file each run draws its own key.
    assert cli.main(["deid", str(tree / "one.dcm"), "-o", str(tmp_path / "single")]) == 0
    out = capsys.readouterr().out
    assert "1 files: 1 de-identified" in out and "a fresh random key was used" in out
    assert cli.main(["deid", str(tmp_path / "missing"), str(tmp_path / "x")]) == 2
    # What links the release to its patients is refused inside the release.
    assert cli.main(["deid", str(tree), str(tmp_path / "out"), "--lookup-table", str(tmp_path / "out" / "t.csv")]) == 2
    assert "keep it apart from the release" in capsys.readouterr().err


def test_deid_notes_burned_in_text_and_skips_dicomdirs(tmp_path, capsys):
    import numpy as np

    from dicom_bytes import image
    tree = tmp_path / "in"
    tree.mkdir()
    screen = image(np.full(4, 9, np.uint16).tobytes(), 2, 2, extra=explicit(0x0028, 0x0301, "CS", "YES"))
    (tree / "screen.dcm").write_bytes(screen)
    (tree / "DICOMDIR").write_bytes(part10(explicit(0x0004, 0x1200, "UL", bytes(4)), sop_class="1.2.840.10008.1.3.10"))
    assert cli.main(["deid", str(tree), str(tmp_path / "out"), "-q"]) == 0
    out = capsys.readouterr().out
    assert f"burned-in text likely in {tree / 'screen.dcm'}: Burned In Annotation is YES" in out
    assert f"skipped {tree / 'DICOMDIR'}: a DICOMDIR" in out
    assert cli.main(["deid", str(tree), str(tmp_path / "clean"), "-q", "--clean-pixel"]) == 0
    assert "burned-in text likely" not in capsys.readouterr().out


def test_scan_lists_dicom_only(tmp_path, capsys):
    root = make_tree(tmp_path)
    assert cli.main(["scan", str(root)]) == 0
    captured = capsys.readouterr()
    assert captured.out.splitlines() == [str(root / "a" / "bare.dcm"), str(root / "a" / "img.dcm")]
    assert captured.err.strip() == f"2 DICOM files under {root}"
    assert cli.main(["scan", "--flat", str(root)]) == 0
    assert capsys.readouterr().out == ""
    assert cli.main(["scan", str(root / "notes.txt")]) == 2


def test_dicomdir_writes_a_file_set(tmp_path, capsys):
    from test_fileset import instance
    (tmp_path / "PAT1" / "SER1").mkdir(parents=True)
    (tmp_path / "PAT1" / "SER1" / "IM1").write_bytes(instance(sop="1.1"))
    (tmp_path / "PAT1" / "SER1" / "IM2").write_bytes(instance(sop="1.2"))
    (tmp_path / "PAT2").mkdir()
    (tmp_path / "PAT2" / "IM3").write_bytes(instance(patient="P2", study="2.2", series="2.2.1", sop="2.1",
                                                     drop={0x00200011}))
    out = tmp_path / "DICOMDIR"
    assert cli.main(["dicomdir", str(tmp_path), "-o", str(out), "--fileset-id", "MY SET"]) == 0
    assert capsys.readouterr().out.splitlines() == [
        f"{out}: 3 instances in 2 patients, 2 studies, 2 series (0 files skipped or duplicates)",
        "invented 1 required key value(s) the files lacked:",
        "  SERIES SeriesNumber = '1' (from PAT2/IM3)"]
    import pydicom
    ds = pydicom.dcmread(out)
    assert ds.FileSetID == "MY SET"
    assert sorted(tuple(r.ReferencedFileID) for r in ds.DirectoryRecordSequence if "ReferencedFileID" in r) == [
        ("PAT1", "SER1", "IM1"), ("PAT1", "SER1", "IM2"), ("PAT2", "IM3")]
    # Run again over the same tree: the DICOMDIR already there is not one of its own members.
    assert cli.main(["dicomdir", str(tmp_path), "-o", str(out), "--fileset-id", "MY SET"]) == 0
    assert "3 instances" in capsys.readouterr().out


@pytest.mark.parametrize("name, problem", [
    ("lower.dcm", "component 'lower.dcm' is not 1 to 8 upper-case letters, digits or underscores"),
    ("TOOLONGNAME", "component 'TOOLONGNAME' is not 1 to 8 upper-case letters, digits or underscores"),
])
def test_dicomdir_refuses_names_media_cannot_hold(tmp_path, capsys, name, problem):
    from test_fileset import instance
    (tmp_path / name).write_bytes(instance())
    out = tmp_path / "OUT"
    assert cli.main(["dicomdir", str(tmp_path), "-o", str(out)]) == 2
    err = capsys.readouterr().err
    assert "1 file(s) cannot be named on DICOM media" in err and f"{name}: {problem}" in err
    assert not out.exists()
    assert cli.main(["dicomdir", str(tmp_path), "-o", str(out), "--fileset-id", "lower"]) == 2


def test_validate_table_and_exit_status(tmp_path, capsys):
    from test_iod import build, ct_elements, without
    good, bad = tmp_path / "good.dcm", tmp_path / "bad.dcm"
    good.write_bytes(build(ct_elements()))
    bad.write_bytes(build(without(0x00100010)))
    assert cli.main(["validate", str(good)]) == 0
    assert capsys.readouterr().out.strip() == ("1 files: 1 conformant, 0 with errors, 0 with warnings only, "
                                               "0 without an IOD profile, 0 unreadable")
    assert cli.main(["validate", str(tmp_path)]) == 1
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].split() == ["FILE", "SEVERITY", "WHERE", "MODULE", "MESSAGE"]
    assert lines[1].split()[:4] == [str(bad), "error", "PatientName", "patient"]
    assert lines[1].endswith("missing Type 2 attribute PatientName (0010,0010) required by module 'patient'")
    assert lines[-1] == "2 files: 1 conformant, 1 with errors, 0 with warnings only, 0 without an IOD profile, 0 unreadable"


def test_validate_element_layers_and_iod_only(tmp_path, capsys):
    from test_iod import build, ct_elements
    el = ct_elements()
    el[0x00080020] = ("DA", "2024.1.1")
    el[0x00101000] = ("LO", "OLD")
    path = tmp_path / "x.dcm"
    path.write_bytes(build(el))
    assert cli.main(["validate", "--json", str(path)]) == 1
    record = json.loads(capsys.readouterr().out)[0]
    assert record["status"] == "with_errors"
    assert [(f["severity"], f["module"], f["path"]) for f in record["findings"]] == [
        ("error", "vr", "StudyDate"), ("warning", "retired", "OtherPatientIDs")]
    assert cli.main(["validate", "--iod-only", str(path)]) == 0
    assert capsys.readouterr().out.strip().startswith("1 files: 1 conformant")
    el[0x00080020] = ("DA", "20240101")
    path.write_bytes(build(el))
    assert cli.main(["validate", str(path)]) == 0  # warnings only
    assert "0 conformant, 0 with errors, 1 with warnings only" in capsys.readouterr().out


def convert_input(tmp_path):
    import numpy as np
    from test_mosaic import dwi_series
    from volume_series import write_series
    vol = np.arange(3 * 4 * 5, dtype=np.int16).reshape(3, 4, 5)
    write_series(tmp_path / "in" / "ct", vol, [(0, 0, 2.0 * k) for k in range(3)], series="1.2.3.1",
                 extra={0x00200011: ("IS", "3"), 0x00181030: ("LO", "head ct"), 0x0008103E: ("LO", "axial")})
    dwi_series(tmp_path / "in" / "dwi")
    (tmp_path / "in" / "notes.txt").write_text("not dicom")
    return vol


def test_convert_writes_one_volume_per_series(tmp_path, capsys):
    import numpy as np
    import nibabel as nib
    vol = convert_input(tmp_path)
    out = tmp_path / "out"
    assert cli.main(["convert", str(tmp_path / "in"), "-o", str(out)]) == 0
    captured = capsys.readouterr()
    lines = captured.out.splitlines()
    assert lines[0].split() == ["SERIES", "DESCRIPTION", "FILES", "VOLUMES", "SHAPE", "OUTPUT"]
    assert lines[-1] == "2 outputs: 2 written, 0 skipped"
    # Progress shows when stderr is not a terminal too: a line per output.
    assert captured.err.splitlines() == [f"[1/2] series -: {out / 'dwi.nii'}", f"[2/2] series 3: {out / '3_head_ct.nii'}"]
    ct = nib.load(str(out / "3_head_ct.nii"))
    assert ct.get_data_dtype() == np.int16 and ct.dataobj.inter == -1024  # integers kept, scaled
    assert ct.shape == (5, 4, 3) and np.array_equal(ct.get_fdata(), (vol - 1024.0).transpose(2, 1, 0))
    side = json.loads((out / "3_head_ct.json").read_text())
    assert side["SeriesNumber"] == 3 and side["ProtocolName"] == "head ct" and side["ConversionSoftware"] == "loam"
    dwi = [p for p in out.iterdir() if p.name.endswith(".bval")]
    assert len(dwi) == 1 and dwi[0].read_text().split() == ["0", "1000", "1000", "2000"]
    bvec = np.loadtxt(str(dwi[0]).replace(".bval", ".bvec"))
    assert bvec.shape == (3, 4) and np.allclose(np.linalg.norm(bvec[:, 1:], axis=0), 1)
    # Nothing is overwritten without --force: a letter is added, as dcm2niix does.
    assert cli.main(["convert", "--no-progress", str(tmp_path / "in" / "ct"), "-o", str(out), "-f", "%p_%s"]) == 0
    assert (out / "head_ct_3.nii").exists()
    assert cli.main(["convert", "--no-progress", str(tmp_path / "in" / "ct"), "-o", str(out)]) == 0
    assert (out / "3_head_cta.nii").exists() and (out / "3_head_cta.json").exists()
    before = (out / "3_head_ct.nii").stat().st_mtime_ns
    assert cli.main(["convert", "--no-progress", "--force", "--no-sidecar", "-z", str(tmp_path / "in" / "ct"),
                     "-o", str(out)]) == 0
    assert (out / "3_head_ct.nii.gz").exists() and not (out / "3_head_ctb.nii").exists()
    assert (out / "3_head_ct.nii").stat().st_mtime_ns == before


def test_convert_single_file_form_and_failures(tmp_path, capsys):
    import nibabel as nib
    convert_input(tmp_path)
    out = tmp_path / "vols" / "vol.nii.gz"
    assert cli.main(["convert", "--no-progress", str(tmp_path / "in"), "-o", str(out)]) == 0
    assert nib.load(str(tmp_path / "vols" / "vol_3.nii.gz")).shape == (5, 4, 3)
    assert (tmp_path / "vols" / "vol_3.json").exists()
    capsys.readouterr()
    assert cli.main(["convert", str(tmp_path / "nowhere"), "-o", str(tmp_path / "o")]) == 2
    assert "no such file or folder" in capsys.readouterr().err
    (tmp_path / "empty").mkdir()
    assert cli.main(["convert", str(tmp_path / "empty"), "-o", str(tmp_path / "o")]) == 1
    assert "no DICOM files under" in capsys.readouterr().err
    (tmp_path / "bad").mkdir()
    (tmp_path / "bad" / "x.dcm").write_bytes(b"\0" * 128 + b"DICM" + b"\0" * 10)
    assert cli.main(["convert", str(tmp_path / "bad"), "-o", str(tmp_path / "o")]) == 1


def read_png(data: bytes):
    """Our own unfiltered grey PNGs back to an array."""
    import struct
    import zlib

    import numpy as np
    width, height = struct.unpack(">II", data[16:24])
    idat = data.index(b"IDAT")
    rows = zlib.decompress(data[idat + 4:idat + 4 + struct.unpack(">I", data[idat - 4:idat])[0]])
    return np.frombuffer(rows, np.uint8).reshape(height, width + 1)[:, 1:]


MONOCHROME1 = ["pydicom-data/RG3_J2KR.dcm", "pydicom-data/RG1_J2KI.dcm", "highdicom/dx_image.dcm"]


@pytest.mark.parametrize("name", MONOCHROME1)
def test_png_shows_monochrome1_as_viewers_do(tmp_path, name):
    """Low values bright, through the file's window: what pydicom's apply_voi_lut and an inversion give."""
    import numpy as np
    pydicom = pytest.importorskip("pydicom")
    from pydicom.pixels import apply_voi_lut
    from pathlib import Path
    path = Path(__file__).resolve().parents[2] / "shared" / "testdata" / name
    if not path.is_file():
        pytest.skip(f"corpus file not present: {path}")
    ds = pydicom.dcmread(path)
    try:
        expected = apply_voi_lut(ds.pixel_array.astype(np.float64), ds)
    except Exception as exc:  # no decoder for the peer: nothing to compare with
        pytest.skip(f"pydicom cannot decode {name}: {exc}")
    lo, hi = float(ds.WindowCenter) - float(ds.WindowWidth) / 2, float(ds.WindowCenter) + float(ds.WindowWidth) / 2
    expected = 255.0 - np.clip((expected - lo) / (hi - lo), 0, 1) * 255.0
    png = tmp_path / "out.png"
    assert cli.main(["png", str(path), "-o", str(png)]) == 0
    ours = read_png(png.read_bytes()).astype(np.float64)
    assert ours.shape == expected.shape
    assert ours.mean() > 20  # not the black image it once was
    assert np.corrcoef(ours.ravel(), expected.ravel())[0, 1] > 0.98
    assert abs(ours.mean() - expected.mean()) < 8


def test_version(capsys):
    import loam
    with pytest.raises(SystemExit) as stop:
        cli.main(["--version"])
    assert stop.value.code == 0
    assert capsys.readouterr().out == f"loam {loam.__version__}\n"


def test_from_json_refuses_json_without_its_pixel_data(tmp_path, capsys):
    """`loam json` names the pixel data but does not carry it: writing that back would lose the image."""
    import struct

    from dicom_bytes import image
    src = tmp_path / "ct.dcm"
    src.write_bytes(image(struct.pack("<4h", -100, 0, 100, 200), 2, 2, pr=1))
    assert cli.main(["json", str(src)]) == 0
    text = capsys.readouterr().out
    assert '"7FE00010":{"vr":"OW"}' in text.replace(" ", "")
    (tmp_path / "ct.json").write_text(text)
    out = tmp_path / "copy.dcm"
    assert cli.main(["from-json", str(tmp_path / "ct.json"), "-o", str(out)]) == 1
    assert "names the pixel data (7FE0,0010) but does not carry it" in capsys.readouterr().err
    assert not out.exists()
    # Without the pixel data member, the header alone is written as before.
    header_only = json.loads(text)
    del header_only["7FE00010"]
    (tmp_path / "header.json").write_text(json.dumps(header_only))
    assert cli.main(["from-json", str(tmp_path / "header.json"), "-o", str(out)]) == 0 and out.exists()


CORPUS = __import__("pathlib").Path(__file__).resolve().parents[2] / "shared" / "testdata"


def built_image(tmp_path):
    import struct

    from dicom_bytes import image
    path = tmp_path / "ct.dcm"
    path.write_bytes(image(struct.pack("<6h", -100, 0, 100, 200, 300, 400), 2, 3, pr=1))
    return path


@pytest.mark.parametrize("mode", ["inline", "bulk"])
@pytest.mark.parametrize("source", ["built", "pydicom/test_files/JPEG2000.dcm", "pydicom/test_files/MR_small_bigendian.dcm",
                                    "pydicom/test_files/SC_rgb_jpeg_dcmtk.dcm"])
def test_json_round_trip_keeps_the_pixels(tmp_path, capsys, mode, source):
    import numpy as np

    import loam
    path = built_image(tmp_path) if source == "built" else CORPUS / source
    if not path.is_file():
        pytest.skip(f"corpus file not present: {path}")
    document = tmp_path / "copy.json"
    assert cli.main(["json", str(path), "--pixel-data", mode, "-o", str(document)]) == 0
    assert (tmp_path / "copy.pixeldata.bin").exists() == (mode == "bulk")
    copy = tmp_path / "copy.dcm"
    assert cli.main(["from-json", str(document), "-o", str(copy)]) == 0, capsys.readouterr().err
    original, written = loam.read(path), loam.read(copy)
    assert np.array_equal(written.pixels(), original.pixels())
    assert written.get("PatientName") == original.get("PatientName") and written.Rows == original.Rows
    if original.transfer_syntax in ("1.2.840.10008.1.2.4.90", "1.2.840.10008.1.2.4.50"):
        assert written.transfer_syntax == original.transfer_syntax  # the fragments kept as they were


def test_json_bulk_needs_an_output_and_from_json_fetches_nothing(tmp_path, capsys):
    path = built_image(tmp_path)
    assert cli.main(["json", str(path), "--pixel-data", "bulk"]) == 2
    assert "needs -o" in capsys.readouterr().err
    document = tmp_path / "remote.json"
    assert cli.main(["json", str(path), "--pixel-data", "bulk", "-o", str(document)]) == 0
    top = json.loads(document.read_text())
    top["7FE00010"]["BulkDataURI"] = "http://example.org/pixels"
    document.write_text(json.dumps(top))
    assert cli.main(["from-json", str(document), "-o", str(tmp_path / "x.dcm")]) == 1
    assert "is not a local file" in capsys.readouterr().err


def test_dump_lists_the_tree(tmp_path, capsys):
    from dicom_bytes import explicit_sq, item
    body = (explicit(0x0008, 0x0016, "UI", CT) + explicit(0x0009, 0x0010, "LO", "ACME 1.0")
            + explicit(0x0009, 0x1001, "LT", "x" * 200)
            + explicit_sq(0x0008, 0x1140, [item(explicit(0x0008, 0x1155, "UI", "1.2.3"))])
            + explicit(0x0010, 0x0010, "PN", "Doe^Jane"))
    path = tmp_path / "f.dcm"
    path.write_bytes(part10(body))
    assert cli.main(["dump", str(path), "--width", "20"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "# File meta information" and "# Data set" in lines
    assert any(l.startswith("(0009,1001) LT [ACME 1.0] Unknown") and l.endswith("\u2026") and len(l) < 80
               for l in lines)
    at = next(i for i, l in enumerate(lines) if "ReferencedImageSequence" in l)
    assert lines[at + 1].strip() == "> item 1" and "ReferencedSOPInstanceUID" in lines[at + 2]
    assert lines[at + 2].startswith("  (0008,1155)")
    assert "(0010,0010) PN PatientName" in lines[-1] and "'Doe^Jane'" in lines[-1]
    assert cli.main(["dump", str(path), str(tmp_path / "missing.dcm")]) == 1
    captured = capsys.readouterr()
    assert f"# {path}" in captured.out and "cannot open" in captured.err


def test_png_frame_window_and_voi_lut(tmp_path, capsys):
    import struct

    import numpy as np
    pydicom = pytest.importorskip("pydicom")
    from pydicom.pixels import apply_voi_lut

    from dicom_bytes import explicit_sq, image, item, us
    frames = np.array([[[0, 100], [200, 300]], [[400, 500], [600, 700]]], np.uint16)
    plain = tmp_path / "frames.dcm"
    plain.write_bytes(image(frames.tobytes(), 2, 2, frames=2))
    png = tmp_path / "out.png"
    assert cli.main(["png", str(plain), "--frame", "2", "--window", "550", "300", "-o", str(png)]) == 0
    expected = np.round(np.clip((frames[1] - (550 - 0.5 - (300 - 1) / 2)) / (300 - 1), 0, 1) * 255)
    assert np.abs(read_png(png.read_bytes()).astype(int) - expected).max() <= 1
    assert cli.main(["png", str(plain), "--frame", "0", "-o", str(png)]) == 2
    assert cli.main(["png", str(plain), "--frame", "3", "-o", str(png)]) == 2  # a frame it lacks: usage
    capsys.readouterr()
    # A VOI LUT: 8 entries from stored value 0, 8 bits; it wins over the window.
    table = [0, 10, 40, 90, 160, 200, 240, 255]
    lut = explicit_sq(0x0028, 0x3010, [item(us(0x0028, 0x3002, 8, 0, 8)
                                            + explicit(0x0028, 0x3006, "OW", struct.pack("<8H", *table)))])
    pixels = np.array([[0, 1, 2, 3], [4, 5, 6, 9]], np.uint16)
    path = tmp_path / "lut.dcm"
    path.write_bytes(image(pixels.tobytes(), 2, 4, extra=explicit(0x0028, 0x1050, "DS", "100")
                           + explicit(0x0028, 0x1051, "DS", "2") + lut))
    assert cli.main(["png", str(path), "-o", str(png)]) == 0
    ds = pydicom.dcmread(path)
    expected = apply_voi_lut(ds.pixel_array, ds).astype(float) / 255 * 255
    assert np.array_equal(read_png(png.read_bytes()), np.round(expected).astype(np.uint8))


def test_machine_readable_outputs(tmp_path, capsys):
    make_tree(tmp_path)
    assert cli.main(["info", "--json", str(tmp_path)]) == 0
    records = json.loads(capsys.readouterr().out)
    assert all(set(r) >= {"path", "has_meta", "transfer_syntax", "pixel_data", "dicom"} for r in records)
    assert cli.main(["scan", "--json", str(tmp_path)]) == 0
    listed = json.loads(capsys.readouterr().out)
    assert listed["recursive"] and listed["files"] == loam_scan(tmp_path)
    assert cli.main(["validate", "--json", str(tmp_path)]) in (0, 1)
    checked = json.loads(capsys.readouterr().out)
    assert {r["status"] for r in checked} <= {"conformant", "with_errors", "not_checked", "unreadable"}
    assert cli.main(["info", "--json", str(tmp_path / "missing.dcm")]) == 1
    assert json.loads(capsys.readouterr().out)[0]["error"].startswith("cannot open")


def loam_scan(folder):
    import loam
    return loam.scan_dicom_dir(str(folder))


def test_help_states_the_exit_status_rule(capsys):
    with pytest.raises(SystemExit):
        cli.main(["--help"])
    text = capsys.readouterr().out
    assert "0  everything asked was done" in text and "2  usage error" in text
    with pytest.raises(SystemExit) as stop:
        cli.main(["png"])  # a missing argument is a usage error
    assert stop.value.code == 2
