#include "iod/validate.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <stdexcept>
#include <string_view>

#include "core/bytes.hpp"
#include "core/dataset.hpp"
#include "core/dictionary.hpp"
#include "core/file_io.hpp"
#include "core/values.hpp"
#include "core/tags.hpp"
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
            out.push_back({Severity::kError, rule.tag, module.name, std::move(message)});
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
    if (message) out.push_back({Severity::kError, tags::kDoseSummationType, "rt-dose", message});
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
                       format("{}: at least one of {} is required", {rule.name, list})});
        return;
    }
    for (Tag t : tags) {
        const ElementRef* e = find_element(ds, t);
        if (e && !(rule.empty_is_missing && e->length == 0)) continue;
        out.push_back({Severity::kError, t, "iod-conditional",
                       format("{}: conditionally-required {} is {}",
                              {rule.name, tag_text(t), rule.empty_is_missing ? "missing or empty" : "missing"})});
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

std::string tag_text(Tag tag) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "(%04X,%04X)", unsigned(tag_group(tag)), unsigned(tag_element(tag)));
    const dict::TagInfo info = dict::lookup_tag(tag);
    const std::string_view word = !info.keyword.empty() ? info.keyword : info.name;
    return word.empty() ? std::string(hex) : std::string(word) + " " + hex;
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

std::vector<Finding> check_dataset(const Dataset& ds) {
    std::vector<Finding> out;
    const Elements& top = ds.elements();
    Elements meta_elements;
    const DatasetLayout& layout = ds.layout();
    if (layout.has_meta && layout.meta.dataset_offset > 132 && layout.meta.dataset_offset <= ds.bytes().size())
        dataset::parse(ds.bytes().data() + 132, layout.meta.dataset_offset - 132, Encoding::ExplicitLE, meta_elements);
    const bool walked = ds.parsed();
    // A DICOMDIR names its SOP Class in the file meta only.
    const ElementRef* sop = find_element(top, tags::kSOPClassUID);
    if (!sop) sop = find_element(meta_elements, tags::kMediaStorageSOPClassUID);
    const std::string_view uid = sop ? value_text(*sop) : std::string_view{};
    const SopClassRow* row = find_sop_class(uid);
    if (!row) {
        out.push_back({Severity::kInfo, 0, "",
                       format("no IOD profile for SOP Class {} \u2014 module conformance not checked", {uid})});
        return out;
    }
    if (!walked || !fully_parsed(top, 0)) {
        out.push_back({Severity::kError, 0, "dataset",
                       "dataset or nested sequence could not be fully parsed \u2014 conformance not checked"});
        return out;
    }
    const IodRow& iod = kIods[row->iod];
    Checker checker(top);
    for (std::uint16_t i = 0; i < iod.module_count; ++i) {
        const IodModuleRow& m = kIodModules[iod.first_module + i];
        if (m.usage == kMandatory) checker.module_rules(kModules[m.module], out);
    }
    if (uid == kRtDose) rt_dose_checks(top, out);
    const std::size_t sop_index = std::size_t(row - kSopClasses);
    const Scope scope{top, meta_elements};
    for (const ConditionalRule& rule : kGeneralRules)
        conditional(rule, kGeneralSteps, kGeneralRequired, scope, sop_index, out);
    for (std::size_t i = 0; i < kGeneratedRulesCount; ++i)
        conditional(kGeneratedRules[i], kConditionSteps, kRequiredTags, scope, sop_index, out);
    return out;
}

std::vector<Finding> validate_file(const std::string& path) {
    OwnedBuffer file;
    try {
        file = read_whole_file(path);
    } catch (const std::runtime_error&) {
        throw std::runtime_error("cannot read: " + path);
    }
    if (file.size() == 0) throw std::runtime_error("cannot read: " + path);
    const Dataset ds = Dataset::own(std::move(file));
    if (!ds.readable()) throw std::runtime_error("decode failed (not a decodable DICOM): " + path);
    return check_dataset(ds);
}

}  // namespace loamwerk::iod
