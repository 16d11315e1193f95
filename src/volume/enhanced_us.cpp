// Enhanced US Volume objects: the functional groups validated strictly, then one record per
// frame in the Volume frame of reference with the temporal and Data Type axes.
#include "volume/enhanced_us.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <stdexcept>

#include "core/tags.hpp"
#include "core/values.hpp"
#include "core/writer.hpp"

namespace loamwerk::volume::enhanced_us {

namespace {


using Elements = std::vector<ElementRef>;

constexpr std::size_t kMaxDenseFrames = std::size_t(1) << 24;

struct Failure {
    bool unsupported;
    std::string message;
};

[[noreturn]] void malformed(std::string m) { throw Failure{false, std::move(m)}; }
[[noreturn]] void unsupported(std::string m) { throw Failure{true, std::move(m)}; }

bool positive_decimals(const ElementRef& e, std::size_t vm, std::vector<double>& out) {
    if (e.vr != vr::DS) return false;
    out.clear();
    for (std::string_view v : split_values(value_text(e))) {
        char* end = nullptr;
        const std::string s(v);
        const double d = std::strtod(s.c_str(), &end);
        if (s.empty() || *end || !(d > 0) || !std::isfinite(d)) return false;
        out.push_back(d);
    }
    return out.size() == vm;
}

bool valid_at(const ElementRef* e) { return e && e->vr == vr::AT && e->length == 4 && e->value; }
Tag at_value(const ElementRef& e) { return (Tag(load_le16(e.value)) << 16) | load_le16(e.value + 2); }

// The sequence `tag` of a functional-group item, or null.
const ElementRef* group_in(const Elements& item, Tag tag) { return find_element(item, tag); }

struct DimensionItem {
    Tag index_pointer = 0, group_pointer = 0;
    std::string uid;
};

// Where a frame's functional group comes from: its own item, else the shared item.
class Groups {
public:
    Groups(const Elements* shared, const std::vector<Elements>* frames) : shared_(shared), frames_(frames) {}
    bool in_shared(Tag g) const { return shared_ && group_in(*shared_, g); }
    bool in_any_frame(Tag g) const {
        return std::any_of(frames_->begin(), frames_->end(), [&](const Elements& f) { return group_in(f, g); });
    }
    const ElementRef* for_frame(std::size_t k, Tag g) const {
        if (const ElementRef* e = group_in((*frames_)[k], g)) return e;
        return shared_ ? group_in(*shared_, g) : nullptr;
    }

private:
    const Elements* shared_;
    const std::vector<Elements>* frames_;
};

// Exactly one of the two levels: not both, and present for every frame.
void one_level(const Groups& g, Tag group, std::size_t frames, const std::string& both, const std::string& missing) {
    if (g.in_shared(group) && g.in_any_frame(group)) malformed(both);
    for (std::size_t k = 0; k < frames; ++k)
        if (!g.for_frame(k, group)) malformed(missing);
}

template <class A, class B>
void one_to_one(const std::vector<A>& a, const std::vector<B>& b, const std::string& a_to_many,
                const std::string& b_to_many) {
    std::map<A, B> forward;
    std::map<B, A> backward;
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (auto [it, fresh] = forward.emplace(a[k], b[k]); !fresh && !(it->second == b[k])) malformed(a_to_many);
        if (auto [it, fresh] = backward.emplace(b[k], a[k]); !fresh && !(it->second == a[k])) malformed(b_to_many);
    }
}

Parsed parse_checked(const Elements& top) {
    Parsed p;
    // Frames and groups.
    const ElementRef* nf = find_element(top, tags::kNumberOfFrames);
    long frames = 0;
    if (nf) {
        const std::string s(value_text(*nf));
        char* end = nullptr;
        frames = std::strtol(s.c_str(), &end, 10);
        if (s.empty() || *end || frames < 1) frames = 0;
    }
    if (!frames) malformed("Number of Frames has invalid IS value");
    const ElementRef* shared_seq = find_element(top, tags::kSharedFunctionalGroupsSequence);
    const ElementRef* frame_seq = find_element(top, tags::kPerFrameFunctionalGroupsSequence);
    const ElementRef* dim_org = find_element(top, tags::kDimensionOrganizationSequence);
    const ElementRef* dim_index = find_element(top, tags::kDimensionIndexSequence);
    if (!shared_seq || !frame_seq || !dim_org || !dim_index) malformed("Enhanced US Data Set is structurally incomplete");
    const std::vector<Elements> shared_items = sequence_items(shared_seq);
    const std::vector<Elements> frame_items = sequence_items(frame_seq);
    if (frame_items.size() != std::size_t(frames))
        malformed("Per-frame Functional Groups Item count differs from Number of Frames");
    if (shared_items.size() != 1) malformed("Enhanced US Data Set is structurally incomplete");
    const Groups groups(&shared_items.front(), &frame_items);
    const std::size_t n = std::size_t(frames);
    p.frames = n;

    // Dimension organisation.
    const ElementRef* org_type = find_element(top, tags::kDimensionOrganizationType);
    const std::string_view type = org_type ? value_text(*org_type) : std::string_view{};
    if (type != "3D" && type != "3D_TEMPORAL") unsupported("Dimension Organization Type must be 3D or 3D_TEMPORAL");
    const std::vector<Elements> org_items = sequence_items(dim_org);
    if (org_items.empty()) malformed("Dimension Organization Sequence must contain at least one Item");
    std::set<std::string> org_uids;
    for (const Elements& it : org_items) {
        const ElementRef* u = find_element(it, tags::kDimensionOrganizationUID);
        const std::string uid = u ? std::string(value_text(*u)) : std::string();
        if (!is_valid_uid(uid)) malformed("Dimension Organization UID has invalid UI value");
        if (!org_uids.insert(uid).second) malformed("Dimension Organization Sequence contains a duplicate UID");
    }

    // Dimension index: temporal, Volume position, Data Type.
    const std::vector<Elements> index_items = sequence_items(dim_index);
    if (index_items.size() != 3) malformed("Dimension Index Sequence must contain exactly three Items");
    DimensionItem dims[3];
    std::set<std::string> scopes;
    for (std::size_t i = 0; i < 3; ++i) {
        const Elements& it = index_items[i];
        const ElementRef* ip = find_element(it, tags::kDimensionIndexPointer);
        const ElementRef* gp = find_element(it, tags::kFunctionalGroupPointer);
        if (!valid_at(ip) || !valid_at(gp)) malformed("Dimension Index Item has invalid AT pointers");
        dims[i].index_pointer = at_value(*ip), dims[i].group_pointer = at_value(*gp);
        auto creator_ok = [&](Tag creator_tag) {
            const ElementRef* c = find_element(it, creator_tag);
            return c && c->vr == vr::LO && !value_text(*c).empty() && c->length <= 64;
        };
        if ((tag_group(dims[i].index_pointer) & 1) && !creator_ok(tags::kDimensionIndexPrivateCreator))
            malformed("private Dimension Index Pointer requires a valid LO creator");
        if ((tag_group(dims[i].group_pointer) & 1) && !creator_ok(tags::kFunctionalGroupPrivateCreator))
            malformed("private Functional Group Pointer requires a valid LO creator");
        const ElementRef* u = find_element(it, tags::kDimensionOrganizationUID);
        dims[i].uid = u ? std::string(value_text(*u)) : std::string();
        scopes.insert(dims[i].uid);
    }
    if (scopes != org_uids) malformed("Dimension Organization Sequence does not exactly list the three axis UID scopes");
    const bool temporal_attribute = dims[0].index_pointer == tags::kTemporalPositionIndex ||
                                    dims[0].index_pointer == tags::kTemporalPositionTimeOffset;
    if (!(dims[1].index_pointer == tags::kImagePositionVolume && dims[1].group_pointer == tags::kPlanePositionVolumeSequence) ||
        !(dims[2].index_pointer == tags::kDataType && dims[2].group_pointer == tags::kImageDataTypeSequence) ||
        dims[0].index_pointer == tags::kImagePositionVolume || dims[0].index_pointer == tags::kDataType)
        malformed("Dimension Index Sequence does not use temporal, Volume position, Data Type order");
    if (!temporal_attribute) unsupported("temporal Dimension Index attribute is valid but not supported by the dense assembler");
    const Tag temporal_group =
        dims[0].index_pointer == tags::kTemporalPositionIndex ? tags::kFrameContentSequence : tags::kTemporalPositionSequence;
    if (dims[0].group_pointer != temporal_group) malformed("temporal Dimension Index Pointer names the wrong Functional Group");

    // Volume geometry.
    const ElementRef* vfor = find_element(top, tags::kVolumeFrameOfReferenceUID);
    if (!vfor || !is_valid_uid(value_text(*vfor))) malformed("Volume Frame of Reference UID has invalid UI value");
    p.frame_of_reference = std::string(value_text(*vfor));
    if (groups.in_any_frame(tags::kPlaneOrientationVolumeSequence))
        malformed("Plane Orientation (Volume) may not be per-frame");
    if (groups.in_shared(tags::kPlanePositionVolumeSequence)) malformed("Plane Position (Volume) may not be shared");
    if (groups.in_shared(tags::kFrameContentSequence)) malformed("Frame Content may not be shared");
    const ElementRef* orientation_seq = groups.for_frame(0, tags::kPlaneOrientationVolumeSequence);
    const std::vector<Elements> orientation_items = orientation_seq ? sequence_items(orientation_seq) : std::vector<Elements>{};
    const ElementRef* iov = orientation_items.empty() ? nullptr : find_element(orientation_items.front(), tags::kImageOrientationVolume);
    if (!iov || iov->vr != vr::FD || iov->length != 48) malformed("Image Orientation (Volume) must be FD VM 6");
    if (fd_values(*iov) != std::vector<double>{1, 0, 0, 0, 1, 0}) malformed("Image Orientation (Volume) must be 1,0,0,0,1,0");

    one_level(groups, tags::kPixelMeasuresSequence, n, "Pixel Measures Sequence occurs in shared and per-frame groups",
              "Pixel Measures Sequence is missing for a frame");
    one_level(groups, tags::kImageDataTypeSequence, n, "Image Data Type Sequence occurs in shared and per-frame groups",
              "Image Data Type Sequence is missing for a frame");
    one_level(groups, temporal_group, n, "temporal Functional Group occurs in shared and per-frame groups",
              "temporal Functional Group is missing for a frame");

    std::vector<double> z(n);
    std::vector<std::string> data_type(n);
    std::vector<double> temporal(n);
    std::vector<std::array<std::uint32_t, 3>> index(n);
    std::vector<double> measures, first_measures, thickness(n, 0);
    for (std::size_t k = 0; k < n; ++k) {
        const ElementRef* fc = group_in(frame_items[k], tags::kFrameContentSequence);
        const std::vector<Elements> fc_items = fc ? sequence_items(fc) : std::vector<Elements>{};
        const ElementRef* div = fc_items.empty() ? nullptr : find_element(fc_items.front(), tags::kDimensionIndexValues);
        if (!div || div->vr != vr::UL || div->length != 12) malformed("Dimension Index Values must be UL VM 3 and non-zero");
        for (int i = 0; i < 3; ++i) {
            index[k][i] = load_le32(div->value + 4 * i);
            if (!index[k][i]) malformed("Dimension Index Values must be UL VM 3 and non-zero");
        }
        // Position.
        const ElementRef* pp = group_in(frame_items[k], tags::kPlanePositionVolumeSequence);
        const std::vector<Elements> pp_items = pp ? sequence_items(pp) : std::vector<Elements>{};
        const ElementRef* ipv = pp_items.empty() ? nullptr : find_element(pp_items.front(), tags::kImagePositionVolume);
        if (!ipv || ipv->vr != vr::FD || ipv->length != 24) malformed("Image Position (Volume) must be FD VM 3");
        const auto pos = fd_values(*ipv);
        if (pos[0] != 0 || pos[1] != 0) malformed("Image Position (Volume) X and Y must be zero");
        z[k] = pos[2];
        // Pixel measures.
        const std::vector<Elements> pm = sequence_items(groups.for_frame(k, tags::kPixelMeasuresSequence));
        const ElementRef* spacing = pm.empty() ? nullptr : find_element(pm.front(), tags::kPixelSpacing);
        if (!spacing || !positive_decimals(*spacing, 2, measures))
            malformed("Pixel Measures has invalid VR, VM, or non-positive values");
        std::vector<double> t;
        if (const ElementRef* st = pm.empty() ? nullptr : find_element(pm.front(), tags::kSliceThickness)) {
            if (!positive_decimals(*st, 1, t)) malformed("Pixel Measures has invalid VR, VM, or non-positive values");
            thickness[k] = t[0];
            measures.push_back(t[0]);
        }
        if (k == 0) first_measures = measures, p.pixel_spacing[0] = measures[0], p.pixel_spacing[1] = measures[1];
        else if (measures != first_measures) malformed("per-frame Pixel Measures vary");
        // Data type.
        const std::vector<Elements> idt = sequence_items(groups.for_frame(k, tags::kImageDataTypeSequence));
        const ElementRef* dt = idt.empty() ? nullptr : find_element(idt.front(), tags::kDataType);
        const ElementRef* alias = idt.empty() ? nullptr : find_element(idt.front(), tags::kAliasedDataType);
        if (!dt || dt->vr != vr::CS || value_text(*dt).empty() || !alias ||
            (value_text(*alias) != "YES" && value_text(*alias) != "NO"))
            malformed("Image Data Type has invalid Data Type or Aliased Data Type");
        data_type[k] = std::string(value_text(*dt));
        // Temporal value.
        const std::vector<Elements> tg = sequence_items(groups.for_frame(k, temporal_group));
        if (tg.size() != 1) malformed("temporal Functional Group must contain exactly one Item");
        const ElementRef* tv = find_element(tg.front(), dims[0].index_pointer);
        if (!tv) {
            if (temporal_group == tags::kFrameContentSequence)
                unsupported("Dimension Index Values/Frame Content cannot define the temporal axis");
            malformed("temporal dimension Attribute is empty");
        }
        if (tv->length == 0) malformed("temporal dimension Attribute is empty");
        if (dims[0].index_pointer == tags::kTemporalPositionIndex) {
            if (tv->vr != vr::UL || tv->length != 4 || load_le32(tv->value) == 0)
                malformed("supported temporal dimension Attribute has invalid VR, VM, or value");
            temporal[k] = load_le32(tv->value);
        } else {
            const auto v = fd_values(*tv);
            if (tv->vr != vr::FD || v.size() != 1 || !std::isfinite(v[0]))
                malformed("supported temporal dimension Attribute has invalid VR, VM, or value");
            temporal[k] = v[0];
        }
    }
    p.slice_thickness = thickness[0];

    // Consistency of the dense grid.
    std::vector<std::uint32_t> ti(n), zi(n), di(n);
    for (std::size_t k = 0; k < n; ++k) ti[k] = index[k][0], zi[k] = index[k][1], di[k] = index[k][2];
    one_to_one(ti, temporal, "one temporal Dimension Index maps to different temporal values",
               "one temporal value maps to different Dimension Indices");
    one_to_one(zi, z, "one spatial Dimension Index maps to different Volume positions",
               "one Volume position maps to different spatial Dimension Indices");
    one_to_one(di, data_type, "one Data Type Dimension Index maps to different Data Types",
               "one Data Type maps to different Dimension Indices");
    std::set<std::array<std::uint32_t, 3>> coordinates;
    for (const auto& c : index)
        if (!coordinates.insert(c).second) malformed("duplicate temporal, plane, Data Type frame coordinate");
    const std::set<std::uint32_t> t_set(ti.begin(), ti.end()), z_set(zi.begin(), zi.end()), d_set(di.begin(), di.end());
    if (type == "3D" && t_set.size() != 1) malformed("Dimension Organization Type 3D must have one temporal index");
    const std::size_t product = t_set.size() * z_set.size() * d_set.size();
    if (product > kMaxDenseFrames) unsupported("dense frame dimension product exceeds supported size");
    if (product != n) unsupported("frame dimensions are sparse, not a dense Cartesian product");
    std::vector<double> planes(z.begin(), z.end());
    std::sort(planes.begin(), planes.end());
    planes.erase(std::unique(planes.begin(), planes.end()), planes.end());
    for (std::size_t i = 2; i < planes.size(); ++i) {
        const double step = planes[1] - planes[0], here = planes[i] - planes[i - 1];
        if (std::fabs(here - step) > 1e-4 * std::max(1.0, std::fabs(step)))
            malformed("adjacent Volume planes are not equally spaced");
    }
    // Data types ordered by their dimension index.
    std::map<std::uint32_t, std::string> names;
    for (std::size_t k = 0; k < n; ++k) names.emplace(di[k], data_type[k]);
    std::map<std::uint32_t, float> type_position;
    for (const auto& [idx, name] : names) {
        type_position.emplace(idx, float(p.data_types.size()));
        p.data_types.push_back(name);
    }
    p.z = z;
    p.temporal = temporal;
    for (std::size_t k = 0; k < n; ++k) p.data_type_index.push_back(type_position[di[k]]);
    p.dense_temporal = t_set.size(), p.dense_planes = z_set.size(), p.dense_types = d_set.size();
    return p;
}

}  // namespace

Parsed parse(const Elements& top, const std::string& path) {
    try {
        return parse_checked(top);
    } catch (const Failure& f) {
        throw std::runtime_error(std::string("volume::decode_one_file: ") + (f.unsupported ? "unsupported" : "malformed") +
                                 " Enhanced US Volume metadata in " + path + ": " + f.message);
    }
}

void check_grid(const VolumeGrid& grid, const SeriesInfo& info, std::size_t declared_frames) {
    if (grid.axes[kDataType].count != info.data_types.size())
        throw std::runtime_error("volume: Enhanced US Data Type axis differs from parsed Dimension Index values");
    std::size_t filled = 0;
    for (std::uint32_t id : grid.table) {
        if (id == VolumeGrid::kEmpty) throw std::runtime_error("volume: Enhanced US dense frame grid contains an absent pixel frame");
        ++filled;
    }
    if (filled != declared_frames)
        throw std::runtime_error("volume: Enhanced US dimensions did not produce the declared dense frame count");
}

}  // namespace loamwerk::volume::enhanced_us
