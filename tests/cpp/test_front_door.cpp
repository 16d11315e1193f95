// The one door to a data set (Dataset) on every encoding it converts or walks, and the element
// writer's header forms: seams Python reaches only through whole engines.
#include <gtest/gtest.h>

#include <zlib.h>

#include "bytes_builder.hpp"
#include "core/dataset.hpp"
#include "core/item_writer.hpp"
#include "core/tags.hpp"
#include "core/values.hpp"
#include "core/writer.hpp"

using namespace loamwerk;
using namespace loamtest;

namespace {

constexpr const char* kCt = "1.2.840.10008.5.1.4.1.1.2";

// One data set in three encodings: Patient Name, an item of Code Sequence, Rows, Pixel Spacing.
enum class Form { kImplicit, kExplicit, kBigEndian };

void put_be16(Bytes& b, std::uint16_t v) { b.push_back(std::uint8_t(v >> 8)), b.push_back(std::uint8_t(v)); }
void put_be32(Bytes& b, std::uint32_t v) { put_be16(b, std::uint16_t(v >> 16)), put_be16(b, std::uint16_t(v)); }

Bytes element(Form form, Tag tag, const char* vr, const Bytes& value) {
    const auto g = std::uint16_t(tag >> 16), e = std::uint16_t(tag);
    if (form == Form::kImplicit) return implicit_el(g, e, value);
    const bool long_form = std::string_view(vr) == "SQ";
    if (form == Form::kExplicit) return explicit_el(g, e, vr, value, long_form, std::uint32_t(value.size()));
    Bytes b;
    put_be16(b, g), put_be16(b, e);
    b.push_back(std::uint8_t(vr[0])), b.push_back(std::uint8_t(vr[1]));
    if (long_form) put_be16(b, 0), put_be32(b, std::uint32_t(value.size()));
    else put_be16(b, std::uint16_t(value.size()));
    append(b, value);
    return b;
}

Bytes item_of(Form form, const Bytes& content) {
    Bytes b;
    if (form == Form::kBigEndian) put_be16(b, 0xFFFE), put_be16(b, 0xE000), put_be32(b, std::uint32_t(content.size()));
    else put16(b, 0xFFFE), put16(b, 0xE000), put32(b, std::uint32_t(content.size()));
    append(b, content);
    return b;
}

Bytes body(Form form) {
    Bytes rows;
    if (form == Form::kBigEndian) put_be16(rows, 512);
    else put16(rows, 512);
    Bytes b;
    append(b, element(form, tags::kSOPClassUID, "UI", text(std::string(kCt) + '\0')));
    append(b, element(form, tags::kPatientName, "PN", text("Doe^J ")));
    append(b, element(form, tags::kConceptNameCodeSequence, "SQ",
                      item_of(form, element(form, tags::kCodeValue, "SH", text("113000")))));
    append(b, element(form, tags::kRows, "US", rows));
    append(b, element(form, tags::kPixelSpacing, "DS", text("0.5\\0.7 ")));
    return b;
}

Bytes part10(const Bytes& data_set, std::string_view syntax) {
    std::vector<std::uint8_t> out;
    EXPECT_EQ(Part10Wrap(kCt, "1.2.3.4", data_set, syntax, out), wrap_result::kOk);
    return out;
}

Bytes deflate_raw(const Bytes& in) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&z, uLong(in.size())));
    z.next_in = const_cast<Bytef*>(in.data()), z.avail_in = uInt(in.size());
    z.next_out = out.data(), z.avail_out = uInt(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

void expect_values(const Dataset& ds) {
    ASSERT_TRUE(ds.readable());
    EXPECT_TRUE(ds.parsed());
    EXPECT_EQ(ds.text(tags::kPatientName), "Doe^J");
    EXPECT_EQ(ds.integer(tags::kRows), 512);
    EXPECT_EQ(ds.numbers(tags::kPixelSpacing), (std::vector<double>{0.5, 0.7}));
    const Items items = ds.items(tags::kConceptNameCodeSequence);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(text_of(items[0], tags::kCodeValue), "113000");
    EXPECT_EQ(ds.text(tags::kStudyDate), "");
    EXPECT_FALSE(ds.integer(tags::kColumns));
}

struct Case {
    const char* name;
    Form form;
    const char* syntax;
    bool deflate, converted;
};

class FrontDoor : public testing::TestWithParam<Case> {};

TEST_P(FrontDoor, ReadsTheSameValuesInEveryEncoding) {
    const Case& c = GetParam();
    const Bytes data_set = c.deflate ? deflate_raw(body(c.form)) : body(c.form);
    const Bytes file = part10(data_set, c.syntax);
    const Dataset ds = Dataset::borrow(file);
    EXPECT_EQ(ds.converted(), c.converted);
    expect_values(ds);
    // Views stay valid when the Dataset moves (owned and converted bytes live on the heap).
    OwnedBuffer owned(file.size());
    std::copy(file.begin(), file.end(), owned.data());
    Dataset moved = Dataset::own(std::move(owned));
    Dataset there = std::move(moved);
    expect_values(there);
    // A bare data set in the same encoding is sniffed (a deflated one cannot be).
    if (!c.deflate) expect_values(Dataset::borrow(body(c.form)));
}

INSTANTIATE_TEST_SUITE_P(Encodings, FrontDoor,
                         testing::Values(Case{"implicit", Form::kImplicit, "1.2.840.10008.1.2", false, false},
                                         Case{"explicit", Form::kExplicit, "1.2.840.10008.1.2.1", false, false},
                                         Case{"big_endian", Form::kBigEndian, "1.2.840.10008.1.2.2", false, true},
                                         Case{"deflated", Form::kExplicit, "1.2.840.10008.1.2.1.99", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FrontDoor, BigEndianAsStoredKeepsTheBytesAndConvertsOnRequest) {
    const Bytes file = part10(body(Form::kBigEndian), "1.2.840.10008.1.2.2");
    const Dataset stored = Dataset::borrow(file, Dataset::Body::kAsStored);
    ASSERT_TRUE(stored.readable());
    EXPECT_FALSE(stored.converted());
    EXPECT_EQ(stored.encoding(), Encoding::ExplicitBE);
    const ElementRef* rows = stored.find(tags::kRows);
    ASSERT_NE(rows, nullptr);
    EXPECT_EQ(load_be16(rows->value), 512);
    EXPECT_GE(rows->value, file.data());
    EXPECT_LT(rows->value, file.data() + file.size());
    Dataset holder;
    const Dataset& little = little_endian(stored, holder);
    EXPECT_EQ(&little, &holder);
    expect_values(little);
    // A little-endian one is its own view: no second walk.
    const Bytes le = part10(body(Form::kExplicit), "1.2.840.10008.1.2.1");
    const Dataset same = Dataset::borrow(le, Dataset::Body::kAsStored);
    EXPECT_EQ(&little_endian(same, holder), &same);
}

TEST(FrontDoor, TruncatedInputKeepsWhatWasReadable) {
    const Bytes file = part10(body(Form::kExplicit), "1.2.840.10008.1.2.1");
    // Cut inside the Pixel Spacing header: everything before it is still there.
    const std::size_t cut = file.size() - 12;
    const Dataset ds = Dataset::borrow(std::span<const std::uint8_t>(file.data(), cut));
    ASSERT_TRUE(ds.readable());
    EXPECT_EQ(ds.text(tags::kPatientName), "Doe^J");
    EXPECT_EQ(ds.integer(tags::kRows), 512);
    EXPECT_TRUE(ds.numbers(tags::kPixelSpacing).empty());
}

TEST(FrontDoor, WhatIsNotADataSetIsNotReadable) {
    const Bytes noise = text("this is not a DICOM file at all, just some words");
    EXPECT_FALSE(Dataset::borrow(noise).readable());
    EXPECT_FALSE(Dataset::borrow({}).readable());
    // A deflated body that does not inflate, and a big-endian one that cannot be rewritten.
    EXPECT_FALSE(Dataset::borrow(part10(text("not deflate data"), "1.2.840.10008.1.2.1.99")).readable());
    Bytes cut_be = body(Form::kBigEndian);
    cut_be.resize(cut_be.size() - 5);
    EXPECT_FALSE(Dataset::borrow(part10(cut_be, "1.2.840.10008.1.2.2")).readable());
}

TEST(ValueReads, IntegersFloatsAndNumbersByVr) {
    Bytes b;
    Bytes ss, fl, fd;
    put16(ss, 0xFFFE);  // -2
    const float f = 1.5f;
    const double d = -0.25;
    fl.resize(4), std::memcpy(fl.data(), &f, 4);
    fd.resize(8), std::memcpy(fd.data(), &d, 8);
    append(b, explicit_short(0x0018, 0x9219, "SS", ss));
    append(b, explicit_short(0x0020, 0x0013, "IS", text("+12 ")));
    append(b, explicit_short(0x0018, 0x0050, "DS", text("2.5 ")));
    append(b, explicit_short(0x0020, 0x0100, "IS", text("20191000000000000000000000000000")));  // Temporal Position Identifier
    append(b, explicit_short(0x0018, 0x9087, "FD", fd));      // Diffusion b-value
    append(b, explicit_short(0x0048, 0x0001, "FL", fl));      // Imaged Volume Width
    Elements es;
    ASSERT_TRUE(dataset::parse(b.data(), b.size(), Encoding::ExplicitLE, es));
    EXPECT_EQ(integer_of(es, tags::kTagAngleSecondAxis), -2);
    EXPECT_EQ(integer_of(es, tags::kInstanceNumber), 12);
    EXPECT_EQ(float_of(es, tags::kSliceThickness), 2.5);
    EXPECT_EQ(float_of(es, tags::kDiffusionBValue), -0.25);
    EXPECT_EQ(float_of(es, tags::kImagedVolumeWidth), 1.5);
    EXPECT_EQ(numbers(*find_element(es, tags::kTagAngleSecondAxis)), std::vector<double>{-2});
    EXPECT_FALSE(float_of(es, tags::kPatientName));
    EXPECT_FALSE(integer_of(es, tags::kTemporalPositionIdentifier));  // beyond any integer type
}

// The writer chooses the 12-byte header for every long-length VR, not just the common ones.
TEST(ItemWriter, LongLengthVrsGetTheLongHeader) {
    for (const char* vr : {"OB", "OD", "OF", "OL", "OV", "OW", "SQ", "SV", "UC", "UN", "UR", "UT", "UV"}) {
        ItemWriter w;
        w.text(0x00091010, vr, "ab");
        ASSERT_EQ(w.out.size(), 14u) << vr;
        EXPECT_EQ(load_le16(w.out.data() + 6), 0) << vr;
        EXPECT_EQ(load_le32(w.out.data() + 8), 2u) << vr;
    }
    for (const char* vr : {"LO", "SH", "DS", "UI", "CS", "PN", "ST", "LT"}) {
        ItemWriter w;
        w.text(0x00091010, vr, "ab");
        ASSERT_EQ(w.out.size(), 10u) << vr;
        EXPECT_EQ(load_le16(w.out.data() + 6), 2) << vr;
    }
    // What it writes walks back to the same value.
    ItemWriter w;
    w.text(tags::kRetrieveURL, "UR", "http://x/");
    w.text(tags::kPatientName, "PN", "A^B");
    Elements es;
    ASSERT_TRUE(dataset::parse(w.out.data(), w.out.size(), Encoding::ExplicitLE, es));
    EXPECT_EQ(text_of(es, tags::kRetrieveURL), "http://x/");
    EXPECT_EQ(text_of(es, tags::kPatientName), "A^B");
}

}  // namespace
