#include "paramap/read.hpp"

#include <stdexcept>

#include "core/dataset.hpp"
#include "core/tags.hpp"
#include "core/values.hpp"
#include "core/writer.hpp"

namespace loamwerk::paramap {

namespace {

std::optional<Code> code_in(const Elements& es, Tag sequence) {
    const Items items = items_of(es, sequence);
    if (items.empty()) return std::nullopt;
    const Elements& c = items[0];
    return Code{std::string(text_of(c, tags::kCodeValue)), std::string(text_of(c, tags::kCodingSchemeDesignator)),
                std::string(text_of(c, tags::kCodeMeaning))};
}

// The functional group `group` of the shared item, else of the first frame's.
Items group_items(const Elements& top, Tag group) {
    for (Tag holder : {tags::kSharedFunctionalGroupsSequence, tags::kPerFrameFunctionalGroupsSequence}) {
        const Items outer = items_of(top, holder);
        if (outer.empty()) continue;
        Items inner = items_of(outer[0], group);
        if (!inner.empty()) return inner;
    }
    return {};
}

}  // namespace

Meta read_meta(std::span<const std::uint8_t> part10) {
    const Dataset ds = Dataset::borrow(part10);
    if (!ds.readable() || ds.text(tags::kSOPClassUID) != kParametricMapStorage)
        throw std::runtime_error("not a Parametric Map");
    const Elements& top = ds.elements();
    Meta m;
    m.series_description = std::string(ds.text(tags::kSeriesDescription));
    m.series_number = std::string(ds.text(tags::kSeriesNumber));
    m.instance_number = std::string(ds.text(tags::kInstanceNumber));
    m.body_part_examined = std::string(ds.text(tags::kBodyPartExamined));
    m.content_label = std::string(ds.text(tags::kContentLabel));
    m.content_description = std::string(ds.text(tags::kContentDescription));
    m.content_creator = std::string(ds.text(tags::kContentCreatorName));
    if (const ElementRef* e = ds.find(tags::kImageType)) {
        const std::vector<std::string_view> parts = text_values(*e);
        m.derived_pixel_contrast = parts.size() >= 4 ? std::string(parts[3]) : "";
    }
    if (const Items anatomy = group_items(top, tags::kFrameAnatomySequence); !anatomy.empty()) {
        m.anatomic_region = code_in(anatomy[0], tags::kAnatomicRegionSequence);
        m.frame_laterality = std::string(text_of(anatomy[0], tags::kFrameLaterality));
    }
    if (const Items derivation = group_items(top, tags::kDerivationImageSequence); !derivation.empty()) {
        m.derivation = code_in(derivation[0], tags::kDerivationCodeSequence);
        m.derivation_description = std::string(text_of(derivation[0], tags::kDerivationDescription));
    }
    if (const Items rwvm = group_items(top, tags::kRealWorldValueMappingSequence); !rwvm.empty()) {
        const Elements& r = rwvm[0];
        m.units = code_in(r, tags::kMeasurementUnitsCodeSequence);
        m.slope = float_of(r, tags::kRealWorldValueSlope).value_or(1);
        m.intercept = float_of(r, tags::kRealWorldValueIntercept).value_or(0);
        for (const Elements& q : items_of(r, tags::kQuantityDefinitionSequence)) {
            const std::optional<Code> name = code_in(q, tags::kConceptNameCodeSequence);
            if (!name) continue;
            const auto is = [&](const char* value, const char* scheme) { return name->value == value && name->scheme == scheme; };
            if (is("246205007", "SCT") || is("G-C1C6", "SRT")) m.quantity = code_in(q, tags::kConceptCodeSequence);
            else if (is("370129005", "SCT") || is("G-C306", "SRT")) m.measurement_method = code_in(q, tags::kConceptCodeSequence);
            else if (is("113241", "DCM")) m.model_fitting_method = code_in(q, tags::kConceptCodeSequence);
            else if (is("113240", "DCM")) m.b_values.push_back(std::string(text_of(q, tags::kNumericValue)));
        }
    }
    return m;
}

}  // namespace loamwerk::paramap
