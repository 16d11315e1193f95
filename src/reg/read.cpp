#include "reg/read.hpp"

#include <stdexcept>

#include "core/dataset.hpp"
#include "core/tags.hpp"
#include "core/values.hpp"
#include "seg/read.hpp"

namespace loamwerk::reg {

using seg::code_of;

namespace {

constexpr std::string_view kSpatialRegistration = "1.2.840.10008.5.1.4.1.1.66.1";
constexpr std::string_view kDeformableRegistration = "1.2.840.10008.5.1.4.1.1.66.3";

Step read_step(const Elements& item, const std::string& where) {
    Step s;
    s.type = utf8_text(item, tags::kFrameOfReferenceTransformationMatrixType);
    const ElementRef* e = find_element(item, tags::kFrameOfReferenceTransformationMatrix);
    const std::vector<double> values = e ? numbers(*e) : std::vector<double>{};
    if (values.size() != 16) throw std::runtime_error(where + ": a transformation matrix has " + std::to_string(values.size()) + " values, not 16");
    std::copy(values.begin(), values.end(), s.matrix.begin());
    return s;
}

std::optional<Step> optional_step(const Elements& item, Tag tag, const std::string& where) {
    const Items steps = items_of(item, tag);
    if (steps.empty()) return std::nullopt;
    return read_step(steps[0], where);
}

std::vector<InstanceReference> images_of(const Elements& item) {
    std::vector<InstanceReference> out;
    for (const Elements& image : items_of(item, tags::kReferencedImageSequence))
        out.push_back({"", utf8_text(image, tags::kReferencedSOPClassUID), utf8_text(image, tags::kReferencedSOPInstanceUID)});
    return out;
}

Grid read_grid(const Elements& g, const std::string& where) {
    Grid grid;
    const ElementRef* position = find_element(g, tags::kImagePositionPatient);
    const ElementRef* orientation = find_element(g, tags::kImageOrientationPatient);
    const ElementRef* dims = find_element(g, tags::kGridDimensions);
    const ElementRef* resolution = find_element(g, tags::kGridResolution);
    const std::vector<double> p = position ? numbers(*position) : std::vector<double>{};
    const std::vector<double> o = orientation ? numbers(*orientation) : std::vector<double>{};
    const std::vector<std::uint32_t> n = typed_values<std::uint32_t>(dims);
    const std::vector<double> r = resolution ? fd_values(*resolution) : std::vector<double>{};
    if (p.size() != 3 || o.size() != 6 || n.size() != 3 || r.size() != 3)
        throw std::runtime_error(where + ": the deformation grid lacks its position, orientation, dimensions or resolution");
    std::copy(p.begin(), p.end(), grid.position.begin());
    std::copy(o.begin(), o.end(), grid.orientation.begin());
    std::copy(n.begin(), n.end(), grid.dimensions.begin());
    std::copy(r.begin(), r.end(), grid.resolution.begin());
    grid.vectors = typed_values<float>(find_element(g, tags::kVectorGridData));
    const std::uint64_t points = std::uint64_t(n[0]) * n[1] * n[2];
    if (points == 0 || grid.vectors.size() != points * 3)
        throw std::runtime_error(where + ": the deformation grid of " + std::to_string(n[0]) + " x " + std::to_string(n[1]) +
                                 " x " + std::to_string(n[2]) + " points holds " + std::to_string(grid.vectors.size()) +
                                 " vector values");
    return grid;
}

}  // namespace

Registration read_registration(std::span<const std::uint8_t> file, const std::string& where) {
    Dataset ds = Dataset::borrow(file);
    if (!ds.readable()) throw std::runtime_error(where + ": not a DICOM file");
    const std::string_view sop_class = text_of(ds.elements(), tags::kSOPClassUID);
    if (sop_class != kSpatialRegistration && sop_class != kDeformableRegistration)
        throw std::runtime_error(where + ": not a Spatial Registration or Deformable Spatial Registration object");
    const Elements& top = ds.elements();
    Registration r;
    static_cast<ContentHeader&>(r) = read_content_header(top);
    r.deformable = sop_class == kDeformableRegistration;
    const Items items = items_of(top, r.deformable ? tags::kDeformableRegistrationSequence : tags::kRegistrationSequence);
    for (std::size_t i = 0; i < items.size(); ++i) {
        const Elements& e = items[i];
        const std::string at = where + ": registration " + std::to_string(i + 1);
        Item item;
        item.images = images_of(e);
        if (r.deformable) {
            item.source_frame = utf8_text(e, tags::kSourceFrameOfReferenceUID);
            item.pre = optional_step(e, tags::kPreDeformationMatrixRegistrationSequence, at);
            item.post = optional_step(e, tags::kPostDeformationMatrixRegistrationSequence, at);
            if (const Items grid = items_of(e, tags::kDeformableRegistrationGridSequence); !grid.empty())
                item.grid = read_grid(grid[0], at);
            item.comment = utf8_text(e, tags::kFrameOfReferenceTransformationComment);
            item.type = code_of(e, tags::kRegistrationTypeCodeSequence);
        } else {
            item.source_frame = utf8_text(e, tags::kFrameOfReferenceUID);
            const Items matrix = items_of(e, tags::kMatrixRegistrationSequence);
            if (matrix.empty()) throw std::runtime_error(at + " has no Matrix Registration Sequence");
            for (const Elements& step : items_of(matrix[0], tags::kMatrixSequence)) item.matrices.push_back(read_step(step, at));
            if (item.matrices.empty()) throw std::runtime_error(at + " has no matrix");
            item.comment = utf8_text(matrix[0], tags::kFrameOfReferenceTransformationComment);
            item.type = code_of(matrix[0], tags::kRegistrationTypeCodeSequence);
        }
        r.items.push_back(std::move(item));
    }
    return r;
}

}  // namespace loamwerk::reg
