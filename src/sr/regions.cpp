// The spatial regions of a report and the measurement groups they belong to.
#include "sr/regions.hpp"

namespace loamwerk::sr {

namespace {

bool named(const ContentItem& item, std::string_view value, std::string_view scheme) {
    return item.name && item.name->value == value && item.name->scheme == scheme;
}

struct Group {
    int number = 0;
    std::string tracking_id, tracking_uid;
};

// TID 1410/1411/1501 groups are CONTAINERs named "Measurement Group" (DCM 125007); their
// tracking identifier (DCM 112039) and UID (DCM 112040) are among their children.
Group group_of(const ContentItem& container, int number) {
    Group g{number, {}, {}};
    for (const ContentItem& c : container.children) {
        if (c.value_type == "TEXT" && named(c, "112039", "DCM")) g.tracking_id = c.text;
        if (c.value_type == "UIDREF" && named(c, "112040", "DCM")) g.tracking_uid = c.text;
    }
    return g;
}

void walk(const ContentItem& root, const ContentItem& item, const std::string& id, const ContentItem* parent,
          const Group& group, int& groups, std::vector<Region>& out) {
    Group here = group;
    if (item.value_type == "CONTAINER" && named(item, "125007", "DCM")) here = group_of(item, ++groups);
    if (item.value_type == "SCOORD" || item.value_type == "SCOORD3D") {
        Region r;
        r.item = id, r.value_type = item.value_type, r.graphic_type = item.graphic_type, r.name = item.name;
        if (parent && parent->value_type == "NUM") r.measurement = parent->name;
        r.graphic_data = item.graphic_data;
        r.frame_of_reference_uid = item.frame_of_reference_uid;
        for (const ContentItem& c : item.children) {
            if (c.relationship != "SELECTED FROM") continue;
            // The image is a child, or an item elsewhere named by its identifier.
            const ContentItem* source = c.referenced_content.empty() ? &c : item_at(root, c.referenced_content);
            if (source && source->reference) r.image = source->reference;
        }
        r.group = here.number, r.tracking_id = here.tracking_id, r.tracking_uid = here.tracking_uid;
        out.push_back(std::move(r));
    }
    for (std::size_t k = 0; k < item.children.size(); ++k)
        walk(root, item.children[k], id + "." + std::to_string(k + 1), &item, here, groups, out);
}

}  // namespace

std::vector<Region> regions(const SrDocument& doc) {
    std::vector<Region> out;
    int groups = 0;
    walk(doc.content, doc.content, "1", nullptr, Group{}, groups, out);
    return out;
}

}  // namespace loamwerk::sr
