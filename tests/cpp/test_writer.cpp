// The output buffer and element writers, which Python reaches only through whole files.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/writer.hpp"

using namespace loamwerk;

TEST(ByteSink, GrowsFrom64KibByDoubling) {
    ByteSink s;
    std::vector<std::uint8_t> chunk(0x9000, 7);
    ASSERT_TRUE(s.append(chunk.data(), chunk.size()));
    EXPECT_EQ(s.capacity(), 0x10000u);
    ASSERT_TRUE(s.append(chunk.data(), chunk.size()));
    EXPECT_EQ(s.capacity(), 0x20000u);
    EXPECT_EQ(s.size(), 0x12000u);
    EXPECT_EQ(s.data()[0x11FFF], 7);
}

TEST(ByteSink, AWriteThatCannotFitWritesNothingAndSticks) {
    ByteSink s;
    ASSERT_TRUE(s.append("abcd", 4));
    EXPECT_FALSE(s.append2("ef", 2, nullptr, std::size_t(ByteSink::kMaxCapacity)));
    EXPECT_EQ(s.size(), 4u);
    EXPECT_TRUE(s.failed());
    EXPECT_FALSE(s.append("gh", 2));  // later writes are refused too
    EXPECT_EQ(s.size(), 4u);
}

TEST(EvrWriter, VrZeroAndOverlongShortFormsBecomeUn) {
    std::vector<std::uint8_t> out;
    EvrElementWriter w(out);
    ASSERT_TRUE(w.append(0x0009, 0x1001, 0, reinterpret_cast<const std::uint8_t*>("ab"), 2));
    const std::uint8_t expect_un[] = {0x09, 0x00, 0x01, 0x10, 'U', 'N', 0, 0, 2, 0, 0, 0, 'a', 'b'};
    ASSERT_EQ(out.size(), sizeof expect_un);
    EXPECT_EQ(std::memcmp(out.data(), expect_un, sizeof expect_un), 0);

    out.clear();
    std::vector<std::uint8_t> big(65535, 'x');
    ASSERT_TRUE(w.append(0x0010, 0x4000, vr::LT, big.data(), big.size()));
    EXPECT_EQ(out[4], 'U');
    EXPECT_EQ(out.size(), 12 + big.size());

    out.clear();
    ASSERT_TRUE(w.append(0x0028, 0x0010, vr::US, reinterpret_cast<const std::uint8_t*>("\x02\x00"), 2));
    const std::uint8_t expect_us[] = {0x28, 0x00, 0x10, 0x00, 'U', 'S', 2, 0, 2, 0};
    EXPECT_EQ(std::memcmp(out.data(), expect_us, sizeof expect_us), 0);
}

TEST(EvrWriter, FailingSinkGetsNoPartialElement) {
    ByteSink s;
    EvrElementWriter w(s);
    ASSERT_TRUE(w.append(0x0008, 0x0060, vr::CS, reinterpret_cast<const std::uint8_t*>("CT"), 2));
    EXPECT_FALSE(w.append(0x7FE0, 0x0010, vr::OW, reinterpret_cast<const std::uint8_t*>("x"), std::size_t(ByteSink::kMaxCapacity)));
    EXPECT_EQ(s.size(), 10u);
    EXPECT_TRUE(s.failed());
}

TEST(Padding, TextAndBinary) {
    std::string ui = "1.2.3", pn = "Doe^J", ob = "\x01", lo = std::string("ab\0cd", 5);
    pad_value(vr::UI, ui), pad_value(vr::PN, pn), pad_value(vr::OB, ob), pad_value(vr::LO, lo);
    EXPECT_EQ(ui, std::string("1.2.3\0", 6));
    EXPECT_EQ(pn, "Doe^J ");
    EXPECT_EQ(ob, std::string("\x01\0", 2));
    EXPECT_EQ(lo, "ab");
}

TEST(ObjectFileMeta, GroupLengthCountsTheGroup) {
    ByteSink s;
    ASSERT_TRUE(write_object_file_meta(s, "1.2.840.10008.5.1.4.1.1.66.4", "1.2.3"));
    const std::uint8_t* p = s.data();
    EXPECT_EQ(std::memcmp(p + 128, "DICM", 4), 0);
    std::uint32_t group_length;
    std::memcpy(&group_length, p + 140, 4);
    EXPECT_EQ(144 + group_length, s.size());
    // (0002,0010) is Explicit VR Little Endian with its NUL pad, and no (0002,0013) is written.
    const std::string body(reinterpret_cast<const char*>(p), s.size());
    EXPECT_NE(body.find(std::string("\x02\x00\x10\x00UI\x14\x00" "1.2.840.10008.1.2.1\0", 28)), std::string::npos);
    EXPECT_EQ(body.find(std::string("\x02\x00\x13\x00", 4)), std::string::npos);
}

TEST(Part10Wrap, OutputTooSmallAndBadUids) {
    const std::uint8_t body[] = {0x08, 0x00, 0x60, 0x00, 'C', 'S', 2, 0, 'C', 'T'};
    std::vector<std::uint8_t> out(100);
    std::size_t written = 0;
    EXPECT_EQ(part10_wrap_into("1.2", "1.3", body, "1.2.840.10008.1.2.1", out.data(), out.size(), &written),
              wrap_result::kOutputTooSmall);
    EXPECT_EQ(Part10Wrap("1.2", std::string(65, '1'), body, "1.2.840.10008.1.2.1", out), wrap_result::kBadUid);
    EXPECT_EQ(Part10Wrap("1.2", "1.3", body, "1.2.840.10008.1.2.1", out), wrap_result::kOk);
    EXPECT_EQ(out.size(), part10_wrapped_size("1.2", "1.3", sizeof body, "1.2.840.10008.1.2.1"));
    EXPECT_EQ(std::memcmp(out.data() + out.size() - sizeof body, body, sizeof body), 0);
}
