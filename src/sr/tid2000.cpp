#include "sr/tid2000.hpp"

#include <algorithm>
#include <cctype>

namespace loamwerk::sr {

namespace {

struct Heading {
    const char* name;
    CodedConcept heading, element;
};

CodedConcept ln(const char* value, const char* meaning) { return {value, "LN", meaning, {}}; }
CodedConcept dcm(const char* value, const char* meaning) { return {value, "DCM", meaning, {}}; }

// The headings of CID 7001 with the element (CID 7002) their statements take.
const std::vector<Heading>& headings() {
    static const std::vector<Heading> table = {
        {"history", ln("11329-0", "History"), ln("11329-0", "History")},
        {"request", ln("55115-0", "Request"), ln("55115-0", "Request")},
        {"clinical information", ln("55752-0", "Clinical Information"), ln("11329-0", "History")},
        {"indications", ln("18785-6", "Indications for Procedure"), ln("11329-0", "History")},
        {"patient presentation", ln("55108-5", "Patient Presentation"), ln("55108-5", "Patient Presentation")},
        {"procedure", ln("55111-9", "Current Procedure Descriptions"), dcm("121065", "Procedure Description")},
        {"prior procedures", ln("55114-3", "Prior Procedure Descriptions"), dcm("121065", "Procedure Description")},
        {"previous findings", ln("18834-2", "Previous Findings"), dcm("121069", "Previous Finding")},
        {"findings", ln("59776-5", "Findings"), dcm("121071", "Finding")},
        {"impressions", ln("19005-8", "Impressions"), dcm("121073", "Impression")},
        {"recommendations", ln("18783-1", "Recommendations"), dcm("121075", "Recommendation")},
        {"conclusions", ln("55110-1", "Conclusions"), dcm("121077", "Conclusion")},
        {"summary", ln("55112-7", "Summary"), ln("55112-7", "Summary")},
        {"complications", ln("55109-3", "Complications"), {"116224001", "SCT", "Complication of Procedure", {}}},
        {"key images", ln("55113-5", "Key Images"), dcm("121071", "Finding")},
        {"addendum", ln("55107-7", "Addendum"), dcm("121071", "Finding")},
    };
    return table;
}

std::string simple(std::string_view name) {
    std::string out;
    for (const char c : name)
        if (c != '_' && c != '-') out += char(std::tolower(static_cast<unsigned char>(c)));
        else out += ' ';
    return out;
}

const Heading* heading_of(const CodedConcept& c) {
    for (const Heading& h : headings())
        if (h.heading.value == c.value && h.heading.scheme == c.scheme) return &h;
    return nullptr;
}

}  // namespace

std::optional<CodedConcept> report_heading(std::string_view name) {
    const std::string key = simple(name);
    for (const Heading& h : headings())
        if (key == h.name) return h.heading;
    return std::nullopt;
}

std::string report_heading_name(const CodedConcept& heading) {
    const Heading* h = heading_of(heading);
    return h ? h->name : std::string();
}

ContentItem report_content(const DiagnosticReport& r) {
    ContentItem root;
    root.value_type = "CONTAINER", root.name = r.title, root.template_id = "2000", root.mapping_resource = "DCMR";
    root.children.push_back([] {
        ContentItem lang;
        lang.relationship = "HAS CONCEPT MOD", lang.value_type = "CODE";
        lang.name = dcm("121049", "Language of Content Item and Descendants");
        lang.code = CodedConcept{"eng", "RFC5646", "English", {}};
        return lang;
    }());
    if (!r.observer.empty()) {
        ContentItem type, name;
        type.relationship = name.relationship = "HAS OBS CONTEXT";
        type.value_type = "CODE", type.name = dcm("121005", "Observer Type"), type.code = dcm("121006", "Person");
        name.value_type = "PNAME", name.name = dcm("121008", "Person Observer Name"), name.text = r.observer;
        root.children.push_back(std::move(type));
        root.children.push_back(std::move(name));
    }
    for (const ReportSection& s : r.sections) {
        ContentItem section;
        section.relationship = "CONTAINS", section.value_type = "CONTAINER", section.name = s.heading;
        const Heading* h = heading_of(s.heading);
        for (const ReportStatement& st : s.statements) {
            ContentItem item;
            item.relationship = "CONTAINS";
            item.name = st.name ? st.name : h ? std::optional<CodedConcept>(h->element) : dcm("121071", "Finding");
            if (st.code) item.value_type = "CODE", item.code = st.code;
            else item.value_type = "TEXT", item.text = st.text;
            for (const InstanceReference& image : st.images) {
                ContentItem ref;
                ref.relationship = "INFERRED FROM", ref.value_type = "IMAGE", ref.reference = image;
                item.children.push_back(std::move(ref));
            }
            section.children.push_back(std::move(item));
        }
        root.children.push_back(std::move(section));
    }
    return root;
}

DiagnosticReport diagnostic_report(const SrDocument& doc) {
    DiagnosticReport r;
    r.title = doc.content.name.value_or(CodedConcept{});
    for (const ContentItem& c : doc.content.children) {
        if (c.value_type == "PNAME" && c.name && c.name->value == "121008" && c.name->scheme == "DCM") r.observer = c.text;
        if (c.value_type != "CONTAINER" || !c.name) continue;
        ReportSection s{*c.name, {}};
        for (const ContentItem& item : c.children) {
            if (item.value_type != "TEXT" && item.value_type != "CODE") continue;
            ReportStatement st{item.name, item.text, item.code, {}};
            for (const ContentItem& k : item.children)
                if (k.value_type == "IMAGE" && k.reference) st.images.push_back(*k.reference);
            s.statements.push_back(std::move(st));
        }
        r.sections.push_back(std::move(s));
    }
    return r;
}

}  // namespace loamwerk::sr
