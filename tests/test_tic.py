"""tic_metrics on hand-made curves: the kinetic classes at and beside each threshold, arrival,
slopes, ratio and areas worked out by hand."""

from __future__ import annotations

import numpy as np
import pytest

import loam

T = np.arange(0, 510, 30.0)  # 0 .. 480 s


def curve(initial_pct: float, delayed_pct: float = 0.0) -> np.ndarray:
    """Three baseline samples at 100, a step to the initial level at 90 s held to 450 s, and a last
    sample delayed_pct away from that level."""
    level = 100 * (1 + initial_pct / 100)
    s = np.full(T.size, level)
    s[:3] = 100
    s[-1] = level * (1 + delayed_pct / 100)
    return s


@pytest.mark.parametrize("pct, expected", [(49.9, "slow"), (50.0, "medium"), (75.0, "medium"), (100.0, "medium"),
                                           (100.1, "rapid")])
def test_initial_phase_classes(pct, expected):
    m = loam.tic_metrics(curve(pct), T, 3)
    assert m["initial_class"] == expected and m["initial_enhancement_pct"] == pytest.approx(pct)


@pytest.mark.parametrize("pct, expected", [(-10.1, "washout"), (-10.0, "plateau"), (0.0, "plateau"),
                                           (10.0, "plateau"), (10.1, "persistent")])
def test_delayed_phase_types(pct, expected):
    m = loam.tic_metrics(curve(80, pct), T, 3)
    assert m["delayed_type"] == expected and m["delayed_change_pct"] == pytest.approx(pct)


def test_arrival_slopes_ratio_and_areas_by_hand():
    s = curve(80, -20)  # 100 to 180 at 90 s, 144 at 480 s
    m = loam.tic_metrics(s, T, 3, early_s=120, iauc_times_s=[60.0])
    # 10 % of the peak enhancement (0.8) is reached a tenth of the way from 60 s to 90 s.
    assert m["bolus_arrival_s"] == pytest.approx(63.0)
    assert m["peak_s"] == 90 and m["time_to_peak_s"] == pytest.approx(27.0) and m["initial_s"] == 90
    assert m["ser"] == pytest.approx(80 / 44)
    assert m["wash_in_pct_per_s"] == pytest.approx(80 / 27)
    assert m["wash_out_pct_per_s"] == pytest.approx((44 - 80) / 390)
    # From 63 s: the ramp to 90 s (0.08 to 0.8 over 27 s), then 0.8 for the 33 s left of the minute.
    assert m["iauc"][60.0] == pytest.approx(0.5 * (0.08 + 0.8) * 27 + 0.8 * 33)
    ramp = 0.5 * 0.8 * 30
    assert m["auc"] == pytest.approx(ramp + 0.8 * 360 + 0.5 * (0.8 + 0.44) * 30)


@pytest.mark.parametrize("args, message", [
    ((np.ones(2), np.arange(2.0), 1), "at least 3 samples"),
    ((np.ones(5), np.arange(5.0), 5), "baseline"),
    ((np.ones(5), np.array([0, 1, 1, 2, 3.0]), 1), "increasing"),
    ((np.zeros(5), np.arange(5.0), 2), "S0 must be positive"),
    ((np.ones(5), np.arange(4.0), 2), "as many samples"),
])
def test_refusals(args, message):
    with pytest.raises(ValueError, match=message):
        loam.tic_metrics(*args)
