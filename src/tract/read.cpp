#include "tract/read.hpp"

#include <cstring>
#include <stdexcept>

#include "core/dataset.hpp"
#include "core/tags.hpp"
#include "core/utf8.hpp"
#include "core/values.hpp"
#include "seg/read.hpp"

namespace loamwerk::tract {

using seg::code_of;

namespace {

constexpr std::string_view kTractographyResults = "1.2.840.10008.5.1.4.1.1.66.6";

}  // namespace

Tractography read_tractography(std::span<const std::uint8_t> file, const std::string& where) {
    const Dataset ds = open_object(file, where, kTractographyResults, "Tractography Results");
    const Elements& top = ds.elements();
    Tractography t;
    static_cast<ContentHeader&>(t) = read_content_header(top);
    for (const Elements& item : items_of(top, tags::kTrackSetSequence)) {
        TrackSet set;
        set.label = utf8_text(item, tags::kTrackSetLabel);
        set.description = utf8_text(item, tags::kTrackSetDescription);
        set.anatomy = code_of(item, tags::kTrackSetAnatomicalTypeCodeSequence);
        set.acquisition = code_of(item, tags::kDiffusionAcquisitionCodeSequence);
        set.model = code_of(item, tags::kDiffusionModelCodeSequence);
        set.rgb = recommended_rgb(item);
        for (const Elements& track : items_of(item, tags::kTrackSequence)) {
            const std::vector<float> xyz = typed_values<float>(find_element(track, tags::kPointCoordinatesData));
            if (xyz.size() % 3)
                throw std::runtime_error(where + ": track set '" + set.label + "' has point data that are not triplets");
            Track points(xyz.size() / 3);
            if (!points.empty()) std::memcpy(points.data(), xyz.data(), xyz.size() * 4);
            set.tracks.push_back(std::move(points));
        }
        for (const Elements& m : items_of(item, tags::kMeasurementsSequence)) {
            TrackMeasurement measurement;
            measurement.quantity = code_of(m, tags::kConceptNameCodeSequence);
            measurement.unit = code_of(m, tags::kMeasurementUnitsCodeSequence);
            for (const Elements& v : items_of(m, tags::kMeasurementValuesSequence))
                measurement.values.push_back(typed_values<float>(find_element(v, tags::kFloatingPointValues)));
            set.measurements.push_back(std::move(measurement));
        }
        const Items algorithms = items_of(item, tags::kTrackingAlgorithmIdentificationSequence);
        if (!algorithms.empty()) {
            set.algorithm_family = code_of(algorithms[0], tags::kAlgorithmFamilyCodeSequence);
            set.algorithm_name = utf8_text(algorithms[0], tags::kAlgorithmName);
            set.algorithm_version = utf8_text(algorithms[0], tags::kAlgorithmVersion);
            set.algorithm_parameters = utf8_text(algorithms[0], tags::kAlgorithmParameters);
        }
        t.sets.push_back(std::move(set));
    }
    return t;
}

}  // namespace loamwerk::tract
