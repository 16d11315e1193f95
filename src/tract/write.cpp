#include "tract/write.hpp"

#include <cmath>
#include <stdexcept>

#include "core/item_writer.hpp"
#include "core/tags.hpp"
#include "core/wyhash.hpp"

namespace loamwerk::tract {

namespace {

constexpr std::string_view kTractographyResults = "1.2.840.10008.5.1.4.1.1.66.6";

void check(const Tractography& t) {
    if (t.sets.empty()) throw std::invalid_argument("write_mktract: no track sets");
    for (std::size_t s = 0; s < t.sets.size(); ++s) {
        const TrackSet& set = t.sets[s];
        const std::string where = "write_mktract: track set " + std::to_string(s + 1);
        if (set.label.empty()) throw std::invalid_argument(where + " needs a label");
        if (set.tracks.empty()) throw std::invalid_argument(where + " has no tracks");
        for (const Track& track : set.tracks) {
            if (track.empty()) throw std::invalid_argument(where + " has a track without points");
            if (track.size() > 0x3FFFFFFFu / 3) throw std::invalid_argument(where + " has a track too long to hold");
            for (const Point& p : track)
                for (float c : p)
                    if (!std::isfinite(c)) throw std::invalid_argument(where + " has a point that is not finite");
        }
        for (const TrackMeasurement& m : set.measurements) {
            if (!m.quantity.present() || !m.unit.present())
                throw std::invalid_argument(where + ": a measurement needs its concept and unit codes");
            if (m.values.size() != set.tracks.size())
                throw std::invalid_argument(where + ": a measurement needs values for every track");
            for (std::size_t k = 0; k < m.values.size(); ++k)
                if (m.values[k].size() != set.tracks[k].size())
                    throw std::invalid_argument(where + ": measurement '" + m.quantity.meaning +
                                                "' needs one value a point of track " + std::to_string(k + 1));
        }
    }
}

}  // namespace

std::vector<std::uint8_t> write_tractography(const Tractography& t, const std::vector<ImageHeader>& references,
                                             const Identity& identity, std::string sop_uid, std::string series_uid) {
    if (references.empty()) throw std::invalid_argument("write_mktract: no reference images");
    check(t);
    const ImageHeader& first = references[0];
    if (first.frame_of_reference_uid.empty())
        throw std::invalid_argument("write_mktract: the reference images have no Frame of Reference UID");
    // UIDs from the content: the same tracks on the same series give the same object.
    std::uint64_t digest = wyhash(first.sop_instance_uid.data(), first.sop_instance_uid.size());
    for (const TrackSet& set : t.sets) {
        digest = wyhash(set.label.data(), set.label.size(), digest);
        for (const Track& track : set.tracks) digest = wyhash(track.data(), track.size() * sizeof(Point), digest);
    }
    const std::string seed = content_uids(digest, "tract", sop_uid, series_uid);
    const Identity who = with_equipment(identity);

    SortedDataset d = authored_dataset(kTractographyResults, sop_uid, first, who, "MR", series_uid);
    d.text(tags::kLaterality, "CS", first.laterality);  // Type 2C: as the reference states it, or empty
    frame_of_reference(d, first.frame_of_reference_uid);
    content_identification(d, t.content_label, t.content_description, t.content_creator);
    std::vector<InstanceReference> refs;
    for (const ImageHeader& h : references) refs.push_back({h.series_uid, h.sop_class_uid, h.sop_instance_uid});
    d.put(tags::kReferencedSeriesSequence, [&](ItemWriter& w) { referenced_series(w, refs); });
    d.put(tags::kReferencedInstanceSequence,
          [&](ItemWriter& w) { instance_references(w, tags::kReferencedInstanceSequence, refs); });
    d.put(tags::kTrackSetSequence, [&](ItemWriter& w) {
        w.begin_sequence(tags::kTrackSetSequence);
        for (std::size_t s = 0; s < t.sets.size(); ++s) {
            const TrackSet& set = t.sets[s];
            w.begin_item();  // elements in tag order
            const std::array<std::uint8_t, 3> rgb = set.rgb.value_or(std::array<std::uint8_t, 3>{255, 255, 0});
            std::uint16_t lab[3];
            rgb_to_cielab16(rgb.data(), lab);
            w.us(tags::kRecommendedDisplayCIELabValue, std::span<const std::uint16_t>(lab, 3));
            w.begin_sequence(tags::kTrackSequence);
            for (const Track& track : set.tracks) {
                w.begin_item();
                w.numbers(tags::kPointCoordinatesData, "OF", std::span<const float>(track.front().data(), track.size() * 3));
                w.end_item();
            }
            w.end_sequence();
            algorithm_sequence(w, tags::kTrackingAlgorithmIdentificationSequence, set.algorithm_family,
                               set.algorithm_name, set.algorithm_version, set.algorithm_parameters);
            w.ul(tags::kTrackSetNumber, std::uint32_t(s + 1));
            w.text(tags::kTrackSetLabel, "LO", set.label);
            if (!set.description.empty()) w.text(tags::kTrackSetDescription, "UT", set.description);
            code_sequence(w, tags::kTrackSetAnatomicalTypeCodeSequence, set.anatomy);
            if (!set.measurements.empty()) {
                w.begin_sequence(tags::kMeasurementsSequence);
                for (const TrackMeasurement& m : set.measurements) {
                    w.begin_item();
                    code_sequence(w, tags::kMeasurementUnitsCodeSequence, m.unit);
                    code_sequence(w, tags::kConceptNameCodeSequence, m.quantity);
                    w.begin_sequence(tags::kMeasurementValuesSequence);
                    for (const std::vector<float>& values : m.values) {
                        w.begin_item();
                        w.numbers(tags::kFloatingPointValues, "OF", std::span<const float>(values));
                        w.end_item();
                    }
                    w.end_sequence();
                    w.end_item();
                }
                w.end_sequence();
            }
            code_sequence(w, tags::kDiffusionAcquisitionCodeSequence, set.acquisition);
            code_sequence(w, tags::kDiffusionModelCodeSequence, set.model);
            w.end_item();
        }
        w.end_sequence();
    });
    return part10_file(kTractographyResults, sop_uid, d, "write_mktract: the tracks are too many to write in one object");
}

}  // namespace loamwerk::tract
