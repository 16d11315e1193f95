#include "core/tree.hpp"

#include <memory>
#include <unordered_map>
#include <string_view>
#include <utility>

#include "core/charset.hpp"
#include "core/dictionary.hpp"
#include "core/file_io.hpp"
#include "core/tags.hpp"
#include "core/values.hpp"

namespace loamwerk::tree {

namespace {

// Headers rarely pass this; longer ones are read again in prefixes four times as long.
constexpr std::size_t kHeaderPrefix = 64 * 1024;

// Deeper nesting than this is refused as hostile (real files nest a handful of levels).
constexpr int kMaxDepth = 64;

struct DecoderCloser {
    void operator()(CharsetDecoder* d) const { charset_decoder_close(d); }
};

bool has_high_bytes(std::span<const std::uint8_t> v) {
    for (const std::uint8_t b : v)
        if (b >= 0x80 || b == 0x1B) return true;
    return false;
}

// The VR of an element whose header did not state one (or stated UN): the public dictionary,
// then the private dictionary under the block's creator; 0 when neither knows it.
// `creators` maps each private creator tag of the level to its first element.
using Creators = std::unordered_map<Tag, const ElementRef*>;

VR dictionary_vr(const ElementRef& e, const Creators& creators) {
    const std::uint16_t group = tag_group(e.tag), element = tag_element(e.tag);
    if (!is_private_group(group)) return dict::dictionary_vr(e.tag);
    if (element >= 0x0010 && element <= 0x00FF) return vr::LO;  // private creator
    if (element < 0x1000) return 0;
    const auto found = creators.find(make_tag(group, element >> 8));
    if (found == creators.end()) return 0;
    const ElementRef* creator = found->second;
    const std::string_view name = value_text(*creator);
    if (name.empty()) return 0;
    const dict::TagInfo info = dict::lookup_private(name, group, std::uint8_t(element & 0xFF));
    return info.found && info.vr.size() == 2 && is_vr(make_vr(info.vr)) ? make_vr(info.vr) : VR(0);
}

class Reader {
public:
    Reader(bool& complete, Sequences sequences) : complete_(complete), sequences_(sequences) {}

    bool level(const std::vector<ElementRef>& elements, std::string_view charset, int depth, bool stop_before_pixels, std::vector<Node>& out) {
        std::string own;
        if (const ElementRef* cs = find_element(elements, tags::kSpecificCharacterSet))
            own = std::string(trim_padding(as_text(cs->value, std::size_t(cs->length))));
        if (!own.empty()) charset = own;
        out.reserve(elements.size());
        Creators creators;
        bool creators_built = false;
        for (const ElementRef& e : elements) {
            if (tag_group(e.tag) == 0xFFFE) continue;  // stray delimiters
            if (stop_before_pixels && is_pixel_tag(e.tag)) return true;
            Node& n = out.emplace_back();
            n.tag = e.tag;
            n.vr = e.vr;
            n.value = {e.value, std::size_t(e.length)};
            n.undefined_length = has_undefined_length(e);
            Encoding nested = e.encoding;
            if (n.vr == 0 || n.vr == vr::UN) {
                // Creators gathered once a level: a hostile level of many private elements must
                // not be searched once per element.
                if (!creators_built) {
                    for (const ElementRef& c : elements)
                        if (is_private_group(tag_group(c.tag)) && tag_element(c.tag) >= 0x0010 && tag_element(c.tag) <= 0x00FF)
                            creators.emplace(c.tag, &c);
                    creators_built = true;
                }
                const VR known = dictionary_vr(e, creators);
                // A UN sequence of defined length holds implicit VR items.
                if (known == vr::SQ && n.vr == vr::UN && !n.undefined_length) nested = Encoding::ImplicitLE;
                n.vr = known ? known : vr::UN;
            }
            // A "sequence" whose value does not start with an item is kept as bytes.
            if (n.vr == vr::SQ && n.value.size() >= 4 && load_le32(n.value.data()) != 0xE000FFFEu) n.vr = vr::UN;
            if (n.vr == vr::SQ) {
                if (sequences_ == Sequences::kExpand) {
                    items(n.value, nested, charset, depth, n.items);
                } else {
                    n.item_encoding = nested;
                    n.charset = std::string(charset);
                }
            } else if (!charset.empty() && charset::applies_to(n.vr) && has_high_bytes(n.value)) {
                CharsetDecoder* d = decoder(charset);
                if (d && decode_text(d, n.value.data(), n.value.size(), charset::vr_delimiters(n.vr), n.text) ==
                             kCharsetOk)
                    n.decoded = true;
            }
        }
        return false;
    }

    void items(std::span<const std::uint8_t> value, Encoding encoding, std::string_view charset, int depth,
               std::vector<std::vector<Node>>& out) {
        if (depth >= kMaxDepth) {
            complete_ = false;
            return;
        }
        std::vector<ElementRef> records;
        if (!dataset::parse(value.data(), value.size(), encoding, records)) complete_ = false;
        for (const ElementRef& item : records) {
            if (item.tag != tags::kItem) continue;
            std::vector<ElementRef> inner;
            if (!dataset::parse(item.value, std::size_t(item.length), encoding, inner)) complete_ = false;
            level(inner, charset, depth + 1, false, out.emplace_back());
        }
    }

private:
    // One decoder per character set met in the tree.
    CharsetDecoder* decoder(std::string_view charset) {
        for (auto& [name, d] : decoders_)
            if (name == charset) return d.get();
        decoders_.emplace_back(std::string(charset), std::unique_ptr<CharsetDecoder, DecoderCloser>(charset_decoder_open(
                                                         std::string(charset).c_str(), kCharsetSingleValue)));
        return decoders_.back().second.get();
    }

    bool& complete_;
    Sequences sequences_;
    std::vector<std::pair<std::string, std::unique_ptr<CharsetDecoder, DecoderCloser>>> decoders_;
};

// Implicit VR data state no VR: "US or SS" attributes of signed images are SS.
void sign_pixel_attributes(std::vector<Node>& body) {
    const Node* representation = nullptr;
    for (const Node& n : body)
        if (n.tag == tags::kPixelRepresentation) representation = &n;
    if (!representation || representation->value.size() < 2 || load_le16(representation->value.data()) != 1) return;
    for (Node& n : body)
        if (n.vr == vr::US && dict::lookup_tag(n.tag).vr.substr(0, 8) == "US or SS") n.vr = vr::SS;
}

}  // namespace

bool is_pixel_tag(Tag tag) {
    return tag == tags::kPixelData || tag == tags::kFloatPixelData || tag == tags::kDoubleFloatPixelData;
}

Tree read(const Dataset& ds, bool stop_before_pixels, Sequences sequences) {
    Tree tree;
    Reader reader(tree.complete, sequences);
    const DatasetLayout& layout = ds.layout();
    if (const auto group = layout.meta.group(ds.bytes()); layout.has_meta && !group.empty()) {
        std::vector<ElementRef> meta;
        if (!dataset::parse(group.data(), group.size(), Encoding::ExplicitLE, meta))
            tree.complete = false;
        reader.level(meta, "", 0, false, tree.meta);
    }
    tree.reached_pixels = reader.level(ds.elements(), "", 0, stop_before_pixels, tree.body);
    // A walk cut short after the pixel data (a prefix of the file was read) lost nothing asked for.
    tree.complete = tree.complete && (ds.parsed() || tree.reached_pixels);
    if (ds.encoding() == Encoding::ImplicitLE) sign_pixel_attributes(tree.body);
    return tree;
}

std::vector<std::vector<Node>> read_items(std::span<const std::uint8_t> value, Encoding encoding,
                                          std::string_view charset, bool* complete) {
    bool ok = true;
    Reader reader(ok, Sequences::kLeave);
    std::vector<std::vector<Node>> out;
    reader.items(value, encoding, charset, 0, out);
    if (complete) *complete = ok;
    return out;
}

Dataset read_header(const std::string& path, Tree& tree, std::size_t* file_size) {
    for (std::size_t limit = kHeaderPrefix;; limit *= 4) {
        FileRead r = read_file(path, limit);
        if (!r.opened) throw OpenError(path, r.error);
        if (file_size) *file_size = r.size;
        Dataset ds = Dataset::own(std::move(r.bytes));
        tree = Tree{};
        if (ds.readable()) tree = read(ds, true, Sequences::kLeave);
        if (tree.reached_pixels || r.size <= limit || !ds.layout().recognised) return ds;
    }
}

}  // namespace loamwerk::tree
