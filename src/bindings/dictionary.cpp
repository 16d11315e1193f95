// Dictionary look-ups: standard and private tags, keywords and the UID registry.
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include "bindings/common.hpp"
#include "core/dictionary.hpp"

namespace loam::bind {

namespace {
using namespace loamwerk;

nb::object tag_info_dict(const dict::TagInfo& info) {
    if (!info.found) return nb::none();
    nb::dict d;
    d["keyword"] = str_of(info.keyword);
    d["name"] = str_of(info.name);
    d["vr"] = str_of(info.vr);
    d["vm"] = str_of(info.vm);
    d["retired"] = info.retired;
    return d;
}
}  // namespace

void register_dictionary(nb::module_& m) {
    m.def(
        "tag_for_keyword",
        [](const std::string& keyword) { return dict::tag_for_keyword(keyword); },
        nb::arg("keyword"),
        "Packed tag (group<<16|element) of a standard keyword (case-sensitive), or None.");
    m.def(
        "describe_tag", [](std::uint32_t tag) { return tag_info_dict(dict::lookup_tag(tag)); }, nb::arg("tag"),
        nb::sig("def describe_tag(tag: int) -> dict[str, str | bool] | None"),
        "Keyword, name, VR, VM and retired flag of a standard tag (packed int), or None.\n"
        "Group lengths (gggg,0000) and repeating groups (50xx, 60xx, ...) are answered; private tags are not.");
    m.def(
        "describe_private",
        [](const std::string& creator, std::int64_t group, std::int64_t elem_low) {
            return tag_info_dict(dict::lookup_private(creator, std::uint16_t(group & 0xFFFF), std::uint8_t(elem_low & 0xFF)));
        },
        nb::arg("creator"), nb::arg("group"), nb::arg("elem_low"),
        nb::sig("def describe_private(creator: str, group: int, elem_low: int) -> dict[str, str | bool] | None"),
        "Describe a private tag by its creator, group and element (only the low byte counts), or None.\n"
        "Creators match exactly first, then ignoring case, leading/trailing and doubled spaces.");
    m.def(
        "uid_lookup",
        [](const std::string& uid) -> nb::object {
            const dict::UidDictionaryEntry* e = dict::lookup_uid(uid);
            if (!e) return nb::none();
            nb::dict d;
            d["name"] = str_of(e->name);
            d["type"] = str_of(e->type);
            d["keyword"] = str_of(e->keyword);
            d["info"] = str_of(e->info);
            d["retired"] = bool(e->retired);
            d["cid"] = e->cid;
            return d;
        },
        nb::arg("uid"), nb::sig("def uid_lookup(uid: str) -> dict[str, str | bool | int] | None"), "Name, type, keyword, info, retired flag and context group number of a registered UID, or None.");
    m.def(
        "uid_for_keyword", [](const std::string& keyword) { return std::string(dict::uid_for_keyword(keyword)); },
        nb::arg("keyword"), "UID of a registry keyword such as 'CTImageStorage', or '' when unknown.");
    m.def(
        "uid_table",
        []() {
            nb::list rows;
            for (std::size_t i = 0; i < dict::uid_count(); ++i) {
                const dict::UidDictionaryEntry& e = dict::uid_row(i);
                rows.append(nb::make_tuple(str_of(e.uid), str_of(e.name), str_of(e.type), str_of(e.keyword),
                                           str_of(e.info), bool(e.retired), e.cid));
            }
            return rows;
        },
        nb::sig("def uid_table() -> list[tuple[str, str, str, str, str, bool, int]]"),
        "The whole UID registry as (uid, name, type, keyword, info, retired, cid) tuples in UID order.");
}

}  // namespace loam::bind
