#!/usr/bin/env python3
"""Generate the compiled IOD tables of the conformance checker.

Usage: tools/gen_iod.py [SHARED_DIR] [OUTPUT_CPP]

Sources (defaults under ../shared/reference):
  iod/dicom3tools-templates/module/*.tpl   module attributes: Type 1/2 (1C/2C as 3/4), nested sequences, macros,
                                            and the Type 1C/2C conditions (condn.tpl, sopcl.tpl)
  iod/ps3.3-json/                          IOD list, module usage per IOD and SOP classes, which
                                            give the IOD and module names; cross-checked against
                                            the templates' IOD definitions (iodcomp/*.tpl)
  dictionary/standard.tsv                  keyword -> tag

Conditions become conditional rules when every test in them is a presence, value-presence,
string-equality or numeric comparison on a top-level attribute; those on attributes inside
sequences, and attributes required by them inside sequences, are left out. A report of what
was matched and left out is printed; the output is committed and the build never reads the
sources.
"""
from __future__ import annotations

import json
import re
import sys
from collections import defaultdict
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
MAX_DEPTH = 8

ATTR_RE = re.compile(r'(\w+)="([^"]*)"')


def norm(name: str) -> str:
    return re.sub(r"[^a-z0-9]", "", name.lower())


def hyphenate(camel: str) -> str:
    words = re.findall(r"[A-Z]+(?=[A-Z][a-z]|\d|$)|[A-Z]?[a-z]+|\d+", camel)
    return "-".join(w.lower() for w in words)


# --- template parsing ------------------------------------------------------------------------

def template_lines(path: Path):
    for raw in path.read_text(encoding="latin-1").splitlines():
        line = raw.split("#", 1)[0].strip()
        if line:
            yield line


def parse_modules(folder: Path):
    """Module and macro bodies as lists of (kind, attrs) with 'SequenceEnd' markers."""
    modules, macros = {}, {}
    current = None
    for tpl in sorted(folder.glob("*.tpl")):
        for line in template_lines(tpl):
            attrs = dict(ATTR_RE.findall(line))
            if line.startswith("Module="):
                current = modules.setdefault(attrs["Module"], [])
            elif line.startswith("DefineMacro="):
                current = macros.setdefault(attrs["DefineMacro"], [])
            elif line in ("ModuleEnd", "MacroEnd"):
                current = None
            elif current is not None:
                if line.startswith("SequenceEnd"):
                    current.append(("end", {}))
                elif line.startswith("Sequence="):
                    current.append(("seq", attrs))
                elif line.startswith("Name="):
                    current.append(("attr", attrs))
                elif line.startswith("InvokeMacro="):
                    current.append(("macro", attrs))
                elif line.startswith("Verify=") and "ThenErrorMessage" not in attrs \
                        and "ThenWarningMessage" not in attrs:
                    current.append(("verify", attrs))
    return modules, macros


def parse_conditions(path: Path):
    conds, current = {}, None
    for line in template_lines(path):
        if line.startswith("Condition="):
            current = conds.setdefault(ATTR_RE.findall(line)[0][1], [])
        elif line == "ConditionEnd":
            current = None
        elif current is not None:
            attrs = dict(ATTR_RE.findall(line))
            if line.startswith("("):
                current.append(("open", attrs))
            elif line.startswith(")"):
                current.append(("close", attrs))
            else:
                current.append(("test", attrs))
    return conds


def parse_sop_names(path: Path):
    names = {}
    for line in template_lines(path):
        attrs = dict(ATTR_RE.findall(line))
        if "Name" in attrs and "Uid" in attrs and attrs.get("Type", "Class") == "Class":
            names.setdefault(attrs["Name"], attrs["Uid"])
    return names


def parse_template_iods(folder: Path):
    iods = {}
    for tpl in sorted(folder.glob("*.tpl")):
        current = None
        for line in template_lines(tpl):
            attrs = dict(ATTR_RE.findall(line))
            if line.startswith("CompositeIOD="):
                current = iods.setdefault(attrs["CompositeIOD"], {})
                current["__condition__"] = attrs.get("Condition", "")
            elif line.startswith("CompositeIODEnd"):
                current = None
            elif current is not None and "Module" in attrs:
                current[attrs["Module"]] = attrs.get("Usage", "M")
    return iods


# --- conditions -------------------------------------------------------------------------------

class Unsupported(Exception):
    pass


CHECK_ENUMERATED, CHECK_DEFINED, CHECK_NOT_ZERO_ERROR, CHECK_NOT_ZERO_WARNING, CHECK_VM, CHECK_ITEMS = range(6)
VM_ANY = 0xFFFF
USAGE_VALUES_ONLY = 3

TEST_PRESENT, TEST_VALUE_PRESENT, TEST_STRING, TEST_NUMBER = 0, 1, 2, 3
OP_FIRST, OP_AND, OP_OR = 0, 1, 2
NUM_OPS = {"==": 0, "!=": 1, "<": 2, "<=": 3, ">": 4, ">=": 5}


def compile_condition(tokens, keywords, sop_names):
    """Instructions (kind, op, tag, test, negate, selector, text, number, cmp) or Unsupported."""
    program, first = [], True
    for kind, attrs in tokens:
        op = OP_FIRST if first else (OP_AND if attrs.get("Operator") == "And" else OP_OR)
        if kind == "open":
            program.append(("open", op, 0, 0, False, -1, "", 0.0, 0))
            first = True
            continue
        if kind == "close":
            op = OP_AND if attrs.get("Operator") == "And" else OP_OR
            program.append(("close", op, 0, 0, False, -1, "", 0.0, 0))
            first = False
            continue
        first = False
        keyword = attrs.get("Element")
        if keyword not in keywords:
            raise Unsupported(f"element {keyword}")
        negate = attrs.get("Modifier") == "Not"
        sel = attrs.get("ValueSelector", "0")
        selector = -1 if sel == "*" else int(sel)
        tests = set(attrs) - {"Element", "Operator", "Modifier", "ValueSelector"}
        if tests in ({"ElementPresent"}, {"ElementPresentInRoot"}):
            test = (TEST_PRESENT, "", 0.0, 0)
        elif tests == {"ValuePresent"}:
            test = (TEST_VALUE_PRESENT, "", 0.0, 0)
        elif tests in ({"StringValue"}, {"StringValueFromRootAttribute"}):
            test = (TEST_STRING, attrs[tests.pop()], 0.0, 0)
        elif tests == {"StringConstantFromRootAttribute"}:
            name = attrs["StringConstantFromRootAttribute"]
            uid = sop_names.get(name.removesuffix("SOPClassUID"))
            if uid is None:
                raise Unsupported(f"constant {name}")
            test = (TEST_STRING, uid, 0.0, 0)
        elif tests == {"BinaryValue"}:
            m = re.fullmatch(r"\s*(==|!=|<=|>=|<|>)?\s*(-?[0-9.]+)\s*", attrs["BinaryValue"])
            if not m:
                raise Unsupported(f"binary value {attrs['BinaryValue']}")
            test = (TEST_NUMBER, "", float(m.group(2)), NUM_OPS[m.group(1) or "=="])
        else:
            raise Unsupported(f"test {sorted(tests)}")
        program.append(("test", op, keywords[keyword], test[0], negate, selector, test[1], test[2], test[3]))
    if not program:
        raise Unsupported("empty")
    return program


def compile_or_none(tokens, keywords, sop_names):
    try:
        return compile_condition(tokens, keywords, sop_names) if tokens else []
    except Unsupported:
        return []


def module_template_map(modules_tpl):
    """json module id -> the template modules holding its attributes."""
    by_norm = {norm(name): name for name in modules_tpl}
    special = {
        "supplementalpalettecolorlookuptable": ["SupplementalPaletteColorLUT"],
        "multiframegrayscalebytesecondarycaptureimagemultiframefunctionalgroups": ["MultiFrameFunctionalGroupsForMFSC"],
        "multiframegrayscalewordsecondarycaptureimagemultiframefunctionalgroups": ["MultiFrameFunctionalGroupsForMFSC"],
        "multiframetruecolorsecondarycaptureimagemultiframefunctionalgroups": ["MultiFrameFunctionalGroupsForMFSC"],
        "intravascularopticalcoherencetomographyimagemultiframefunctionalgroups":
            ["MultiFrameFunctionalGroupsForIVOCTImageForPresentation"],
        "vlwholeslidemicroscopyimagemultiframefunctionalgroups": ["MultiFrameFunctionalGroupsForWholeSlideMicroscopy"],
        "enhancedmrcolorimagemultiframefunctionalgroups": ["MultiFrameFunctionalGroupsForEnhancedMRImage"],
        "ophthalmictomographyimagemultiframefunctionalgroups": ["MultiFrameFunctionalGroupsForOphthalmicTomography"],
        "enhancedusvolumemultiframefunctionalgroups": ["MultiFrameFunctionalGroupsForEnhancedUSVolume"],
        "ophthalmicopticalcoherencetomographybscanvolumeanalysismultiframefunctionalgroups":
            ["MultiFrameFunctionalGroupsForOphthalmicOpticalCoherenceTomographyBscanVolumeAnalysis"],
        "xray3dangiographicimagemultiframefunctionalgroups": ["MultiFrameFunctionalGroupsForXRay3DAngiographicImage"],
        "xray3dcraniofacialimagemultiframefunctionalgroups": ["MultiFrameFunctionalGroupsForXRay3DCraniofacialImage"],
    }

    def lookup(module_id):
        key = norm(module_id)
        if key in by_norm:
            return [by_norm[key]]
        names = special.get(key)
        if names is None and key.endswith("multiframefunctionalgroups"):
            stem = key.removesuffix("multiframefunctionalgroups")
            specific = by_norm.get("multiframefunctionalgroupsfor" + stem)
            names = [specific] if specific else None
        if names is None:
            return []
        if any(n.startswith("MultiFrameFunctionalGroupsFor") for n in names):
            names = ["MultiFrameFunctionalGroupsCommon"] + names
        return [n for n in names if n in modules_tpl]

    return lookup


# --- module expansion ------------------------------------------------------------------------

class ModuleExpander:
    def __init__(self, macros, keywords, conditions, report):
        self.macros, self.keywords, self.conditions, self.report = macros, keywords, conditions, report

    def expand(self, body):
        """(rules, conditionals): rules are (tag, type, path); conditionals (condition, tag, type)."""
        rules, conditionals = [], []
        self.top_level, self.values = [], []
        self._walk(body, (), rules, conditionals, set())
        return rules, conditionals, list(dict.fromkeys(self.top_level)), list(dict.fromkeys(self.values))

    def _walk(self, body, path, rules, conditionals, active, values_only=False):
        """values_only: inside a conditionally invoked macro, whose attributes are required only
        under a condition left out here, but whose values are checked wherever present."""
        stack = [path]  # None: inside a sequence whose content is not checked
        for kind, attrs in body:
            here = stack[-1]
            if kind == "end":
                if len(stack) > 1:
                    stack.pop()
                continue
            if kind == "macro":
                name = attrs["InvokeMacro"]
                if here is None:
                    continue
                if name not in self.macros:
                    self.report["unknown macros"].add(name)
                elif name not in active:
                    conditional = values_only or "Condition" in attrs
                    if "Condition" in attrs:
                        self.report["conditionally invoked macros (values checked only)"].add(name)
                    self._walk(self.macros[name], here, rules, conditionals, active | {name}, conditional)
                continue
            keyword = attrs.get("Sequence") or attrs.get("Name") or attrs.get("Verify")
            tag = self.keywords.get(keyword)
            if tag is None:
                self.report["unknown keywords"].add(keyword)
            elif here is not None:
                if kind != "verify" and not values_only:
                    self._rule(tag, attrs, here, rules, conditionals)
                self._values(tag, kind, attrs, here)
            if kind == "seq":
                deeper = here is not None and tag is not None and len(here) < MAX_DEPTH
                stack.append(here + (tag,) if deeper else None)

    def _values(self, tag, kind, attrs, path):
        """Value rules (tag, path, check, selector, list name, vm_min, vm_max, condition name)."""
        sel = attrs.get("ValueSelector", "*")
        selector = -1 if sel == "*" else int(sel)
        # A Verify line's condition is on the top-level data set and guards its check; a Name
        # line's is its Type 1C/2C one, which guards only the non-zero check (a value that need
        # not be there, such as an inversion time outside inversion recovery, may be zero).
        cond = attrs.get("Condition", "")
        if cond and path:
            if kind == "verify":
                return
            cond = ""
        for key, check in (("StringEnumValues", CHECK_ENUMERATED), ("BinaryEnumValues", CHECK_ENUMERATED),
                           ("StringDefinedTerms", CHECK_DEFINED)):
            if key in attrs:
                self.values.append((tag, path, check, selector, attrs[key], 0, 0, cond if kind == "verify" else ""))
        for key, check in (("NotZeroError", CHECK_NOT_ZERO_ERROR), ("NotZeroWarning", CHECK_NOT_ZERO_WARNING)):
            if key in attrs:
                self.values.append((tag, path, check, selector, "", 0, 0, cond))
        vm = attrs.get("VM")
        if vm and kind != "verify":
            m = re.fullmatch(r"(\d+)(?:-(\d+|n))?", vm)
            if not m:
                self.report["VM forms left out"].add(vm)
            else:
                low = int(m.group(1))
                high = low if m.group(2) is None else (VM_ANY if m.group(2) == "n" else int(m.group(2)))
                if (low, high) != (0, VM_ANY):
                    check = CHECK_ITEMS if kind == "seq" else CHECK_VM
                    self.values.append((tag, path, check, -1, "", low, high, ""))

    def _rule(self, tag, attrs, path, rules, conditionals):
        kind = attrs.get("Type", "3")
        if not path:
            self.top_level.append(tag)
        if kind in ("1", "2"):
            rules.append((tag, int(kind), path))
        elif kind in ("1C", "2C"):
            # Kept as types 3 (1C) and 4 (2C): de-identification keeps such attributes present.
            rules.append((tag, 3 if kind == "1C" else 4, path))
            if "Condition" in attrs and not path:
                conditionals.append((attrs["Condition"], tag, int(kind[0])))


# --- output ----------------------------------------------------------------------------------

def guarded(program, guard):
    """(any guard tag present) AND (program)."""
    if not guard:
        return program
    out = [("open", OP_FIRST, 0, 0, False, -1, "", 0.0, 0)]
    out += [("test", OP_FIRST if i == 0 else OP_OR, t, TEST_PRESENT, False, 0, "", 0.0, 0) for i, t in enumerate(guard)]
    out.append(("close", OP_OR, 0, 0, False, -1, "", 0.0, 0))
    out.append(("open", OP_AND, 0, 0, False, -1, "", 0.0, 0))
    out += program
    out.append(("close", OP_AND, 0, 0, False, -1, "", 0.0, 0))
    return out


def packed_array(o, declaration, values, per_line, fmt):
    o.append(declaration + " = {")
    for i in range(0, len(values), per_line):
        o.append("    " + " ".join(fmt(v) + "," for v in values[i:i + per_line]))
    o.append("};\n")


def c_string(s: str) -> str:
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'


def main(argv):
    shared = Path(argv[1]) if len(argv) > 1 else ROOT.parent / "shared"
    out_path = Path(argv[2]) if len(argv) > 2 else ROOT / "src/iod/generated/tables.cpp"
    ref = shared / "reference"
    tpl = ref / "iod/dicom3tools-templates"
    js = ref / "iod/ps3.3-json"

    keywords = {}
    for line in (ref / "dictionary/standard.tsv").read_text().splitlines()[1:]:
        f = line.split("\t")
        if len(f) >= 5 and f[4] and re.fullmatch(r"[0-9A-Fa-f]{8}", f[0]):
            keywords.setdefault(f[4], int(f[0], 16))
    # Repeating groups (overlays, curves) are checked in their first group.
    for line in (ref / "dictionary/repeating.tsv").read_text().splitlines()[1:]:
        f = line.split("\t")
        if len(f) >= 7 and f[6]:
            keywords.setdefault(f[6], int(f[1], 16))

    report = defaultdict(set)
    modules_tpl, macros = parse_modules(tpl / "module")
    conditions = parse_conditions(tpl / "condn.tpl")
    sop_names = parse_sop_names(tpl / "sopcl.tpl")
    iods_tpl = parse_template_iods(tpl / "iodcomp")

    ciods = json.load(open(js / "ciods.json"))
    ciod_modules = json.load(open(js / "ciod_to_modules.json"))
    sops = json.load(open(js / "sops.json"))

    expander = ModuleExpander(macros, keywords, conditions, report)
    template_of = module_template_map(modules_tpl)

    iod_ids = [c["id"] for c in ciods]
    iod_of_name = {c["name"]: c["id"] for c in ciods}
    usage_code = {"M": 0, "U": 1, "C": 2}
    iod_rows = defaultdict(list)
    for row in ciod_modules:
        iod_rows[row["ciodId"]].append((row["moduleId"], usage_code[row["usage"]]))
    module_ids = []
    for iod in iod_ids:
        for mod, _ in iod_rows[iod]:
            if mod not in module_ids:
                module_ids.append(mod)

    module_rules, module_conditionals, module_tags, module_values = {}, {}, {}, {}
    for mod in module_ids:
        names = template_of(mod)
        if not names:
            report["modules without a template (no rules)"].add(mod)
        body = [line for name in names for line in modules_tpl[name]]
        module_rules[mod], module_conditionals[mod], module_tags[mod], module_values[mod] = expander.expand(body)

    # Cross-check the mandatory modules of the IODs both sources define, matched by SOP class;
    # SOP classes the templates add to such an IOD (newer than the IOD list) join it.
    iod_of_uid = {s["id"]: iod_of_name.get(s["ciod"]) for s in sops}
    matched, pseudo = set(), defaultdict(set)
    for t_name, t_modules in iods_tpl.items():
        uids = [p[6] for p in compile_or_none(conditions.get(t_modules.get("__condition__", ""), []),
                                              keywords, sop_names) if p[0] == "test" and p[6]]
        iods = {iod_of_uid.get(u) for u in uids} - {None}
        if len(iods) == 1:
            iod = next(iter(iods))
            for u in uids:
                if u not in iod_of_uid:
                    iod_of_uid[u] = iod
                    report["SOP classes added from the templates"].add(f"{u} ({iod})")
                    sops.append({"id": u, "ciod": next(c["name"] for c in ciods if c["id"] == iod)})
        for iod in iods:
            # The templates' pseudo modules hold value checks particular to an IOD (a single-frame
            # IOD's Number of Frames is 1); they join it for those checks only.
            for m in t_modules:
                if m.endswith("Pseudo") and m in modules_tpl:
                    pseudo[iod].add(m)
        for iod in iods:
            matched.add(iod)
            theirs = {m for m, u in t_modules.items() if u == "M" and m != "__condition__"}
            ours = {m for m, u in iod_rows[iod] if u == 0}
            ours_tpl = {n for m in ours for n in template_of(m)}
            for m in sorted(ours):
                if template_of(m) and not set(template_of(m)) & theirs:
                    report["mandatory here, not in the templates"].add(f"{iod}: {m}")
            for m in sorted(theirs - ours_tpl):
                if not m.endswith("Pseudo") and m != "FileMetaInformation" and "Profile" not in m:
                    report["mandatory in the templates, not here"].add(f"{iod}: {m}")
    for iod in iod_ids:
        if iod not in matched:
            report["IODs without a template definition"].add(iod)
    for iod in iod_ids:
        for name in sorted(pseudo[iod]):
            mod = hyphenate(name)
            if mod not in module_ids:
                module_ids.append(mod)
                _, _, _, module_values[mod] = expander.expand(modules_tpl[name])
                module_rules[mod], module_conditionals[mod], module_tags[mod] = [], [], []
            iod_rows[iod].append((mod, USAGE_VALUES_ONLY))

    sop_rows = []
    for s in sops:
        iod = iod_of_name.get(s["ciod"])
        if iod is None:
            report["SOP classes without an IOD"].add(s["id"])
            continue
        sop_rows.append((s["id"], iod_ids.index(iod)))
    sop_rows.sort(key=lambda r: r[0].encode())
    sops_of_iod = defaultdict(list)
    for uid, i in sop_rows:
        sops_of_iod[iod_ids[i]].append(uid)

    # Conditional rules: one per condition and module. Where the module is optional (U or C) in
    # an IOD, the rule is guarded by the module's presence (any of its top-level attributes that
    # no other module of the IOD has), so a condition on an absent module never holds.
    compiled = {}
    cond_rules = {}
    for mod in module_ids:
        by_condition = defaultdict(list)
        for cond, tag, kind in module_conditionals[mod]:
            by_condition[cond].append((tag, kind))
        for cond, required in by_condition.items():
            if cond not in compiled:
                compiled[cond] = None
                if cond not in conditions:
                    report["conditions not defined"].add(cond)
                else:
                    try:
                        compiled[cond] = compile_condition(conditions[cond], keywords, sop_names)
                    except Unsupported as why:
                        report["conditions left out"].add(f"{cond}: {why}")
            if compiled[cond] is None:
                continue
            for iod in iod_ids:
                for m, u in iod_rows[iod]:
                    if m != mod or not sops_of_iod[iod]:
                        continue
                    guard = ()
                    if u != 0:
                        # Attributes other modules of the IOD share say nothing about this one.
                        others = {t for o, _ in iod_rows[iod] if o != mod for t in module_tags.get(o, [])}
                        guard = tuple(t for t in module_tags[mod] if t not in others)
                        if not guard:
                            continue
                    for kind in (1, 2):
                        tags = tuple(t for t, k in required if k == kind)
                        if tags:
                            cond_rules.setdefault((cond, tags, kind, guard), set()).update(sops_of_iod[iod])

    # Value rules: those whose list is carried and whose condition compiles.
    lists = load_value_lists(ROOT / "tools/iod-value-lists.tsv")
    for mod in module_ids:
        kept = []
        for rule in module_values[mod]:
            lst, cond = rule[4], rule[7]
            if lst and lst not in lists:
                report["value lists not carried (not checked)"].add(lst)
                continue
            if cond and cond not in compiled:
                compiled[cond] = None
                try:
                    compiled[cond] = compile_condition(conditions[cond], keywords, sop_names)
                except (Unsupported, KeyError) as why:
                    report["conditions left out"].add(f"{cond}: {why}")
            if cond and compiled[cond] is None:
                continue
            kept.append(rule)
        module_values[mod] = kept
    # A module an IOD does not require is taken as present when one of its own top-level
    # attributes (one no other module of the IOD has) is.
    guards = {}
    for iod in iod_ids:
        for mod, usage in iod_rows[iod]:
            if usage not in (0, USAGE_VALUES_ONLY):
                others = {t for o, _ in iod_rows[iod] if o != mod for t in module_tags.get(o, [])}
                guards[(iod, mod)] = tuple(t for t in module_tags[mod] if t not in others)

    write(out_path, iod_ids, iod_rows, module_ids, module_rules, sop_rows, compiled, cond_rules,
          module_values, lists, guards)
    for key in sorted(report):
        items = sorted(report[key], key=str)
        print(f"{key}: {len(items)}", file=sys.stderr)
        for item in items[:12]:
            print(f"    {item}", file=sys.stderr)
    print(f"SOP classes {len(sop_rows)}, IODs {len(iod_ids)}, IOD-module rows "
          f"{sum(len(iod_rows[i]) for i in iod_ids)}, modules {len(module_ids)}, attribute rules "
          f"{sum(len(r) for r in module_rules.values())}, generated conditional rules {len(cond_rules)}",
          file=sys.stderr)


def load_value_lists(path: Path):
    lists = {}
    for line in path.read_text().splitlines():
        if line and not line.startswith("#"):
            name, values = line.split("\t")
            lists[name] = values.split("|")
    return lists


def write(out_path, iod_ids, iod_rows, module_ids, module_rules, sop_rows, compiled, cond_rules,
          module_values, lists, guards):
    module_index = {m: i for i, m in enumerate(module_ids)}
    o = []
    o.append("// Generated by tools/gen_iod.py; do not edit.\n")
    o.append("// Module attributes and conditions from the dicom3tools templates, Copyright (c) 1993-2024,")
    o.append("// David A. Clunie DBA PixelMed Publishing. All rights reserved. Redistribution and use in")
    o.append("// source and binary forms, with or without modification, are permitted under the conditions")
    o.append("// of that notice, which is kept in full in tools/iod-templates-COPYRIGHT.")
    o.append('#include "iod/tables.hpp"\n')
    o.append("namespace loamwerk::iod::tables {\n")
    o.append("const SopClassRow kSopClasses[] = {")
    o += [f"    {{{c_string(uid)}, {i}}}," for uid, i in sop_rows]
    o.append("};\n")
    o.append("const IodModuleRow kIodModules[] = {")
    iod_ranges, pos, guard_tags = [], 0, []
    for iod in iod_ids:
        rows = iod_rows[iod]
        iod_ranges.append((pos, len(rows)))
        cells = []
        for m, u in rows:
            guard = guards.get((iod, m), ())
            cells.append(f"{{{module_index[m]}, {u}, {len(guard_tags)}, {len(guard)}}},")
            guard_tags.extend(guard)
        o.append("    " + " ".join(cells))
        pos += len(rows)
    o.append("};\n")
    packed_array(o, "const Tag kGuardTags[]", guard_tags or [0], 8, lambda t: f"0x{t:08X}u")
    o.append("const IodRow kIods[] = {")
    o += [f"    {{{c_string(iod)}, {a}, {n}}}," for iod, (a, n) in zip(iod_ids, iod_ranges)]
    o.append("};\n")
    path_tags, path_index = [], {}

    def path_offset(path):
        if not path:
            return 0
        if path not in path_index:
            path_index[path] = len(path_tags)
            path_tags.extend(path)
        return path_index[path]

    # Modules with the same rules (a template shared by several) share one range.
    rule_lines, module_ranges, pos, ranges = [], [], 0, {}
    for mod in module_ids:
        rules = tuple(module_rules[mod])
        if rules not in ranges:
            ranges[rules] = (pos, len(rules))
            for tag, kind, path in rules:
                rule_lines.append(f"    {{0x{tag:08X}u, {kind}, {path_offset(path)}, {len(path)}}},")
            pos += len(rules)
        module_ranges.append(ranges[rules])
    # Value rules: modules with the same ones share a range too.
    value_rules, value_ranges, value_at = [], [], {}
    for mod in module_ids:
        key = tuple(module_values[mod])
        if key not in value_at:
            value_at[key] = (len(value_rules), len(key))
            value_rules.extend(key)
        value_ranges.append(value_at[key])
    o.append("const ModuleRow kModules[] = {")
    o += [f"    {{{c_string(m)}, {a}, {n}, {va}, {vn}}},"
          for m, (a, n), (va, vn) in zip(module_ids, module_ranges, value_ranges)]
    o.append("};\n")
    o.append("const AttributeRule kAttributeRules[] = {")
    o += rule_lines
    o.append("};\n")
    # Per IOD, every attribute its modules name with its strictest type (1C as 1, 2C as 2), by tag.
    tag_types, tag_ranges = [], []
    for iod in iod_ids:
        strictest = {}
        for m, _ in iod_rows[iod]:
            for tag, kind, _ in module_rules[m]:
                strictest[tag] = min(strictest.get(tag, 9), 1 if kind in (1, 3) else 2)
        tag_ranges.append((len(tag_types), len(strictest)))
        tag_types.extend(sorted(strictest.items()))
    packed_array(o, "const TagType kIodTagTypes[]", tag_types, 6, lambda r: f"{{0x{r[0]:08X}u, {r[1]}}}")
    packed_array(o, "const TagTypeRange kIodTagRanges[]", tag_ranges, 8, lambda r: f"{{{r[0]}, {r[1]}}}")

    instr, required, sop_refs, rows = [], [], [], []
    sop_pos = {uid: i for i, (uid, _) in enumerate(sop_rows)}
    program_at = {}
    for (cond, tags, kind, guard), sop_set in sorted(cond_rules.items(),
                                                     key=lambda kv: (kv[0][0], kv[0][2], kv[0][1], kv[0][3])):
        if (cond, guard) not in program_at:
            program = guarded(compiled[cond], guard)
            program_at[(cond, guard)] = (len(instr), len(program))
            for step, op, tag, test, negate, selector, text, number, cmp in program:
                code = {"test": "kTest", "open": "kOpen", "close": "kClose"}[step]
                instr.append(f"    {{Step::{code}, {op}, 0x{tag:08X}u, {test}, {str(negate).lower()}, {selector}, "
                             f"{c_string(text)}, {number!r}, {cmp}}},")
        a, n = program_at[(cond, guard)]
        r0 = len(required)
        required.extend(tags)
        s0 = len(sop_refs)
        sop_refs.extend(sorted(sop_pos[u] for u in sop_set))
        rows.append(f"    {{{c_string(cond)}, {a}, {n}, {r0}, {len(tags)}, false, {s0}, {len(sop_set)}, "
                    f"{str(kind == 1).lower()}}},")
    list_names = sorted({r[4] for r in value_rules if r[4]})
    list_index = {name: i for i, name in enumerate(list_names)}
    list_rows, list_values = [], []
    for name in list_names:
        list_rows.append(f"    {{{c_string(name)}, {len(list_values)}, {len(lists[name])}}},")
        list_values.extend(lists[name])
    value_lines = []
    for tag, path, check, selector, lst, low, high, cond in value_rules:
        a, n = 0, 0
        if cond:
            if (cond, ()) not in program_at:
                program_at[(cond, ())] = (len(instr), len(compiled[cond]))
                for step, op, t, test, negate, sel, text, number, cmp in compiled[cond]:
                    code = {"test": "kTest", "open": "kOpen", "close": "kClose"}[step]
                    instr.append(f"    {{Step::{code}, {op}, 0x{t:08X}u, {test}, {str(negate).lower()}, {sel}, "
                                 f"{c_string(text)}, {number!r}, {cmp}}},")
            a, n = program_at[(cond, ())]
        value_lines.append(f"    {{0x{tag:08X}u, {path_offset(path)}, {len(path)}, {check}, {selector}, "
                           f"{list_index.get(lst, 0)}, {low}, {high}, {a}, {n}}},")
    o.append("const ValueRule kValueRules[] = {")
    o += value_lines
    o.append("};\n")
    o.append("const ValueList kValueLists[] = {")
    o += list_rows
    o.append("};\n")
    packed_array(o, "const char* const kListValues[]", list_values, 8, c_string)
    packed_array(o, "const Tag kPathTags[]", path_tags or [0], 8, lambda t: f"0x{t:08X}u")
    o.append("const ConditionStep kConditionSteps[] = {")
    o += instr
    o.append("};\n")
    packed_array(o, "const Tag kRequiredTags[]", required, 8, lambda t: f"0x{t:08X}u")
    packed_array(o, "const std::uint16_t kRuleSopClasses[]", sop_refs, 16, str)
    o.append("const ConditionalRule kGeneratedRules[] = {")
    o += rows
    o.append("};\n")
    for name, arr in [("SopClasses", "kSopClasses"), ("Iods", "kIods"), ("IodModules", "kIodModules"),
                      ("Modules", "kModules"), ("AttributeRules", "kAttributeRules"),
                      ("PathTags", "kPathTags"), ("IodTagTypes", "kIodTagTypes"),
                      ("IodTagRanges", "kIodTagRanges"), ("ConditionSteps", "kConditionSteps"),
                      ("RequiredTags", "kRequiredTags"), ("RuleSopClasses", "kRuleSopClasses"),
                      ("GeneratedRules", "kGeneratedRules"), ("ValueRules", "kValueRules"),
                      ("ValueLists", "kValueLists"), ("ListValues", "kListValues"), ("GuardTags", "kGuardTags")]:
        o.append(f"const std::size_t k{name}Count = std::size({arr});")
    o.append("\n}  // namespace loamwerk::iod::tables")
    out_path.parent.mkdir(parents=True, exist_ok=True)
    out_path.write_text("\n".join(o) + "\n")


if __name__ == "__main__":
    main(sys.argv)
