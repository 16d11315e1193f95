#include "reg/write.hpp"

#include <cmath>
#include <map>
#include <stdexcept>

#include "core/item_writer.hpp"
#include "core/tags.hpp"
#include "core/wyhash.hpp"

namespace loamwerk::reg {

namespace {

constexpr std::string_view kSpatialRegistration = "1.2.840.10008.5.1.4.1.1.66.1";
constexpr std::string_view kDeformableRegistration = "1.2.840.10008.5.1.4.1.1.66.3";

void check_step(const Step& s, const std::string& where) {
    if (s.type != "RIGID" && s.type != "RIGID_SCALE" && s.type != "AFFINE")
        throw std::invalid_argument(where + ": matrix type '" + s.type + "' is not RIGID, RIGID_SCALE or AFFINE");
    for (double v : s.matrix)
        if (!std::isfinite(v)) throw std::invalid_argument(where + ": a matrix value is not finite");
    if (s.matrix[12] != 0 || s.matrix[13] != 0 || s.matrix[14] != 0 || s.matrix[15] != 1)
        throw std::invalid_argument(where + ": a matrix's last row must be 0 0 0 1");
    invert(s.matrix);  // throws for a singular one
    const std::string found = matrix_type(s.matrix);
    if ((s.type == "RIGID" && found != "RIGID") || (s.type == "RIGID_SCALE" && found == "AFFINE"))
        throw std::invalid_argument(where + ": the matrix is not " +
                                    (s.type == "RIGID" ? "a rotation" : "a rotation with scaling") + " as its type " +
                                    s.type + " says; it is " + found);
}

void check(const Registration& r, const SourceImages& sources) {
    if (r.items.empty()) throw std::invalid_argument("write_registration: no registrations");
    if (sources.size() != r.items.size()) throw std::invalid_argument("write_registration: one image list an item");
    for (std::size_t i = 0; i < r.items.size(); ++i) {
        const Item& item = r.items[i];
        const std::string where = "write_registration: registration " + std::to_string(i + 1);
        if (item.source_frame.empty()) throw std::invalid_argument(where + " needs its source frame of reference");
        if (r.deformable) {
            if (!item.matrices.empty()) throw std::invalid_argument(where + ": a deformable registration takes pre and post matrices");
            if (item.pre) check_step(*item.pre, where + " pre");
            if (item.post) check_step(*item.post, where + " post");
            if (item.grid) {
                const Grid& g = *item.grid;
                const std::uint64_t n = std::uint64_t(g.dimensions[0]) * g.dimensions[1] * g.dimensions[2];
                if (n == 0) throw std::invalid_argument(where + ": the grid has no points");
                if (n * 3 != g.vectors.size())
                    throw std::invalid_argument(where + ": the grid of " + std::to_string(n) + " points needs " +
                                                std::to_string(n * 3) + " vector values; it has " +
                                                std::to_string(g.vectors.size()));
                if (n * 12 > 0xFFFFFFF0u) throw std::invalid_argument(where + ": the grid is too large for one object");
                for (double v : g.resolution)
                    if (!(v > 0) || !std::isfinite(v)) throw std::invalid_argument(where + ": grid spacing must be > 0");
                for (float v : g.vectors)
                    if (!std::isfinite(v)) throw std::invalid_argument(where + ": a displacement is not finite");
            }
        } else {
            if (item.matrices.empty()) throw std::invalid_argument(where + " has no matrix");
            if (item.pre || item.post || item.grid) throw std::invalid_argument(where + ": a rigid registration takes matrices only");
            for (const Step& s : item.matrices) check_step(s, where);
        }
    }
}

void step_item(ItemWriter& w, const Step& s) {
    w.begin_item();
    w.text(tags::kFrameOfReferenceTransformationMatrixType, "CS", s.type);
    w.text(tags::kFrameOfReferenceTransformationMatrix, "DS", format_decimals(std::span<const double>(s.matrix)));
    w.end_item();
}

void image_references(ItemWriter& w, const std::vector<ImageHeader>& images) {
    if (images.empty()) return;  // Type 1C: the source frame names the registered data
    std::vector<InstanceReference> refs;
    for (const ImageHeader& h : images) refs.push_back({h.series_uid, h.sop_class_uid, h.sop_instance_uid});
    instance_references(w, tags::kReferencedImageSequence, refs);
}

void type_and_comment(ItemWriter& w, const Item& item) {
    w.begin_sequence(tags::kRegistrationTypeCodeSequence);  // Type 2: empty when not given
    if (item.type.present()) {
        w.begin_item();
        code_item(w, item.type.value, item.type.scheme, item.type.meaning);
        w.end_item();
    }
    w.end_sequence();
    if (!item.comment.empty()) w.text(tags::kFrameOfReferenceTransformationComment, "LO", item.comment);
}

void rigid_item(ItemWriter& w, const Item& item, const std::vector<ImageHeader>& images) {
    w.begin_item();
    image_references(w, images);
    w.text(tags::kFrameOfReferenceUID, "UI", item.source_frame);
    w.begin_sequence(tags::kMatrixRegistrationSequence);
    w.begin_item();
    w.begin_sequence(tags::kMatrixSequence);
    for (const Step& s : item.matrices) step_item(w, s);
    w.end_sequence();
    type_and_comment(w, item);
    w.end_item();
    w.end_sequence();
    w.end_item();
}

void deformable_item(ItemWriter& w, const Item& item, const std::vector<ImageHeader>& images) {
    w.begin_item();
    image_references(w, images);
    w.text(tags::kSourceFrameOfReferenceUID, "UI", item.source_frame);
    if (item.grid) {
        const Grid& g = *item.grid;
        w.begin_sequence(tags::kDeformableRegistrationGridSequence);
        w.begin_item();
        w.text(tags::kImagePositionPatient, "DS", format_decimals(std::span<const double>(g.position)));
        w.text(tags::kImageOrientationPatient, "DS", format_decimals(std::span<const double>(g.orientation)));
        w.ul(tags::kGridDimensions, std::span<const std::uint32_t>(g.dimensions));
        w.fd(tags::kGridResolution, std::span<const double>(g.resolution));
        w.numbers(tags::kVectorGridData, "OF", std::span<const float>(g.vectors));
        w.end_item();
        w.end_sequence();
    }
    for (const auto& [tag, step] : {std::pair{tags::kPreDeformationMatrixRegistrationSequence, &item.pre},
                                    std::pair{tags::kPostDeformationMatrixRegistrationSequence, &item.post}}) {
        w.begin_sequence(tag);
        step_item(w, step->value_or(Step{}));
        w.end_sequence();
    }
    type_and_comment(w, item);
    w.end_item();
}

}  // namespace

std::vector<std::uint8_t> write_registration(const Registration& given, const std::vector<ImageHeader>& fixed,
                                             const SourceImages& given_sources, const Identity& identity,
                                             std::string sop_uid, std::string series_uid) {
    if (fixed.empty()) throw std::invalid_argument("write_registration: no fixed images");
    check(given, given_sources);
    const ImageHeader& first = fixed[0];
    if (first.frame_of_reference_uid.empty())
        throw std::invalid_argument("write_registration: the fixed images have no Frame of Reference UID");
    Registration r = given;
    SourceImages sources = given_sources;
    if (!r.deformable) {
        bool registers_itself = false;
        for (const Item& item : r.items) registers_itself |= item.source_frame == first.frame_of_reference_uid;
        if (!registers_itself) {
            Item self;
            self.source_frame = first.frame_of_reference_uid;
            self.matrices.push_back(Step{});
            r.items.insert(r.items.begin(), self);
            sources.insert(sources.begin(), fixed);
        }
    }
    std::uint64_t digest = wyhash(first.sop_instance_uid.data(), first.sop_instance_uid.size());
    for (const Item& item : r.items) {
        digest = wyhash(item.source_frame.data(), item.source_frame.size(), digest);
        for (const Step& s : item.matrices) digest = wyhash(s.matrix.data(), sizeof(Matrix), digest);
        if (item.grid) digest = wyhash(item.grid->vectors.data(), item.grid->vectors.size() * 4, digest);
    }
    content_uids(digest, "registration", sop_uid, series_uid);
    const Identity who = with_equipment(identity);
    const std::string_view sop_class = r.deformable ? kDeformableRegistration : kSpatialRegistration;

    SortedDataset d = authored_dataset(sop_class, sop_uid, first, who, "REG", series_uid);
    d.text(tags::kLaterality, "CS", first.laterality);  // Type 2C: as the fixed images state it, or empty
    frame_of_reference(d, first.frame_of_reference_uid);
    content_identification(d, r.content_label, r.content_description, r.content_creator);
    const Tag sequence = r.deformable ? tags::kDeformableRegistrationSequence : tags::kRegistrationSequence;
    d.put(sequence, [&](ItemWriter& w) {
        w.begin_sequence(sequence);
        for (std::size_t i = 0; i < r.items.size(); ++i)
            r.deformable ? deformable_item(w, r.items[i], sources[i]) : rigid_item(w, r.items[i], sources[i]);
        w.end_sequence();
    });
    // Every image named, by series: those of the fixed study here, the others by their study.
    std::map<std::string, std::vector<InstanceReference>> by_study;
    for (const auto& list : sources)
        for (const ImageHeader& h : list) by_study[h.study_uid].push_back({h.series_uid, h.sop_class_uid, h.sop_instance_uid});
    if (const auto own = by_study.find(first.study_uid); own != by_study.end())
        d.put(tags::kReferencedSeriesSequence, [&](ItemWriter& w) { referenced_series(w, own->second); });
    if (by_study.size() > by_study.count(first.study_uid))
        d.put(tags::kStudiesContainingOtherReferencedInstancesSequence, [&](ItemWriter& w) {
            w.begin_sequence(tags::kStudiesContainingOtherReferencedInstancesSequence);
            for (const auto& [study, refs] : by_study) {
                if (study == first.study_uid) continue;
                w.begin_item();
                referenced_series(w, refs);
                w.text(tags::kStudyInstanceUID, "UI", study);
                w.end_item();
            }
            w.end_sequence();
        });
    return part10_file(sop_class, sop_uid, d, "write_registration: the registration is too large to write in one object");
}

}  // namespace loamwerk::reg
