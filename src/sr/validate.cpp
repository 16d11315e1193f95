// Checks of structured reports: reported as findings, never raised.
#include <algorithm>

#include "core/writer.hpp"
#include "sr/codes.hpp"
#include "sr/validate.hpp"

namespace loamwerk::sr {

namespace {


bool is(const std::optional<CodedConcept>& c, std::string_view value, std::string_view scheme) {
    return c && c->value == value && c->scheme == scheme;
}

std::string code_text(const CodedConcept& c) { return "(" + c.value + ", " + c.scheme + ", \"" + c.meaning + "\")"; }

// A UID a reader can use: PS3.5's syntax (digit components without leading zeros, at most 64
// characters) and not only zeros.
bool usable_uid(std::string_view uid) {
    if (!is_valid_uid(uid) || uid.find_first_not_of("0.") == std::string_view::npos) return false;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = uid.find('.', start);
        const std::string_view part = uid.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (part.empty() || (part.size() > 1 && part.front() == '0')) return false;
        if (dot == std::string_view::npos) return true;
        start = dot + 1;
    }
}

class Checker {
public:
    explicit Checker(const SrDocument& doc) : doc_(doc) {}

    std::vector<Finding> run() {
        header();
        item(doc_.content, "1", nullptr);
        if (is(doc_.content.name, "126000", "DCM")) tid1500();
        if (doc_.content.template_id == "2000" || (doc_.content.name && in_group(7000, *doc_.content.name))) tid2000();
        return std::move(found_);
    }

private:
    void error(const std::string& at, const std::string& what) { found_.push_back({"error", at, what}); }
    void warning(const std::string& at, const std::string& what) { found_.push_back({"warning", at, what}); }

    bool in_group(std::uint32_t cid, const CodedConcept& c) const { return group_has(cid, {c.value, c.scheme}).value_or(true); }

    bool listed(const std::string& uid) const {
        for (const auto* list : {&doc_.evidence, &doc_.other_evidence})
            for (const EvidenceInstance& e : *list)
                if (e.sop_instance_uid == uid) return true;
        return false;
    }

    void header() {
        if (doc_.verification_flag == "VERIFIED" && doc_.verifying_observers.empty())
            error("", "Verification Flag is VERIFIED but no verifying observer is recorded");
        if (!doc_.completion_flag.empty() && doc_.completion_flag != "COMPLETE" && doc_.completion_flag != "PARTIAL")
            error("", "Completion Flag must be COMPLETE or PARTIAL, not " + doc_.completion_flag);
        for (const auto* list : {&doc_.evidence, &doc_.other_evidence})
            for (const EvidenceInstance& e : *list)
                for (const std::string* uid : {&e.study_instance_uid, &e.series_instance_uid, &e.sop_class_uid, &e.sop_instance_uid})
                    if (!usable_uid(*uid)) error("", "evidence lists an invalid UID '" + *uid + "'");
    }

    void code(const CodedConcept& c, const std::string& at, const char* what) {
        if (c.value.empty() || c.scheme.empty()) {
            error(at, std::string(what) + " has no code value or no coding scheme designator");
            return;
        }
        if (c.scheme == "SRT") {
            const Code now = current_code({c.value, c.scheme});
            warning(at, std::string(what) + " " + code_text(c) + " uses the retired SNOMED-RT scheme" +
                            (now.scheme == "SCT" ? "; SCT " + std::string(now.value) + " replaces it" : ""));
        }
    }

    void reference(const InstanceReference& r, const std::string& at) {
        for (const auto& [uid, what] : {std::pair{&r.sop_class_uid, "Referenced SOP Class UID"}, {&r.sop_instance_uid, "Referenced SOP Instance UID"}})
            if (!usable_uid(*uid)) error(at, std::string(what) + " '" + *uid + "' is not a valid UID");
        if (!r.sop_instance_uid.empty() && !listed(r.sop_instance_uid))
            error(at, "the referenced instance " + r.sop_instance_uid + " is not listed in the Current Requested Procedure or Pertinent Other Evidence");
        if (!r.presentation_instance_uid.empty() && !listed(r.presentation_instance_uid))
            error(at, "the referenced presentation state " + r.presentation_instance_uid + " is not listed in the evidence");
    }

    void item(const ContentItem& i, const std::string& at, const ContentItem* parent) {
        const std::string& t = i.value_type;
        const bool comprehensive = doc_.sop_class_uid == kComprehensiveSr || doc_.sop_class_uid == kComprehensive3dSr;
        if (!parent) {
            if (t != "CONTAINER") error(at, "the root must be a CONTAINER, not " + t);
            if (!i.name) error(at, "the root has no concept name (the document title)");
        } else if (!is_relationship(i.relationship)) {
            error(at, "relationship type '" + i.relationship + "' is not one of the standard's");
        }
        if (t.empty()) {
            if (!comprehensive) error(at, "references by content item identifier need Comprehensive SR");
            if (!item_at(doc_.content, i.referenced_content)) error(at, "the referenced content item does not exist");
            return;
        }
        if (!is_value_type(t)) {
            error(at, "value type '" + t + "' is not one of the standard's");
            return;
        }
        if (doc_.sop_class_uid == kBasicTextSr && (t == "NUM" || t == "SCOORD" || t == "SCOORD3D" || t == "TCOORD"))
            error(at, "Basic Text SR holds no " + t);
        if (t == "SCOORD3D" && doc_.sop_class_uid != kComprehensive3dSr) error(at, "SCOORD3D needs Comprehensive 3D SR");
            if (needs_concept_name(t) && !i.name) error(at, t + " needs a concept name");
        if (i.name) code(*i.name, at, "the concept name");
        if (t == "CODE") {
            if (!i.code) error(at, "CODE has no concept code");
            else code(*i.code, at, "the code");
        }
        if (t == "NUM") {
            if (i.number && !i.unit) error(at, "the measured value has no unit");
            if (i.unit) {
                code(*i.unit, at, "the unit");
                if (i.unit->scheme != "UCUM") warning(at, "the unit " + code_text(*i.unit) + " is not a UCUM unit");
            }
            if (!i.number && !i.qualifier) warning(at, "NUM without a value does not say why (Numeric Value Qualifier)");
        }
        if (t == "UIDREF" && !usable_uid(i.text)) error(at, "UIDREF '" + i.text + "' is not a valid UID");
        if (t == "COMPOSITE" || t == "IMAGE" || t == "WAVEFORM") {
            if (!i.reference) error(at, t + " has no referenced instance");
            else reference(*i.reference, at);
        }
        if (t == "SCOORD") {
            if (i.graphic_data.empty() || i.graphic_data.size() % 2) error(at, "SCOORD graphic data must be (column, row) pairs");
            // The image the coordinates are on, as a SELECTED FROM child (or one referred to).
            const bool on_image = std::any_of(i.children.begin(), i.children.end(), [&](const ContentItem& c) {
                if (c.relationship != "SELECTED FROM") return false;
                const ContentItem* target = c.value_type.empty() ? item_at(doc_.content, c.referenced_content) : &c;
                return target && target->value_type == "IMAGE";
            });
            if (!on_image) error(at, "SCOORD has no SELECTED FROM IMAGE child");
        }
        if (t == "SCOORD3D") {
            if (i.graphic_data.empty() || i.graphic_data.size() % 3) error(at, "SCOORD3D graphic data must be (x, y, z) triples");
            if (!usable_uid(i.frame_of_reference_uid)) error(at, "SCOORD3D needs a valid Referenced Frame of Reference UID");
        }
        if (t == "TCOORD") {
            const int given = !i.sample_positions.empty() + !i.time_offsets.empty() + !i.datetimes.empty();
            if (given != 1) error(at, "TCOORD needs exactly one of sample positions, time offsets and date-times");
        }
        for (std::size_t k = 0; k < i.children.size(); ++k) item(i.children[k], at + "." + std::to_string(k + 1), &i);
    }

    const ContentItem* child(const ContentItem& i, std::string_view value, std::string_view scheme, std::string* at = nullptr) const {
        for (std::size_t k = 0; k < i.children.size(); ++k)
            if (is(i.children[k].name, value, scheme)) {
                if (at) at->append(".").append(std::to_string(k + 1));
                return &i.children[k];
            }
        return nullptr;
    }

    void value_set(const ContentItem* c, const std::string& at, std::uint32_t cid, const char* what) {
        if (!c || !c->code || c->code->scheme == "SRT") return;
        if (!in_group(cid, *c->code))
            warning(at, std::string(what) + " " + code_text(*c->code) + " is not in CID " + std::to_string(cid));
    }

    void tid1500() {
        const ContentItem& root = doc_.content;
        if (!child(root, "121049", "DCM")) error("1", "TID 1500 requires Language of Content Item and Descendants (121049, DCM)");
        if (!child(root, "121058", "DCM")) error("1", "TID 1500 requires Procedure reported (121058, DCM)");
        std::string at = "1";
        value_set(child(root, "121005", "DCM", &at), at, 270, "Observer Type");
        std::string mat = "1";
        const ContentItem* measurements = child(root, "126010", "DCM", &mat);
        if (!measurements && !child(root, "C0034375", "UMLS")) {
            error("1", "TID 1500 requires Imaging Measurements (126010, DCM) or Qualitative Evaluations");
            return;
        }
        if (!measurements) return;
        for (std::size_t g = 0; g < measurements->children.size(); ++g) {
            const ContentItem& group = measurements->children[g];
            const std::string gat = mat + "." + std::to_string(g + 1);
            if (!is(group.name, "125007", "DCM")) {
                warning(gat, "Imaging Measurements holds an item that is not a Measurement Group (125007, DCM)");
                continue;
            }
            if (!child(group, "112039", "DCM")) error(gat, "a measurement group needs a Tracking Identifier (112039, DCM)");
            if (!child(group, "112040", "DCM")) error(gat, "a measurement group needs a Tracking Unique Identifier (112040, DCM)");
            for (std::size_t k = 0; k < group.children.size(); ++k) {
                const ContentItem& c = group.children[k];
                const std::string cat = gat + "." + std::to_string(k + 1);
                if (c.value_type == "NUM" && c.relationship != "CONTAINS")
                    error(cat, "a measurement must be CONTAINS in its group, not " + c.relationship);
                if (c.value_type == "NUM") {
                    std::string dat = cat;
                    value_set(child(c, "121401", "DCM", &dat), dat, 7464, "Derivation");
                }
                if (is(c.name, "363698007", "SCT")) {
                    std::string lat = cat;
                    value_set(child(c, "272741003", "SCT", &lat), lat, 244, "Laterality");
                }
            }
        }
    }

    void tid2000() {
        const ContentItem& root = doc_.content;
        if (root.name && !in_group(7000, *root.name))
            warning("1", "the document title " + code_text(*root.name) + " is not in CID 7000");
        for (std::size_t s = 0; s < root.children.size(); ++s) {
            const ContentItem& section = root.children[s];
            if (section.value_type != "CONTAINER" || !section.name) continue;
            const std::string sat = "1." + std::to_string(s + 1);
            if (!in_group(7001, *section.name)) warning(sat, "the section heading " + code_text(*section.name) + " is not in CID 7001");
            for (std::size_t k = 0; k < section.children.size(); ++k) {
                const ContentItem& st = section.children[k];
                if ((st.value_type == "TEXT" || st.value_type == "CODE") && st.name && !in_group(7002, *st.name))
                    warning(sat + "." + std::to_string(k + 1), "the statement's concept " + code_text(*st.name) + " is not in CID 7002");
            }
        }
    }

    const SrDocument& doc_;
    std::vector<Finding> found_;
};

}  // namespace

std::vector<Finding> validate(const SrDocument& doc) { return Checker(doc).run(); }

}  // namespace loamwerk::sr
