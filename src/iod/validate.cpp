#include "iod/validate.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <cctype>
#include <stdexcept>
#include <string_view>

#include "core/bytes.hpp"
#include "core/dataset.hpp"
#include "core/dictionary.hpp"
#include "core/file_io.hpp"
#include "core/values.hpp"
#include "core/tags.hpp"
#include "iod/elements.hpp"
#include "iod/tables.hpp"

namespace loamwerk::iod {

namespace {

using namespace tables;
using Elements = std::vector<ElementRef>;

constexpr std::string_view kRtDose = "1.2.840.10008.5.1.4.1.1.481.2";
constexpr int kMaxDepth = 64;

bool is_sequence(const ElementRef& e) { return e.vr == vr::SQ; }

bool fully_parsed(const Elements& elements, int depth) {
    if (depth > kMaxDepth) return false;
    for (const ElementRef& e : elements) {
        if (!is_sequence(e)) continue;
        bool complete = true;
        const Items items = sequence_items(&e, &complete);
        if (!complete) return false;
        for (const Elements& item : items)
            if (!fully_parsed(item, depth + 1)) return false;
    }
    return true;
}

bool compare(double a, std::uint8_t how, double b) {
    switch (how) {
    case kEq: return a == b;
    case kNe: return a != b;
    case kLt: return a < b;
    case kLe: return a <= b;
    case kGt: return a > b;
    default: return a >= b;
    }
}

template <class Values, class Match>
bool select(const Values& values, int selector, Match match) {
    if (selector < 0) return std::any_of(values.begin(), values.end(), match);
    return std::size_t(selector) < values.size() && match(values[std::size_t(selector)]);
}

// What conditions see: the data set, and the file meta for tests on the transfer syntax.
struct Scope {
    const Elements& top;
    const Elements& meta;
    const ElementRef* find(Tag tag) const {
        const ElementRef* e = find_element(top, tag);
        return e || tag_group(tag) != 0x0002 ? e : find_element(meta, tag);
    }
};

bool run_test(const ConditionStep& s, const Scope& ds) {
    const ElementRef* e = ds.find(s.tag);
    bool r = false;
    if (e) {
        switch (s.test) {
        case kPresent: r = true; break;
        case kValuePresent: r = is_text_vr(e->vr) ? !value_text(*e).empty() : e->length > 0; break;
        case kStringEquals:
            r = select(text_values(*e), s.selector, [&](std::string_view v) { return v == s.text; });
            break;
        default:
            r = select(numbers(*e), s.selector, [&](double v) { return compare(v, s.compare, s.number); });
        }
    }
    return r != s.negate;
}

bool combine(bool acc, std::uint8_t op, bool term) {
    return op == kFirst ? term : op == kAnd ? (acc && term) : (acc || term);
}

bool holds(std::span<const ConditionStep> steps, const Scope& ds) {
    std::vector<std::pair<bool, std::uint8_t>> saved;  // value before a group, and the group's first op
    bool acc = false;
    for (const ConditionStep& s : steps) {
        if (s.step == Step::kOpen) {
            saved.push_back({acc, s.op});
            acc = false;
        } else if (s.step == Step::kClose) {
            if (saved.empty()) continue;
            const auto [before, first_op] = saved.back();
            saved.pop_back();
            // A group that opens the condition has no left-hand side to combine with.
            acc = first_op == kFirst ? acc : combine(before, s.op, acc);
        } else {
            acc = combine(acc, s.op, run_test(s, ds));
        }
    }
    return acc;
}

std::string format(const char* fmt, std::initializer_list<std::string_view> args) {
    std::string out;
    auto arg = args.begin();
    for (const char* p = fmt; *p; ++p) {
        if (p[0] == '{' && p[1] == '}' && arg != args.end()) {
            out.append(*arg++);
            ++p;
        } else {
            out.push_back(*p);
        }
    }
    return out;
}

class Checker {
public:
    Checker(const Elements& top) : top_(top) {}

    void module_rules(const ModuleRow& module, std::vector<Finding>& out) {
        for (std::uint32_t i = 0; i < module.rule_count; ++i) {
            const AttributeRule& rule = kAttributeRules[module.first_rule + i];
            if (rule.type > 2) continue;  // conditional: checked by the conditional rules
            const std::vector<const Elements*>& items = items_at(rule);
            std::size_t missing = 0, empty = 0;
            for (const Elements* item : items) {
                const ElementRef* e = find_element(*item, rule.tag);
                if (!e) ++missing;
                else if (rule.type == 1 && e->length == 0) ++empty;
            }
            if (!missing && !empty) continue;
            const std::string type = std::to_string(rule.type), tag = tag_text(rule.tag);
            std::string message;
            if (rule.depth == 0) {
                message = missing ? format("missing Type {} attribute {} required by module '{}'", {type, tag, module.name})
                                  : format("Type 1 attribute {} is present but empty (module '{}')", {tag, module.name});
            } else {
                const std::string count = std::to_string(missing ? missing : empty) + "/" + std::to_string(items.size());
                const std::string where = (missing ? "missing in " : "empty in ") + count + " item(s)";
                const Tag seq = kPathTags[rule.path + rule.depth - 1];
                message = format("Type {} attribute {} {} of {} (module '{}')",
                                 {type, tag, where, tag_text(seq), module.name});
            }
            std::string path;  // the sequences, without item indexes: the finding counts over all items
            for (std::uint8_t d = 0; d < rule.depth; ++d) path += path_text({}, kPathTags[rule.path + d]) + ".";
            out.push_back({Severity::kError, rule.tag, module.name, std::move(message), path + path_text({}, rule.tag)});
        }
    }

private:
    // Every item of every occurrence of the rule's sequences, level by level; cached per path.
    const std::vector<const Elements*>& items_at(const AttributeRule& rule) {
        const auto key = std::pair(rule.path, rule.depth);
        if (auto it = cache_.find(key); it != cache_.end()) return it->second;
        std::vector<const Elements*> level{&top_};
        for (std::uint8_t d = 0; d < rule.depth; ++d) {
            std::vector<const Elements*> next;
            for (const Elements* item : level) {
                for (const ElementRef& e : *item) {
                    if (e.tag != kPathTags[rule.path + d] || !is_sequence(e)) continue;
                    const auto& parsed = storage_.emplace_back(sequence_items(&e));
                    for (const Elements& x : parsed) next.push_back(&x);
                }
            }
            level = std::move(next);
        }
        return cache_.emplace(key, std::move(level)).first->second;
    }

    const Elements& top_;
    std::map<std::pair<std::uint32_t, std::uint8_t>, std::vector<const Elements*>> cache_;
    std::deque<std::vector<Elements>> storage_;  // stable addresses for the cached item pointers
};

bool has_path(const Elements& ds, std::initializer_list<Tag> path) {
    std::vector<Elements> level{ds};
    for (Tag t : path) {
        std::vector<Elements> next;
        bool found = false;
        for (const Elements& item : level) {
            const ElementRef* e = find_element(item, t);
            if (!e) continue;
            found = true;
            if (is_sequence(*e))
                for (Elements& x : sequence_items(e)) next.push_back(std::move(x));
        }
        if (!found) return false;
        level = std::move(next);
    }
    return true;
}

void rt_dose_checks(const Elements& ds, std::vector<Finding>& out) {
    const ElementRef* type = find_element(ds, tags::kDoseSummationType);
    if (!type) return;
    const std::string_view t = value_text(*type);
    constexpr Tag kPlan = tags::kReferencedRTPlanSequence, kFraction = tags::kReferencedFractionGroupSequence;
    const char* message = nullptr;
    if (t == "BEAM" && !has_path(ds, {kPlan, kFraction, tags::kReferencedBeamSequence}))
        message = "RT Dose Summation Type BEAM requires a referenced beam (Referenced RT Plan \u2192 Referenced "
                  "Fraction Group \u2192 Referenced Beam Sequence is absent)";
    else if (t == "BRACHY" && !has_path(ds, {kPlan, kFraction, tags::kReferencedBrachyApplicationSetupSequence}))
        message = "RT Dose Summation Type BRACHY requires a referenced brachy application setup (Referenced RT "
                  "Plan \u2192 Referenced Fraction Group \u2192 Referenced Brachy Application Setup Sequence is "
                  "absent)";
    else if (t == "FRACTION" && !has_path(ds, {kPlan, kFraction}))
        message = "RT Dose Summation Type FRACTION requires a referenced fraction group (Referenced RT Plan "
                  "\u2192 Referenced Fraction Group Sequence is absent)";
    if (message)
        out.push_back({Severity::kError, tags::kDoseSummationType, "rt-dose", message,
                       path_text({}, tags::kDoseSummationType)});
}

// The seven general rules, in the tables' own form.
constexpr ConditionStep kGeneralSteps[] = {
    {Step::kTest, kFirst, tags::kPhotometricInterpretation, kStringEquals, false, 0, "PALETTE COLOR", 0, 0},
    {Step::kTest, kFirst, tags::kRescaleIntercept, kPresent, false, 0, "", 0, 0},
    {Step::kTest, kFirst, tags::kPixelIntensityRelationship, kPresent, false, 0, "", 0, 0},
    {Step::kTest, kFirst, tags::kWindowCenter, kPresent, false, 0, "", 0, 0},
    {Step::kTest, kFirst, tags::kWindowWidth, kPresent, false, 0, "", 0, 0},
    {Step::kTest, kFirst, tags::kPixelPaddingRangeLimit, kPresent, false, 0, "", 0, 0},
    {Step::kTest, kFirst, tags::kPatientIdentityRemoved, kStringEquals, false, 0, "YES", 0, 0},
};
constexpr Tag kGeneralRequired[] = {tags::kRedPaletteColorLookupTableDescriptor,
                                    tags::kGreenPaletteColorLookupTableDescriptor,
                                    tags::kBluePaletteColorLookupTableDescriptor,
                                    tags::kRescaleSlope,
                                    tags::kPixelIntensityRelationshipSign,
                                    tags::kWindowWidth,
                                    tags::kWindowCenter,
                                    tags::kPixelPaddingValue,
                                    tags::kDeidentificationMethod,
                                    tags::kDeidentificationMethodCodeSequence};
constexpr ConditionalRule kGeneralRules[] = {
    {"Palette Color image", 0, 1, 0, 3, false, 0, 0, false},
    {"Modality Rescale", 1, 1, 3, 1, false, 0, 0, false},
    {"Pixel Intensity Relationship", 2, 1, 4, 1, false, 0, 0, false},
    {"VOI Window", 3, 1, 5, 1, false, 0, 0, false},
    {"VOI Window", 4, 1, 6, 1, false, 0, 0, false},
    {"Pixel Padding", 5, 1, 7, 1, false, 0, 0, false},
    {"De-identification", 6, 1, 8, 2, true, 0, 0, false},
};

void conditional(const ConditionalRule& rule, const ConditionStep* steps, const Tag* required, const Scope& scope,
                 std::size_t sop_index, std::vector<Finding>& out) {
    const Elements& ds = scope.top;
    if (rule.sop_count) {
        const std::uint16_t* first = kRuleSopClasses + rule.first_sop;
        if (!std::binary_search(first, first + rule.sop_count, std::uint16_t(sop_index))) return;
    }
    if (!holds({steps + rule.first_step, rule.step_count}, scope)) return;
    const std::span<const Tag> tags(required + rule.first_required, rule.required_count);
    if (rule.at_least_one) {
        if (std::any_of(tags.begin(), tags.end(), [&](Tag t) { return find_element(ds, t) != nullptr; })) return;
        std::string list;
        for (Tag t : tags) list += (list.empty() ? "" : " / ") + tag_text(t);
        out.push_back({Severity::kError, tags.front(), "iod-conditional",
                       format("{}: at least one of {} is required", {rule.name, list}), path_text({}, tags.front())});
        return;
    }
    for (Tag t : tags) {
        const ElementRef* e = find_element(ds, t);
        if (e && !(rule.empty_is_missing && e->length == 0)) continue;
        out.push_back({Severity::kError, t, "iod-conditional",
                       format("{}: conditionally-required {} is {}",
                              {rule.name, tag_text(t), rule.empty_is_missing ? "missing or empty" : "missing"}),
                       path_text({}, t)});
    }
}

// Byte comparison over the shorter length, then the shorter string first.
bool uid_less(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    const int c = n ? std::memcmp(a.data(), b.data(), n) : 0;  // an empty view may have no data
    return c != 0 ? c < 0 : a.size() < b.size();
}

}  // namespace

std::string_view severity_text(Severity s) {
    return s == Severity::kError ? "error" : s == Severity::kWarning ? "warning" : "info";
}

namespace {
const SopClassRow* find_sop_class(std::string_view uid) {
    const SopClassRow* first = kSopClasses;
    const SopClassRow* last = kSopClasses + kSopClassesCount;
    const SopClassRow* row = std::lower_bound(first, last, uid, [](const SopClassRow& r, std::string_view u) {
        return uid_less(r.uid, u);
    });
    return row == last || std::string_view(row->uid) != uid ? nullptr : row;
}
}  // namespace

RequiredAttributes::RequiredAttributes(std::string_view sop_class) {
    if (const SopClassRow* row = find_sop_class(trim_padding(sop_class))) {
        const TagTypeRange& range = kIodTagRanges[row->iod];
        first_ = range.first, count_ = range.count;
    }
}

std::uint8_t RequiredAttributes::type_of(Tag tag) const {
    const TagType* first = kIodTagTypes + first_;
    const TagType* last = first + count_;
    const TagType* row = std::lower_bound(first, last, tag, [](const TagType& r, Tag t) { return r.tag < t; });
    return row != last && row->tag == tag ? row->type : 0;
}

namespace {

// What every layer needs of the data set: the file meta's elements and the IOD profile.
struct Subject {
    const Elements& top;
    Elements meta;
    std::string_view sop_class;
    const SopClassRow* row = nullptr;
    bool parsed = false;

    explicit Subject(const Dataset& ds) : top(ds.elements()) {
        const DatasetLayout& layout = ds.layout();
        if (const auto group = layout.meta.group(ds.bytes()); layout.has_meta && !group.empty())
            dataset::parse(group.data(), group.size(), Encoding::ExplicitLE, meta);
        // A DICOMDIR names its SOP Class in the file meta only.
        const ElementRef* sop = find_element(top, tags::kSOPClassUID);
        if (!sop) sop = find_element(meta, tags::kMediaStorageSOPClassUID);
        sop_class = sop ? value_text(*sop) : std::string_view{};
        row = find_sop_class(sop_class);
        parsed = ds.parsed() && fully_parsed(top, 0);
    }
};

void iod_checks(const Subject& subject, std::vector<Finding>& out) {
    const Elements& top = subject.top;
    const SopClassRow* row = subject.row;
    if (!row) {
        out.push_back({Severity::kInfo, 0, "",
                       format("no IOD profile for SOP Class {} \u2014 module conformance not checked",
                              {subject.sop_class}),
                       {}});
        return;
    }
    if (!subject.parsed) {
        out.push_back({Severity::kError, 0, "dataset",
                       "dataset or nested sequence could not be fully parsed \u2014 conformance not checked", {}});
        return;
    }
    const IodRow& iod = kIods[row->iod];
    Checker checker(top);
    for (std::uint16_t i = 0; i < iod.module_count; ++i) {
        const IodModuleRow& m = kIodModules[iod.first_module + i];
        if (m.usage == kMandatory) checker.module_rules(kModules[m.module], out);
    }
    if (subject.sop_class == kRtDose) rt_dose_checks(top, out);
    const std::size_t sop_index = std::size_t(row - kSopClasses);
    const Scope scope{top, subject.meta};
    for (const ConditionalRule& rule : kGeneralRules)
        conditional(rule, kGeneralSteps, kGeneralRequired, scope, sop_index, out);
    for (std::size_t i = 0; i < kGeneratedRulesCount; ++i)
        conditional(kGeneratedRules[i], kConditionSteps, kRequiredTags, scope, sop_index, out);
}

std::string count_range(std::uint16_t low, std::uint16_t high) {
    if (high == kVmAny) return std::to_string(low) + " or more";
    return low == high ? std::to_string(low) : std::to_string(low) + " to " + std::to_string(high);
}

bool numeric_list(const ValueList& list) {
    for (std::uint32_t i = 0; i < list.count; ++i) {
        const std::string_view v = kListValues[list.first + i];
        if (v.empty() || !(std::isdigit((unsigned char)v[0]) || v[0] == '-')) return false;
    }
    return list.count > 0;
}

bool in_numeric_list(const ValueList& list, double x) {
    for (std::uint32_t i = 0; i < list.count; ++i) {
        const std::string_view v = kListValues[list.first + i];
        const std::size_t dots = v.find("..");
        double lo = 0, hi = 0;
        std::from_chars(v.data(), v.data() + (dots == v.npos ? v.size() : dots), lo);
        hi = lo;
        if (dots != v.npos) std::from_chars(v.data() + dots + 2, v.data() + v.size(), hi);
        if (x >= lo && x <= hi) return true;
    }
    return false;
}

std::string list_text(const ValueList& list) {
    std::string out;
    for (std::uint32_t i = 0; i < list.count; ++i) out += (i ? ", " : "") + std::string(kListValues[list.first + i]);
    return out;
}

std::string number_text(double x) {
    char b[32];
    std::snprintf(b, sizeof b, "%.10g", x);
    return b;
}

// The value rules of the modules an object has: each rule's attribute, wherever its sequence
// path finds it, against the rule's list, multiplicity or number of items.
class ValueChecker {
public:
    ValueChecker(const Subject& subject, std::vector<Finding>& out)
        : subject_(subject), scope_{subject.top, subject.meta}, out_(out) {}

    void module(const ModuleRow& module) {
        for (std::uint32_t i = 0; i < module.value_count; ++i) {
            const ValueRule& rule = kValueRules[module.first_value + i];
            if (rule.step_count && !holds({kConditionSteps + rule.first_step, rule.step_count}, scope_)) continue;
            for (const Located& at : items_at(rule))
                if (const ElementRef* e = find_element(*at.item, rule.tag)) check(rule, *e, at.above, module.name);
        }
    }

private:
    struct Located {
        const Elements* item;
        TagPath above;
    };

    void add(Severity s, const ValueRule& rule, const TagPath& above, const std::string& what, const char* module) {
        const std::string path = path_text(above, rule.tag);
        if (!seen_.insert(path + '\n' + what).second) return;  // the same check from another module
        out_.push_back({s, rule.tag, module, what + " (module '" + module + "')", path});
    }

    void check(const ValueRule& rule, const ElementRef& e, const TagPath& above, const char* module) {
        const std::string tag = tag_text(rule.tag);
        auto count = [&](std::size_t n, const char* what) {
            if (n < rule.vm_min || (rule.vm_max != kVmAny && n > rule.vm_max))
                add(Severity::kError, rule, above,
                    tag + " has " + std::to_string(n) + " " + what + ", " + count_range(rule.vm_min, rule.vm_max) +
                        " required",
                    module);
        };
        if (rule.check == kItemCount) {
            if (e.vr == vr::SQ) count(sequence_items(&e).size(), "item(s)");
            return;
        }
        if (e.length == 0 || e.vr == vr::SQ) return;  // an empty value is a matter of the attribute's type
        const bool text = is_text_vr(e.vr) && e.vr != vr::IS && e.vr != vr::DS;
        if (rule.check == kModuleVm) {
            count(is_text_vr(e.vr) ? text_values(e).size() : numbers(e).size(), "value(s)");
            return;
        }
        auto selected = [&](std::size_t i) { return rule.selector < 0 || std::size_t(rule.selector) == i; };
        if (rule.check == kNotZeroError || rule.check == kNotZeroWarning) {
            const std::vector<double> xs = numbers(e);
            for (std::size_t i = 0; i < xs.size(); ++i)
                if (selected(i) && xs[i] == 0)
                    add(rule.check == kNotZeroError ? Severity::kError : Severity::kWarning, rule, above,
                        tag + " value " + std::to_string(i + 1) + " is zero", module);
            return;
        }
        const ValueList& list = kValueLists[rule.list];
        const bool enumerated = rule.check == kEnumerated;
        const Severity severity = enumerated ? Severity::kError : Severity::kWarning;
        const std::string kind = enumerated ? "the enumerated values " : "the defined terms ";
        if (!text && numeric_list(list)) {
            const std::vector<double> xs = numbers(e);
            for (std::size_t i = 0; i < xs.size(); ++i)
                if (selected(i) && !in_numeric_list(list, xs[i]))
                    add(severity, rule, above,
                        tag + " value " + std::to_string(i + 1) + " is " + number_text(xs[i]) + ", not one of " +
                            kind + list_text(list),
                        module);
            return;
        }
        const std::vector<std::string_view> values = text_values(e);
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (!selected(i) || values[i].empty()) continue;
            bool found = false;
            for (std::uint32_t k = 0; k < list.count && !found; ++k) found = values[i] == kListValues[list.first + k];
            if (!found)
                add(severity, rule, above,
                    tag + " value " + std::to_string(i + 1) + " is \"" + std::string(values[i]) + "\", not one of " +
                        kind + list_text(list),
                    module);
        }
    }

    // Every item of every occurrence of the rule's sequences, with where it sits; cached per path.
    const std::vector<Located>& items_at(const ValueRule& rule) {
        const auto key = std::pair(rule.path, rule.depth);
        if (auto it = cache_.find(key); it != cache_.end()) return it->second;
        std::vector<Located> level{{&subject_.top, {}}};
        for (std::uint8_t d = 0; d < rule.depth; ++d) {
            std::vector<Located> next;
            for (const Located& at : level) {
                for (const ElementRef& e : *at.item) {
                    if (e.tag != kPathTags[rule.path + d] || !is_sequence(e)) continue;
                    const auto& parsed = storage_.emplace_back(sequence_items(&e));
                    for (std::size_t i = 0; i < parsed.size(); ++i) {
                        TagPath above = at.above;
                        above.push_back({e.tag, i});
                        next.push_back({&parsed[i], std::move(above)});
                    }
                }
            }
            level = std::move(next);
        }
        return cache_.emplace(key, std::move(level)).first->second;
    }

    const Subject& subject_;
    const Scope scope_;
    std::vector<Finding>& out_;
    std::map<std::pair<std::uint32_t, std::uint8_t>, std::vector<Located>> cache_;
    std::deque<std::vector<Elements>> storage_;
    std::set<std::string> seen_;
};

void value_checks(const Subject& subject, std::vector<Finding>& out) {
    if (!subject.row || !subject.parsed) return;
    const IodRow& iod = kIods[subject.row->iod];
    ValueChecker checker(subject, out);
    for (std::uint16_t i = 0; i < iod.module_count; ++i) {
        const IodModuleRow& m = kIodModules[iod.first_module + i];
        const Tag* guard = kGuardTags + m.first_guard;
        const bool present = m.usage == kMandatory || m.usage == kValuesOnly ||
                             std::any_of(guard, guard + m.guard_count,
                                         [&](Tag t) { return find_element(subject.top, t) != nullptr; });
        if (present) checker.module(kModules[m.module]);
    }
}

OwnedBuffer read_for_checks(const std::string& path) {
    OwnedBuffer file;
    try {
        file = read_whole_file(path);
    } catch (const std::runtime_error&) {
        throw std::runtime_error("cannot read: " + path);
    }
    if (file.size() == 0) throw std::runtime_error("cannot read: " + path);
    return file;
}

}  // namespace

std::vector<Finding> check_dataset(const Dataset& ds) {
    std::vector<Finding> out;
    iod_checks(Subject(ds), out);
    return out;
}

std::vector<Finding> check_dataset_all(const Dataset& ds) {
    std::vector<Finding> out;
    const Subject subject(ds);
    iod_checks(subject, out);
    value_checks(subject, out);
    // Elements are judged only in what reads as a whole DICOM data set: not in a walk that
    // stopped early, nor in a file with neither a file meta nor a SOP Class.
    const bool dicom = ds.layout().has_meta || find_element(subject.top, tags::kSOPClassUID);
    if (!subject.parsed && subject.row == nullptr)
        out.push_back({Severity::kError, 0, "dataset",
                       "dataset or nested sequence could not be fully parsed \u2014 elements not checked", {}});
    if (subject.parsed && dicom) check_elements(ds, subject.meta, out);
    return out;
}

std::vector<Finding> validate_file_all(const std::string& path) {
    const Dataset ds = Dataset::own(read_for_checks(path));
    if (!ds.readable()) throw std::runtime_error("decode failed (not a decodable DICOM): " + path);
    return check_dataset_all(ds);
}

std::vector<Finding> validate_file(const std::string& path) {
    const Dataset ds = Dataset::own(read_for_checks(path));
    if (!ds.readable()) throw std::runtime_error("decode failed (not a decodable DICOM): " + path);
    return check_dataset(ds);
}

}  // namespace loamwerk::iod
