"""Radiotherapy helpers over the native DVH: a friendlier wrapper with plotting."""

from __future__ import annotations

from typing import Any

from . import _core


class DVH:
    """A computed dose-volume histogram (wraps :class:`loam.DVHCurve`).

    Doses are in Gy and volumes in cm3; per-cents refer to the covered volume (the part of the ROI
    the dose grid reaches). ``DVH.compute(rtstruct, rtdose, "PTV").statistic("D95")``.
    """

    def __init__(self, curve: _core.DVHCurve) -> None:
        self.curve = curve

    @classmethod
    def compute(cls, rtstruct: str, rtdose: str, roi: int | str, samples_per_axis: int = 3,
                full_volume: bool = False) -> "DVH":
        return cls(_core.compute_dvh(rtstruct, rtdose, roi, samples_per_axis, full_volume))

    def __getattr__(self, name: str) -> Any:  # counts, cumulative, volumes, min/max/mean, roi_name, notes
        return getattr(self.curve, name)

    def statistic(self, name: str, rx_dose_gy: float = 0.0) -> float:
        return self.curve.statistic(name, rx_dose_gy)

    def statistics(self, names: list[str], rx_dose_gy: float = 0.0) -> dict[str, float]:
        return {n: self.curve.statistic(n, rx_dose_gy) for n in names}

    def __repr__(self) -> str:
        c = self.curve
        return (f"DVH({c.roi_name!r}: {c.covered_volume_cm3:.3f} cm3 covered of {c.total_volume_cm3:.3f}, "
                f"min {c.min_gy:.3f} / mean {c.mean_gy:.3f} / max {c.max_gy:.3f} Gy)")

    def plot(self, ax: Any = None, relative: bool = True, **line: Any) -> Any:
        """Draws the cumulative curve with matplotlib (volume in % of the covered volume, or cm3)."""
        try:
            import matplotlib.pyplot as plt
        except ImportError as exc:  # an optional dependency
            raise ImportError("DVH.plot needs matplotlib (pip install matplotlib)") from exc
        import numpy as np
        c = self.curve
        cumulative = np.asarray(c.cumulative)
        doses = np.arange(cumulative.size) / 100.0
        volumes = 100 * cumulative / cumulative[0] if relative and cumulative.size else cumulative
        if ax is None:
            _, ax = plt.subplots()
        ax.step(doses, volumes, where="post", label=line.pop("label", c.roi_name), **line)
        ax.set_xlabel("Dose (Gy)")
        ax.set_ylabel("Volume (%)" if relative else "Volume (cm3)")
        ax.legend()
        return ax
