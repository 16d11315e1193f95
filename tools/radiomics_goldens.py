#!/usr/bin/env python3
"""pyradiomics' features of the IBSI phantoms, saved as tests/data/radiomics_pyradiomics.json:
the digital phantom with bin width 1 and the CT phantom with pyradiomics' defaults (no
resampling: pyradiomics lays its resampled grid otherwise than IBSI, which loam follows).

pyradiomics does not install on CPython 3.12, so this runs in a scratch environment with its
maintained fork:

    python3 -m venv /tmp/radpeers && /tmp/radpeers/bin/pip install pyradiomics-bhklab
    /tmp/radpeers/bin/python tools/radiomics_goldens.py
"""
import json
import logging
import warnings
from pathlib import Path

from radiomics import __version__, featureextractor, setVerbosity

ROOT = Path(__file__).resolve().parents[1]
IBSI = ROOT.parent / "shared" / "reference" / "radiomics" / "ibsi"
CASES = {
    "digital phantom, bin width 1": ("ibsi_1_digital_phantom", {"binWidth": 1}, None),
    "CT phantom, defaults": ("ibsi_1_ct_radiomics_phantom", {}, None),
    # First-order features of every filtered image type it has (LBP aside).
    "CT phantom, image types": ("ibsi_1_ct_radiomics_phantom", {}, {
        "Square": {}, "SquareRoot": {}, "Logarithm": {}, "Exponential": {}, "Gradient": {}, "Wavelet": {},
        "LoG": {"sigma": [2.0, 4.0]}, "LBP2D": {}}),
}


def main() -> None:
    warnings.simplefilter("ignore")
    setVerbosity(logging.ERROR)
    out = {"pyradiomics": __version__, "cases": {}}
    for name, (phantom, settings, image_types) in CASES.items():
        extractor = featureextractor.RadiomicsFeatureExtractor(**settings)
        extractor.enableAllFeatures()
        if image_types:
            extractor.disableAllFeatures()
            extractor.enableFeatureClassByName("firstorder")
            extractor.disableAllImageTypes()
            for image_type, options in image_types.items():
                extractor.enableImageTypeByName(image_type, customArgs=options)
        found = extractor.execute(str(IBSI / phantom / "nifti" / "image" / "phantom.nii.gz"),
                                  str(IBSI / phantom / "nifti" / "mask" / "mask.nii.gz"))
        features = {k: float(v) for k, v in found.items() if not k.startswith("diagnostics_")}
        out["cases"][name] = {"phantom": phantom, "settings": dict(settings, **({"imageType": image_types} if image_types else {})),
                              "features": features}
    (ROOT / "tests" / "data" / "radiomics_pyradiomics.json").write_text(json.dumps(out, indent=1) + "\n")


if __name__ == "__main__":
    main()
