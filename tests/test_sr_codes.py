"""Coded concepts of structured reports: the compiled context groups against their source table
(../shared/reference/sr/cid.tsv) and against pydicom's own code dictionaries, and the SNOMED
SRT-to-SCT mapping against pydicom's."""

from __future__ import annotations

import collections
import csv
from pathlib import Path

import pytest

import loam

REFERENCE = Path(__file__).resolve().parents[2] / "shared" / "reference" / "sr"


@pytest.fixture(scope="module")
def rows():
    table = REFERENCE / "cid.tsv"
    if not table.is_file():
        pytest.skip(f"{table} is absent: the context-group table comes with ../shared")
    with open(table, encoding="utf-8", newline="") as f:
        return [(int(r["cid"]), r["scheme"], r["value"], r["meaning"]) for r in csv.DictReader(f, delimiter="\t")]


def test_every_group_has_every_code_of_its_rows(rows):
    for cid, scheme, value, _ in rows:
        assert loam.sr_cid_has(cid, value, scheme), (cid, scheme, value)


def test_groups_do_not_have_codes_of_other_groups(rows):
    members = collections.defaultdict(set)
    for cid, scheme, value, _ in rows:
        members[cid].add((scheme, value))
    everything = sorted({(s, v) for _, s, v, _ in rows})
    checked = 0
    for cid in sorted(members)[::25]:
        for scheme, value in everything[::97]:
            assert loam.sr_cid_has(cid, value, scheme) == ((scheme, value) in members[cid]), (cid, scheme, value)
            checked += 1
    assert checked > 5000


def test_meanings_are_the_ones_the_groups_use(rows):
    meanings = collections.defaultdict(collections.Counter)
    for _, scheme, value, meaning in rows:
        meanings[(scheme, value)][meaning] += 1
    for (scheme, value), counter in meanings.items():
        if not value:
            continue  # one row of the source has no code value (CID 12300, LN): not a code to look up
        assert loam.sr_code_meaning(value, scheme) in counter, (scheme, value)
        top = counter.most_common(1)[0][1]
        assert counter[loam.sr_code_meaning(value, scheme)] == top
        for meaning in counter:  # every meaning a group gives is accepted without a warning
            check = loam.sr_validate_code(value, scheme, meaning)
            assert check["valid"] and check["known"] and not check["warnings"], (scheme, value, meaning, check)


def test_pydicom_collections_agree():
    codedict = pytest.importorskip("pydicom.sr.codedict")
    cid_dict = pytest.importorskip("pydicom.sr._cid_dict")
    checked = 0
    for cid in sorted(cid_dict.name_for_cid)[::7]:
        collection = codedict.Collection(f"CID{cid}")
        for code in collection.concepts.values():
            assert loam.sr_cid_has(cid, code.value, code.scheme_designator), (cid, code)
            assert not loam.sr_validate_code(code.value, code.scheme_designator, code.meaning)["warnings"]
            checked += 1
    assert checked > 1000


def test_srt_codes_map_to_snomed_ct_as_pydicom_does():
    snomed = pytest.importorskip("pydicom.sr._snomed_dict")
    for srt, sct in snomed.mapping["SRT"].items():
        check = loam.sr_validate_code(srt, "SRT")
        assert (check["scheme"], check["value"]) == ("SCT", sct)
        assert check["warnings"][0] == f"SRT {srt} is a retired SNOMED-RT code: SCT {sct} replaces it"
        assert loam.sr_code_meaning(srt, "SRT") == loam.sr_code_meaning(sct, "SCT")


@pytest.mark.parametrize("value, scheme, meaning, expected", [
    ("24028007", "SCT", "Right", {"valid": True, "known": True, "meaning": "Right", "errors": [], "warnings": []}),
    ("24028007", "SCT", "right", {"valid": True, "known": True, "warnings": [
        'the meaning "right" differs only in case from the code\'s meaning "Right"']}),
    ("24028007", "SCT", "Left", {"valid": True, "warnings": ['the meaning "Left" is not the code\'s meaning "Right"']}),
    ("999999", "DCM", None, {"valid": True, "known": False, "meaning": None,
                             "warnings": ["DCM 999999 is in none of the context groups"]}),
    ("", "SCT", None, {"valid": False, "errors": ["the code value is empty"]}),
    ("T-D4000", "SCT", None, {"valid": False, "errors": [
        "SCT T-D4000 is not a SNOMED CT identifier (digits only); a SNOMED-RT code is coded SRT"]}),
    ("T-28000", "SRT", "Lung", {"valid": True, "known": True, "value": "39607008", "scheme": "SCT",
                                "meaning": "Lung"}),
    ("X-00000", "SRT", None, {"valid": True, "known": False, "scheme": "SRT", "warnings": [
        "SRT X-00000 is a retired SNOMED-RT code with no SNOMED CT equivalent in the tables"]}),
])
def test_validate_code_by_hand(value, scheme, meaning, expected):
    check = loam.sr_validate_code(value, scheme, meaning)
    assert {key: check[key] for key in expected} == expected


def test_lookups_by_hand():
    assert loam.sr_code_meaning("24028007", "SCT") == "Right"
    assert loam.sr_code_meaning("24028007", "DCM") is None  # the scheme is part of the code
    assert loam.sr_cid_has(244, "7771000", "SCT") and not loam.sr_cid_has(244, "113345001", "SCT")
    assert loam.sr_cid_has(4, "T-28000", "SRT") and loam.sr_cid_has(4, "39607008", "SCT")


@pytest.mark.parametrize("cid, message", [(101, "CID 101 is not a context group in the tables"),
                                          (0, "cid must be a context group number"),
                                          (99999, "CID 99999 is not a context group")])
def test_unknown_groups_are_refused(cid, message):
    with pytest.raises(ValueError, match=message):
        loam.sr_cid_has(cid, "24028007", "SCT")
