// The record-level results of the dataset walk, which the Python fast paths do not expose.
#include <gtest/gtest.h>

#include "bytes_builder.hpp"
#include "core/dataset.hpp"

using namespace std::string_literals;

using namespace loamwerk;
using namespace loamtest;

namespace {
constexpr std::uint32_t kUndef = 0xFFFFFFFFu;

std::vector<ElementRef> walk(const Bytes& b, Encoding enc, bool* ok = nullptr) {
    std::vector<ElementRef> out;
    const bool r = dataset::parse(b.data(), b.size(), enc, out);
    if (ok) *ok = r;
    return out;
}

Bytes undefined_header(std::uint16_t g, std::uint16_t e, const char* vr) {
    return explicit_el(g, e, vr, {}, true, kUndef);
}

Bytes part10_prefix(const Bytes& meta_elements, std::uint32_t group_length) {
    Bytes b(128, 0);
    append(b, text("DICM"));
    Bytes gl;
    put32(gl, group_length);
    append(b, explicit_short(0x0002, 0x0000, "UL", gl));
    append(b, meta_elements);
    return b;
}
}  // namespace

TEST(Walk, RecordsViewIntoTheBuffer) {
    Bytes b = explicit_short(0x0008, 0x0005, "CS", text("ISO_IR 100"));
    append(b, explicit_long(0x7FE0, 0x0010, "OW", Bytes(6, 7)));
    bool ok = false;
    const auto recs = walk(b, Encoding::ExplicitLE, &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].tag, make_tag(0x0008, 0x0005));
    EXPECT_EQ(recs[0].vr, vr::CS);
    EXPECT_EQ(recs[0].value, b.data() + 8);
    EXPECT_EQ(recs[0].length, 10u);
    EXPECT_EQ(recs[1].vr, vr::OW);
    EXPECT_EQ(recs[1].length, 6u);
    EXPECT_EQ(recs[1].encoding, Encoding::ExplicitLE);
}

TEST(Walk, UndefinedLengthUnBecomesImplicitSequence) {
    Bytes content = item(implicit_el(0x0008, 0x0100, text("CODE01")), true);
    Bytes b = undefined_header(0x0009, 0x1001, "UN");
    append(b, content);
    append(b, delimiter(0xE0DD));
    append(b, explicit_short(0x0010, 0x0010, "PN", text("A^B ")));
    const auto recs = walk(b, Encoding::ExplicitLE);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].vr, vr::SQ);
    EXPECT_EQ(recs[0].encoding, Encoding::ImplicitLE);
    EXPECT_EQ(recs[0].length, content.size());
    EXPECT_EQ(recs[1].tag, make_tag(0x0010, 0x0010));
}

TEST(Walk, PrivateSequenceFromTheTableInImplicitData) {
    Bytes b = implicit_el(0x0071, 0x0010, text("AGFA-AG_HPState "));
    const Bytes content = item(implicit_el(0x0008, 0x0100, text("AB")), false);
    append(b, implicit_el(0x0071, 0x1018, content));  // listed as a sequence for this creator
    append(b, implicit_el(0x0071, 0x1017, content));  // not listed, but made of items
    append(b, implicit_el(0x0071, 0x1016, text("ABCDEFGH")));  // neither
    const auto recs = walk(b, Encoding::ImplicitLE);
    ASSERT_EQ(recs.size(), 4u);
    EXPECT_EQ(recs[0].vr, vr::LO);
    EXPECT_EQ(recs[1].vr, vr::SQ);
    EXPECT_EQ(recs[2].vr, vr::SQ);
    EXPECT_EQ(recs[3].vr, 0);
}

TEST(Walk, ItemCheckNeedsWholeElements) {
    // An item whose content ends mid-element is not a sequence.
    Bytes inner = implicit_el(0x0008, 0x0100, text("ABCDEF"));
    inner.erase(inner.end() - 2, inner.end());
    Bytes b = implicit_el(0x0009, 0x1001, item(inner, false));
    EXPECT_EQ(walk(b, Encoding::ImplicitLE)[0].vr, 0);
}

TEST(Walk, SixtyFifthCreatorIsNotUsed) {
    auto with_creators = [](int fillers) {
        Bytes b;
        // Fillers take table slots in another group.
        for (int i = 0; i < fillers; ++i)
            append(b, implicit_el(0x0009, std::uint16_t(0x10 + i), text("FILLER")));
        append(b, implicit_el(0x0071, 0x0010, text("AGFA-AG_HPState ")));
        append(b, implicit_el(0x0071, 0x1018, text("ABCDEFGH")));  // not items: only the table can say SQ
        return b;
    };
    EXPECT_EQ(walk(with_creators(63), Encoding::ImplicitLE).back().vr, vr::SQ);
    EXPECT_EQ(walk(with_creators(64), Encoding::ImplicitLE).back().vr, 0);
}

TEST(Walk, MostRecentCreatorOfTheBlockWins) {
    Bytes b = implicit_el(0x0071, 0x0010, text("OTHER CREATOR"));
    append(b, implicit_el(0x0071, 0x0010, text("AGFA-AG_HPState ")));
    append(b, implicit_el(0x0071, 0x1018, text("ABCDEFGH")));
    EXPECT_EQ(walk(b, Encoding::ImplicitLE).back().vr, vr::SQ);
}

TEST(Walk, TopLevelItemsAndDelimiters) {
    Bytes b = item(explicit_short(0x0008, 0x0100, "SH", text("AB")), false);
    append(b, delimiter(0xE00D));
    Bytes odd;
    put16(odd, 0xFFFE), put16(odd, 0xE0AB), put32(odd, 2), odd.push_back(1), odd.push_back(2);
    append(b, odd);
    append(b, item(explicit_short(0x0008, 0x0100, "SH", text("CD")), true));
    const auto recs = walk(b, Encoding::ExplicitLE);
    ASSERT_EQ(recs.size(), 3u);
    for (const auto& r : recs) {
        EXPECT_EQ(r.tag, make_tag(0xFFFE, 0xE000));
        EXPECT_EQ(r.vr, 0);
    }
    EXPECT_EQ(recs[0].length, 10u);
    EXPECT_EQ(recs[1].length, 2u);
    EXPECT_EQ(recs[2].length, 10u);
}

TEST(Walk, SkipperDepthLimit) {
    Bytes seq = delimiter(0xE0DD);
    EXPECT_TRUE(dataset::skip_sequence(seq.data(), seq.size(), 64, Encoding::ExplicitLE).has_value());
    EXPECT_FALSE(dataset::skip_sequence(seq.data(), seq.size(), 65, Encoding::ExplicitLE).has_value());
    EXPECT_FALSE(dataset::skip_sequence(seq.data(), 7, 0, Encoding::ExplicitLE).has_value());
}

TEST(Walk, UnreadableHeaderFailsButKeepsEarlierRecords) {
    Bytes b = explicit_short(0x0008, 0x0005, "CS", text("ISO_IR 100"));
    append(b, text("\x09\x00\x01\x10OB\x00\x00\x08"s));  // a long-form header cut inside its reserved field
    bool ok = true;
    const auto recs = walk(b, Encoding::ExplicitLE, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(recs.size(), 1u);
}

TEST(Walk, UnclosedUnknownSequenceWithItemsIsTypedSq) {
    Bytes b = implicit_el(0x0009, 0x1001, {}, kUndef);
    append(b, item(implicit_el(0x0008, 0x0100, text("AB")), false));
    const auto recs = walk(b, Encoding::ImplicitLE);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].vr, vr::SQ);
    EXPECT_EQ(recs[0].length, b.size() - 8);
}

TEST(Walk, BigEndianLengths) {
    Bytes b = {0x00, 0x08, 0x00, 0x60, 'C', 'S', 0x00, 0x02, 'C', 'T'};
    const Bytes pixel = {0x7F, 0xE0, 0x00, 0x10, 'O', 'W', 0, 0, 0, 0, 0, 2, 0xAB, 0xCD};
    append(b, pixel);
    const auto recs = walk(b, Encoding::ExplicitBE);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].tag, make_tag(0x0008, 0x0060));
    EXPECT_EQ(recs[0].length, 2u);
    EXPECT_EQ(recs[1].tag, make_tag(0x7FE0, 0x0010));
    EXPECT_EQ(recs[1].length, 2u);
}

TEST(Meta, ResultCodes) {
    Bytes b(131, 0);
    EXPECT_EQ(read_meta(b.data(), b.size()).result, meta_result::kTruncated);
    b.resize(200, 0);
    EXPECT_EQ(read_meta(b.data(), b.size()).result, meta_result::kNoMagic);
    Bytes no_group = part10_prefix({}, 0);
    no_group.erase(no_group.begin() + 132, no_group.end());
    append(no_group, explicit_short(0x0008, 0x0005, "CS", text("ISO_IR 100")));
    EXPECT_EQ(read_meta(no_group.data(), no_group.size()).result, meta_result::kMalformed);
}

TEST(Meta, LenientOffsetIsTheFirstNonMetaElement) {
    const Bytes ts = explicit_short(0x0002, 0x0010, "UI", text("1.2.840.10008.1.2.1"));
    Bytes b = part10_prefix(ts, 4);  // group length too short
    const std::size_t dataset_at = b.size();
    append(b, explicit_short(0x0008, 0x0005, "CS", text("ISO_IR 100")));
    const FileMetaInfo m = read_meta(b.data(), b.size());
    ASSERT_TRUE(m.ok());
    EXPECT_EQ(m.dataset_offset, dataset_at);
    EXPECT_EQ(m.transfer_syntax, "1.2.840.10008.1.2.1");
    EXPECT_TRUE(m.sop_class.empty());
}

TEST(Layout, SyntaxTableDecidesTheEncoding) {
    for (const auto& [uid, enc] : {std::pair{"1.2.840.10008.1.20", Encoding::ImplicitLE},
                                   std::pair{"1.2.840.113619.5.2", Encoding::ImplicitLE},
                                   std::pair{"1.2.840.10008.1.2.4.70", Encoding::ExplicitLE}}) {
        Bytes meta = explicit_short(0x0002, 0x0002, "UI", text("1.2.3 "));
        append(meta, explicit_short(0x0002, 0x0003, "UI", text("4.5 ")));
        std::string ts = uid;
        if (ts.size() % 2) ts += '\0';
        append(meta, explicit_short(0x0002, 0x0010, "UI", text(ts)));
        Bytes b = part10_prefix(meta, std::uint32_t(meta.size()));
        const DatasetLayout d = detect_layout(b.data(), b.size());
        EXPECT_TRUE(d.has_meta) << uid;
        EXPECT_EQ(d.encoding, enc) << uid;
    }
}
