"""Tumour response criteria at and beside every rule boundary, and the lesion geometry tools."""

from __future__ import annotations

import math

import numpy as np
import pytest

import loam


def lesion(longest=0.0, short=0.0, status="measured", node=False, **extra):
    return {"longest_mm": longest, "short_axis_mm": short, "status": status, "is_lymph_node": node, **extra}


def recist(base, cur, **kw):
    return loam.recist_evaluate([lesion(*b) if isinstance(b, tuple) else b for b in base],
                                [lesion(*c) if isinstance(c, tuple) else c for c in cur], **kw)["response"]


@pytest.mark.parametrize("base, cur, kw, expected", [
    ([(50,)], [(60,)], {}, "PD"),              # +20 %, +10 mm
    ([(50,)], [(59.9,)], {}, "SD"),            # +19.8 %
    ([(20,)], [(24,)], {}, "SD"),              # +20 % but only 4 mm
    ([(20,)], [(25,)], {}, "PD"),              # +25 %, 5 mm
    ([(50,)], [(48,)], {"nadir_sld": 40.0}, "PD"),  # measured from the nadir: +20 %, 8 mm
    ([(50,)], [(35,)], {}, "PR"),              # -30 %
    ([(50,)], [(35.1,)], {}, "SD"),
    ([(50,)], [(50,)], {"new_lesion": True}, "PD"),
    ([(50,)], [(50,)], {"nt_progression": True}, "PD"),
])
def test_recist_thresholds(base, cur, kw, expected):
    assert recist(base, cur, **kw) == expected


def test_recist_complete_response_and_nodes():
    base = [lesion(30), lesion(0, 18, node=True)]
    assert recist(base, [lesion(status="absent"), lesion(0, 9.9, node=True)]) == "CR"
    assert recist(base, [lesion(status="absent"), lesion(0, 10.0, node=True)]) == "PR"  # 48 -> 10: -79 %
    r = loam.recist_evaluate(base, [lesion(30), lesion(status="not_evaluable", node=True)])
    assert (r["baseline_sld"], r["current_sld"], r["response"]) == (48.0, 30.0, "PR")
    small = loam.recist_evaluate([lesion(12)], [lesion(status="too_small")])
    assert small["current_sld"] == 5.0 and small["response"] == "PR"


def test_irecist():
    base, grown = [lesion(20)], [lesion(30)]
    assert loam.irecist_evaluate(base, grown)["response"] == "iUPD"
    assert loam.irecist_evaluate(base, grown, prev_was_iupd=True)["response"] == "iCPD"
    assert loam.irecist_evaluate(base, [lesion(13)], prev_response="PR")["response"] == \
        loam.irecist_evaluate(base, [lesion(13)], prev_response="SD")["response"] == "iPR"
    with pytest.raises(RuntimeError, match="^irecist: prev_response must be the RECIST 1.1 response at the previous "
                                           "timepoint \u2014 CR, PR, SD, PD or NE \u2014 not 'iPR'$"):
        loam.irecist_evaluate(base, grown, prev_response="iPR")


@pytest.mark.parametrize("base, cur, nadir, expected", [
    (40.0, 48.0, 0.0, "PD"), (40.0, 47.9, 0.0, "SD"), (20.0, 24.9, 0.0, "SD"), (40.0, 28.0, 0.0, "PR"),
    (40.0, 28.1, 0.0, "SD"),
])
def test_mrecist(base, cur, nadir, expected):
    r = loam.mrecist_evaluate([{"viable_diam_mm": base}], [{"viable_diam_mm": cur}], nadir)
    assert r["response"] == expected and r["baseline_sum"] == base
    assert loam.mrecist_evaluate([{"viable_diam_mm": 10}], [{"viable_diam_mm": 0, "status": "absent"}])["response"] == "CR"
    with pytest.raises(RuntimeError, match="^mrecist: each measurement needs viable_diam_mm"):
        loam.mrecist_evaluate([{"longest_mm": 10}], [{"viable_diam_mm": 1}])


def product(a, b, status="measured", node=False):
    return {"longest_mm": a, "perpendicular_mm": b, "status": status, "is_lymph_node": node}


@pytest.mark.parametrize("cur, nadir, expected", [
    (product(2, 3), 0.0, "PD"),        # 4 -> 6: +50 %, tiny in absolute terms
    (product(2, 2.95), 0.0, "SD"),     # +47.5 %
    (product(1, 2), 0.0, "PR"),        # -50 %
    (product(1, 2.1), 0.0, "SD"),
    (product(3, 3), 6.0, "PD"),        # +50 % over the nadir
])
def test_cheson(cur, nadir, expected):
    assert loam.cheson_evaluate([product(2, 2)], [cur], nadir)["response"] == expected


def test_cheson_nodes_normalise_at_15_mm():
    base = [product(30, 20, node=True)]
    assert loam.cheson_evaluate(base, [product(15.0, 10, node=True)])["response"] == "CR"
    assert loam.cheson_evaluate(base, [product(15.1, 10, node=True)])["response"] == "PR"


@pytest.mark.parametrize("cur, kw, expected", [
    (product(10, 12.5), {}, "PD"),                                          # +25 %
    (product(10, 12.4), {"non_enhancing": "stable"}, "SD"),
    (product(5, 10), {"non_enhancing": "stable"}, "PR"),                    # -50 %
    (product(5, 10), {}, "SD"),                                             # unknown non-enhancing: never PR
    (product(10, 10), {"non_enhancing": "increased"}, "PD"),
    (product(0, 0, "absent"), {"non_enhancing": "improved"}, "CR"),
    (product(0, 0, "absent"), {"non_enhancing": "stable", "on_steroids": True}, "PR"),
])
def test_rano(cur, kw, expected):
    assert loam.rano_evaluate([product(10, 10)], [cur], **kw)["response"] == expected


def test_rano_progression_comes_before_complete_response():
    # A lesion too small to measure counts 25 mm2: over a nadir of 20 that is +25 %, PD first.
    r = loam.rano_evaluate([product(10, 10)], [product(0, 0, "too_small")], 20.0, non_enhancing="stable")
    assert r["response"] == "PD"
    with pytest.raises(RuntimeError, match="^rano: non_enhancing must be stable, improved, increased or unknown, "
                                           "not 'better'$"):
        loam.rano_evaluate([product(1, 1)], [product(1, 1)], non_enhancing="better")


@pytest.mark.parametrize("kw, bone, psa", [
    (dict(new_lesions_scan1=3, new_lesions_scan2=-1), "Pending", None),
    (dict(new_lesions_scan1=3, new_lesions_scan2=2), "Progression", None),
    (dict(new_lesions_scan1=3, new_lesions_scan2=1), "No Progression", None),
    (dict(new_lesions_scan1=1), "No Progression", None),
    (dict(prev_was_pending=True, new_lesions_scan2=1), "No Progression", None),
    (dict(prev_was_pending=True, new_lesions_scan2=2), "Progression", None),
    (dict(prev_was_pending=True), "Pending", None),
    (dict(psa_given=True, psa_current=2.9, psa_nadir=1.0), "No Progression", "No Progression"),  # rise 1.9
    (dict(psa_given=True, psa_current=3.0, psa_nadir=1.0), "No Progression", "Progression"),
    (dict(psa_given=True, psa_current=10.0, psa_nadir=8.1), "No Progression", "No Progression"),  # 23 %
    (dict(psa_given=True, psa_current=-1.0, psa_nadir=1.0), "No Progression", "NE"),
])
def test_pcwg3(kw, bone, psa):
    r = loam.pcwg3_evaluate(**kw)
    assert r["bone"] == bone and r.get("psa") == psa and ("psa" in r) == (psa is not None)


@pytest.mark.parametrize("fn, name", [(loam.recist_evaluate, "recist"), (loam.irecist_evaluate, "irecist"),
                                      (loam.cheson_evaluate, "cheson"), (loam.rano_evaluate, "rano")])
def test_list_refusals(fn, name):
    with pytest.raises(RuntimeError, match=f"^{name}: baseline has 1 lesions and current has 2 \u2014 they must be "
                                           "the same lesions in the same order$"):
        fn([lesion(1)], [lesion(1), lesion(2)])
    with pytest.raises(RuntimeError, match=f"^{name}: no target lesions given$"):
        fn([], [])
    with pytest.raises(RuntimeError, match="^recist: unknown lesion status 'gone' \u2014 one of measured, too_small, "
                                           "not_evaluable, absent, present, unequivocal_pd$"):
        fn([lesion(1)], [lesion(1, status="gone")])


# --- geometry ----------------------------------------------------------------------------------

def disc(r, size=64):
    y, x = np.mgrid[:size, :size]
    return ((x - size / 2) ** 2 + (y - size / 2) ** 2 <= r * r).astype(np.uint8)


def rotated_rectangle(w, h, angle, size=96):
    y, x = np.mgrid[:size, :size] - size / 2
    c, s = math.cos(angle), math.sin(angle)
    u, v = x * c + y * s, -x * s + y * c
    return ((abs(u) <= w / 2) & (abs(v) <= h / 2)).astype(np.uint8)


@pytest.mark.parametrize("mask, sx, sy, diameter, width", [
    (disc(10), 1.0, 1.0, 20.0, 20.0),
    (disc(15), 0.5, 0.5, 15.0, 15.0),
    (np.pad(np.ones((11, 31), np.uint8), 2), 1.0, 1.0, math.hypot(30, 10), None),
    (np.pad(np.ones((11, 31), np.uint8), 2), 0.7, 1.3, math.hypot(30 * 0.7, 10 * 1.3), None),
    # The caliper width across the diagonal of a w x h rectangle is 2 w h / its diagonal.
    (rotated_rectangle(40, 10, math.radians(30)), 1.0, 1.0, math.hypot(40, 10), 2 * 40 * 10 / math.hypot(40, 10)),
])
def test_feret_on_known_shapes(mask, sx, sy, diameter, width):
    r = loam.recist_feret(mask, sx, sy)
    pixel = math.hypot(sx, sy)  # the diameters are right to one pixel diagonal
    assert abs(r["longest_mm"] - diameter) <= pixel
    if width is not None:
        assert abs(r["short_axis_mm"] - width) <= 2 * pixel
    x0, y0, x1, y1 = r["longest_endpoints"]
    assert math.hypot((x1 - x0) * sx, (y1 - y0) * sy) == pytest.approx(r["longest_mm"])
    assert mask[int(y0), int(x0)] and mask[int(y1), int(x1)]


def test_feret_edge_cases():
    one = np.zeros((5, 5), np.uint8)
    one[2, 3] = 1
    r = loam.recist_feret(one, 0.7, 0.8)
    assert r["longest_mm"] == 0.8 and r["short_axis_mm"] == 0 and r["longest_endpoints"] == (3.0, 2.0, 3.0, 2.0)
    assert loam.recist_feret(np.zeros((4, 4), np.uint8), 1, 1) is None
    for args, message in [((np.zeros(4, np.uint8), 1, 1), "recist_feret: mask must be 2-D \\(rows, cols\\)"),
                          ((np.zeros((0, 4), np.uint8), 1, 1), "recist_feret: mask dimensions must be 1..65535"),
                          ((one, 0.0, 1), "recist_feret: pixel spacing must be positive")]:
        with pytest.raises(RuntimeError, match=f"^{message}"):
            loam.recist_feret(*args)


def test_volume_world_and_lookups():
    assert loam.recist_volume(np.array([10, 20, 0], np.uint32), 0.25, 2.0) == 15.0
    assert loam.recist_volume(np.array([], np.uint32), 1, 1) == 0
    p = loam.recist_pixel_to_world(np.array([10.0, 20, 30]), np.array([1.0, 0, 0, 0, 1, 0]), np.array([0.5, 0.8]), 3, 4)
    assert p == pytest.approx((10 + 3 * 0.8, 20 + 4 * 0.5, 30))
    cands = np.array([[0.0, 0, 0], [3, 4, 0], [0, 5, 0]])
    assert loam.recist_match_lesion(np.array([0.0, 0, 0]), cands[1:], 5.0) == (1, 5.0)  # equal: the later
    assert loam.recist_match_lesion(np.array([0.0, 0, 0]), cands, 0.0) == (0, 0.0)
    assert loam.recist_match_lesion(np.array([9.0, 9, 9]), cands, 1.0) == (None, None)
    idx, d = loam.recist_nearest_slice(np.array([0, 0, 4.9]), np.array([[0, 0, 0.0], [0, 0, 5], [0, 0, 10]]),
                                       np.array([0, 0, 1.0]))
    assert idx == 1 and d == pytest.approx(-0.1)
    with pytest.raises(RuntimeError, match=r"^recist_pixel_to_world: origin\[3\], orientation\[6\], spacing\[2\]$"):
        loam.recist_pixel_to_world(np.zeros(2), np.zeros(6), np.zeros(2), 0, 0)
    with pytest.raises(RuntimeError, match=r"^recist_match_lesion: candidates must be n x 3 world coordinates$"):
        loam.recist_match_lesion(np.zeros(3), np.zeros((2, 2)), 1)
    with pytest.raises(RuntimeError, match=r"^recist_nearest_slice: slice_origins must be n x 3, n >= 1$"):
        loam.recist_nearest_slice(np.zeros(3), np.zeros((0, 3)), np.ones(3))
