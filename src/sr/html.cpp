// Structured reports as HTML pages.
#include <algorithm>
#include <cctype>
#include <cstdio>

#include "core/dictionary.hpp"
#include "core/writer.hpp"
#include "sr/html.hpp"

namespace loamwerk::sr {

namespace {

void escape(std::string& out, std::string_view text) {
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
}

std::string escaped(std::string_view text) {
    std::string out;
    escape(out, text);
    return out;
}

// "20240301" as "2024-03-01"; anything else as it stands.
std::string date_text(std::string_view d) {
    if (d.size() != 8) return std::string(d);
    return std::string(d.substr(0, 4)) + "-" + std::string(d.substr(4, 2)) + "-" + std::string(d.substr(6, 2));
}

// "101500.123" as "10:15:00" (whole seconds, as DCMTK shows them), "1015" as "10:15"; anything
// else as it stands.
std::string time_text(std::string_view t) {
    const std::size_t dot = t.find('.');
    const std::string_view main = t.substr(0, dot);
    const bool digits = std::all_of(main.begin(), main.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || (main.size() != 2 && main.size() != 4 && main.size() != 6)) return std::string(t);
    std::string out(main.substr(0, 2));
    for (std::size_t i = 2; i < main.size(); i += 2) out.append(":").append(main.substr(i, 2));
    return out;
}

std::string datetime_text(std::string_view dt) {
    if (dt.size() < 8) return std::string(dt);
    std::string out = date_text(dt.substr(0, 8));
    if (dt.size() > 8) out.append(" ").append(time_text(dt.substr(8)));
    return out;
}

// A person name as read aloud: "prefix given middle family, suffix" of its first group.
std::string person_text(std::string_view pn) {
    pn = pn.substr(0, pn.find('='));
    std::string part[5];
    for (int k = 0; k < 5 && !pn.empty(); ++k) {
        const std::size_t caret = pn.find('^');
        part[k] = std::string(pn.substr(0, caret));
        pn = caret == std::string_view::npos ? std::string_view() : pn.substr(caret + 1);
    }
    std::string out;
    for (const std::string* p : {&part[3], &part[1], &part[2], &part[0]})
        if (!p->empty()) out += (out.empty() ? "" : " ") + *p;
    if (!part[4].empty()) out += ", " + part[4];
    return out;
}

// "POLYLINE" as "Polyline".
std::string word_text(std::string_view upper) {
    std::string out(upper);
    for (std::size_t i = 1; i < out.size(); ++i) out[i] = char(std::tolower(static_cast<unsigned char>(out[i])));
    return out;
}

std::string code_text(const CodedConcept& c) {
    return escaped(c.meaning) + " <span class=\"code\">(" + escaped(c.value) + ", " + escaped(c.scheme) + ")</span>";
}

std::string number_text(double v) { return format_decimal(v); }

std::string value_html(const ContentItem& item) {
    const std::string& t = item.value_type;
    if (t == "TEXT" || t == "UIDREF") return escaped(item.text);
    if (t == "PNAME") return escaped(person_text(item.text));
    if (t == "DATE") return escaped(date_text(item.text));
    if (t == "TIME") return escaped(time_text(item.text));
    if (t == "DATETIME") return escaped(datetime_text(item.text));
    if (t == "CODE") return item.code ? code_text(*item.code) : std::string();
    if (t == "NUM") {
        std::string out;
        if (item.number) {
            out = escaped(!item.number_text.empty() ? item.number_text : number_text(*item.number));
            if (item.unit) out += " " + escaped(item.unit->value) + " <span class=\"code\">(" + escaped(item.unit->meaning) + ")</span>";
        } else {
            out = "<i>empty</i>";
        }
        if (item.qualifier) out += " [" + escaped(item.qualifier->meaning) + "]";
        return out;
    }
    if (item.reference) {
        const InstanceReference& r = *item.reference;
        const auto* known = dict::lookup_uid(r.sop_class_uid);
        std::string out = escaped(known ? known->name : r.sop_class_uid) + " <span class=\"uid\">" + escaped(r.sop_instance_uid) + "</span>";
        const auto list = [&](const char* what, const std::vector<std::int64_t>& values) {
            if (values.empty()) return;
            out += std::string(", ") + what + " ";
            for (std::size_t i = 0; i < values.size(); ++i) out += (i ? ", " : "") + std::to_string(values[i]);
        };
        list("frames", r.frames), list("segments", r.segments), list("channels", r.channels);
        return out;
    }
    if (t == "SCOORD" || t == "SCOORD3D") {
        const std::size_t width = t == "SCOORD3D" ? 3 : 2;
        std::string out = escaped(word_text(item.graphic_type)) + " ";
        for (std::size_t i = 0; i + width <= item.graphic_data.size(); i += width) {
            out += i ? ", (" : "(";
            for (std::size_t k = 0; k < width; ++k) out += (k ? ", " : "") + number_text(item.graphic_data[i + k]);
            out += ")";
        }
        if (!item.frame_of_reference_uid.empty())
            out += " <span class=\"uid\">in " + escaped(item.frame_of_reference_uid) + "</span>";
        return out;
    }
    if (t == "TCOORD") {
        std::string out = escaped(word_text(item.temporal_range_type));
        std::string list;
        for (const auto v : item.sample_positions) list += (list.empty() ? "" : ", ") + std::to_string(v);
        for (const double v : item.time_offsets) list += (list.empty() ? "" : ", ") + number_text(v);
        for (const std::string& v : item.datetimes) list += (list.empty() ? "" : ", ") + escaped(datetime_text(v));
        if (!list.empty()) out += " (" + list + ")";
        return out;
    }
    return {};
}

std::string relationship_text(std::string_view rel) {
    std::string out(rel);
    for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

void render(const ContentItem& item, const std::string& id, int depth, std::string& out) {
    out += "<li id=\"item-" + id + "\">";
    if (!item.relationship.empty()) out += "<span class=\"rel\">" + escaped(relationship_text(item.relationship)) + "</span> ";
    if (item.value_type.empty()) {
        std::string target;
        for (std::size_t k = 0; k < item.referenced_content.size(); ++k)
            target.append(k ? "." : "").append(std::to_string(item.referenced_content[k]));
        out += "<a href=\"#item-" + target + "\">content item " + target + "</a>";
    } else if (item.value_type == "CONTAINER") {
        const std::string level = std::to_string(std::min(depth + 1, 6));
        out += "<section><h" + level + ">" + escaped(item.name ? item.name->meaning : std::string("Container")) + "</h" + level + ">";
    } else {
        if (item.name) out += "<b>" + escaped(item.name->meaning) + "</b>: ";
        out += value_html(item);
    }
    if (!item.observation_datetime.empty())
        out += " <small>(observed: " + escaped(datetime_text(item.observation_datetime)) + ")</small>";
    if (!item.children.empty()) {
        out += "<ul>\n";
        for (std::size_t k = 0; k < item.children.size(); ++k)
            render(item.children[k], id + "." + std::to_string(k + 1), depth + (item.value_type == "CONTAINER"), out);
        out += "</ul>";
    }
    if (item.value_type == "CONTAINER") out += "</section>";
    out += "</li>\n";
}

void header_row(std::string& out, const char* label, const std::string& value) {
    if (value.empty()) return;
    out += "<tr><th>" + std::string(label) + "</th><td>" + value + "</td></tr>\n";
}

}  // namespace

std::string to_html(const SrDocument& d) {
    const std::string title = d.content.name ? d.content.name->meaning : std::string("Structured Report");
    std::string out =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + escaped(title) +
        "</title>\n<style>body{font-family:sans-serif;max-width:60em;margin:1em auto;line-height:1.4}"
        "table.header th{text-align:left;padding-right:1em;vertical-align:top}ul{list-style:none;padding-left:1.2em}"
        ".rel{color:#666;font-size:smaller}.code,.uid{color:#555;font-size:smaller}</style>\n</head>\n<body>\n"
        "<table class=\"header\">\n";
    std::string patient = escaped(person_text(d.patient_name));
    std::string details;
    for (const std::string& part : {d.patient_sex, date_text(d.patient_birth_date), d.patient_id.empty() ? "" : "#" + d.patient_id})
        if (!part.empty()) details += (details.empty() ? "" : ", ") + escaped(part);
    if (!details.empty()) patient += " (" + details + ")";
    header_row(out, "Patient:", patient);
    std::string study = escaped(d.study_description);
    if (!d.study_id.empty()) study += (study.empty() ? "#" : " (#") + escaped(d.study_id) + (d.study_description.empty() ? "" : ")");
    header_row(out, "Study:", study);
    header_row(out, "Accession Number:", escaped(d.accession_number));
    std::string series = escaped(d.series_description);
    if (!d.series_number.empty()) series += (series.empty() ? "#" : " (#") + escaped(d.series_number) + (d.series_description.empty() ? "" : ")");
    header_row(out, "Series:", series);
    header_row(out, "Manufacturer:", escaped(d.manufacturer));
    header_row(out, "Preliminary Flag:", escaped(d.preliminary_flag));
    header_row(out, "Completion Flag:", escaped(d.completion_flag));
    header_row(out, "Verification Flag:", escaped(d.verification_flag));
    for (const VerifyingObserver& o : d.verifying_observers)
        header_row(out, "Verifying Observer:", escaped(person_text(o.name)) + (o.organization.empty() ? "" : ", " + escaped(o.organization)) +
                                                   (o.datetime.empty() ? "" : ", " + escaped(datetime_text(o.datetime))));
    header_row(out, "Content Date/Time:", escaped(date_text(d.content_date) + (d.content_time.empty() ? "" : " " + time_text(d.content_time))));
    out += "</table>\n<hr>\n<main>\n<h1>" + escaped(title) + "</h1>\n";
    if (!d.content.children.empty()) {
        out += "<ul>\n";
        for (std::size_t k = 0; k < d.content.children.size(); ++k) render(d.content.children[k], "1." + std::to_string(k + 1), 1, out);
        out += "</ul>\n";
    }
    out += "</main>\n</body>\n</html>\n";
    return out;
}

}  // namespace loamwerk::sr
