// TID 2000 Basic Diagnostic Imaging Reports: a title, an observer and sections of findings,
// impressions and the like, each a list of text or coded statements that may cite images.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sr/content.hpp"

namespace loamwerk::sr {

struct ReportStatement {
    std::optional<CodedConcept> name;  // the section's own element (Finding, Impression, ...) when absent
    std::string text;                  // a TEXT statement, or
    std::optional<CodedConcept> code;  // a CODE statement
    std::vector<InstanceReference> images;  // the images it was inferred from
};

struct ReportSection {
    CodedConcept heading;
    std::vector<ReportStatement> statements;
};

struct DiagnosticReport {
    CodedConcept title;
    std::string observer;  // a person name, or empty
    std::vector<ReportSection> sections;
};

// The heading of a section name ("findings", "impressions", "history", ...; case and spaces
// ignored), or nothing for a name the template does not list.
std::optional<CodedConcept> report_heading(std::string_view name);
// The lower-case name of a heading (the inverse of report_heading), or empty.
std::string report_heading_name(const CodedConcept& heading);

// The content tree of a report; statements without a concept name get their section's element.
ContentItem report_content(const DiagnosticReport& report);

// The report of a document whose root has sections (any TID 2000 document).
DiagnosticReport diagnostic_report(const SrDocument& doc);

}  // namespace loamwerk::sr
