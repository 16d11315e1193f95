"""De-identification: PHI never survives, UIDs stay consistent, dates and options behave."""

import io
import warnings

import pytest

import loam
from conftest import TESTDATA
from dicom_bytes import CT, EXPLICIT_LE, IMPLICIT_LE, explicit, explicit_sq, image, implicit, item, part10

TABLE = TESTDATA.parent / "reference" / "deident" / "ps3.15-table-e.1-1.tsv"


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


def corpus_part10():
    if not TESTDATA.is_dir():
        return []
    found = []
    for p in sorted(p for p in TESTDATA.rglob("*") if p.is_file()):
        meta = loam.read_file_meta(str(p))
        if meta["has_meta"] and meta["transfer_syntax"] not in ("1.2.840.10008.1.2.1.99", "1.2.840.10008.1.2.2"):
            found.append(p)
    return found


def phi_values(ds):
    """Text values of length 4 or more that the profile removes or replaces (private ones too)."""
    values = set()
    for elem in walk(ds):
        tag = int(elem.tag)
        action = ACTIONS.get(tag, "K")
        private = elem.tag.is_private and not elem.tag.is_private_creator
        if (action == "K" and not private) or elem.VR in ("SQ", "OB", "OW", "UN", "US", "UL", "SS", "SL", "FL", "FD", "AT"):
            continue
        if tag in (0x00100010, 0x00100020) or action != "K" or private:
            v = elem.value
            for part in (v if isinstance(v, (list, tuple)) or type(v).__name__ == "MultiValue" else [v]):
                text = str(part).strip()
                if len(text) >= 4:
                    values.add(text)
    return values


def kept_values(ds):
    return {str(e.value) for e in walk(ds) if e.VR not in ("SQ", "OB", "OW", "UN")}


@pytest.mark.parametrize("path", corpus_part10(), ids=lambda p: str(p.relative_to(TESTDATA)))
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
    out = loam.deidentify(data)
    result = read(out)
    kept = kept_values(result)
    for value in phi_values(source):
        if any(value in k for k in kept):
            continue  # the same text is also the value of a kept attribute (say "AXIAL" in Image Type)
        assert value.encode("utf-8", "ignore") not in out, value
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
    assert (str(ds.PatientName), ds.PatientID, ds.StudyDate) == ("Anonymous", "ANON0001", "")
    assert "SeriesDate" not in ds and "StudyDescription" not in ds
    assert ds.StudyInstanceUID == loam.mint_uid("1.2.3.4.100", "2.25")
    assert ds.SOPInstanceUID == loam.mint_uid("1.2.3.4.1", "2.25") == ds.file_meta.MediaStorageSOPInstanceUID
    assert ds.PatientIdentityRemoved == "YES" and ds.DeidentificationMethod == "loamwerk PS3.15 Basic Profile"
    assert [c.CodeValue for c in ds.DeidentificationMethodCodeSequence] == ["113100"]
    assert not any(e.tag.is_private for e in ds)


def test_series_share_uids_through_one_session_or_many():
    a, b = study("1.2.3.4.1"), study("1.2.3.4.2")
    together = [read(x) for x in loam.deidentify_series([a, b])]
    apart = [read(loam.deidentify(x)) for x in (a, b)]
    for group in (together, apart):
        assert len({(d.StudyInstanceUID, d.SeriesInstanceUID, d.FrameOfReferenceUID) for d in group}) == 1
        assert group[0].SOPInstanceUID != group[1].SOPInstanceUID
    assert [d.SOPInstanceUID for d in together] == [d.SOPInstanceUID for d in apart]


@pytest.mark.parametrize("path", [p for p in corpus_part10() if "seg_image" in p.name or "SR" in p.name
                                  or "rtstruct" in p.name.lower() or "rtplan" in p.name.lower()],
                         ids=lambda p: str(p.relative_to(TESTDATA)))
def test_references_follow_the_replaced_uids(path):
    data = path.read_bytes()
    try:
        source = read(data)
        originals = {str(e.value) for e in walk(source) if int(e.tag) == 0x00081155}
    except Exception as exc:
        pytest.skip(f"pydicom cannot read the source: {exc}")
    replaced = {loam.mint_uid(u, "2.25") for u in originals}
    found = [str(e.value) for e in walk(read(loam.deidentify(data))) if int(e.tag) == 0x00081155]
    assert all(uid in replaced for uid in found)


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
    ds = read(loam.deidentify(study("1.2.3.4.1"), {"profile": "none", "uid_root": "1.2.3"}))
    assert (str(ds.PatientName), ds.StudyDate, ds.StudyDescription) == ("Doe^Jane", "20201231", "Head study")
    assert ds.StudyInstanceUID == loam.mint_uid("1.2.3.4.100", "1.2.3")
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
