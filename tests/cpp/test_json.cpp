// The JSON writer's numbers mode and the message table, which Python reaches only partly.
#include <gtest/gtest.h>

#include <string>

#include "bytes_builder.hpp"
#include "json/to_json.hpp"

using namespace loamwerk;
using namespace loamtest;

namespace {
std::string numbers(const char* vr, const std::string& value) {
    const Bytes b = explicit_short(vr[0] == 'I' ? 0x0020 : 0x0018, vr[0] == 'I' ? 0x0013 : 0x0050, vr, text(value));
    bridge::JsonWriteOptions o;
    o.numeric_as_text = false;
    const auto r = bridge::dataset_to_json(b.data(), b.size(), o);
    EXPECT_TRUE(r.ok());
    const std::size_t at = r.value.find("\"Value\":[");
    return at == std::string::npos ? r.value : r.value.substr(at + 9, r.value.size() - at - 9 - 3);
}
}  // namespace

TEST(JsonNumbers, DecimalStrings) {
    EXPECT_EQ(numbers("DS", "1.50"), "1.5");
    EXPECT_EQ(numbers("DS", "0.1 "), "0.10000000000000001");
    EXPECT_EQ(numbers("DS", "+2e3\\-.5"), "2000,-0.5");
    EXPECT_EQ(numbers("DS", "  \\abc"), "null,\"abc\"");
    EXPECT_EQ(numbers("DS", "1e999 "), "\"1e999\"");  // not finite: kept as text
    EXPECT_EQ(numbers("DS", "1.\\.5"), "1,0.5");
    EXPECT_EQ(numbers("DS", "e5"), "\"e5\"");
}

TEST(JsonNumbers, IntegerStrings) {
    EXPECT_EQ(numbers("IS", "+12 "), "12");
    EXPECT_EQ(numbers("IS", "-9223372036854775808"), "-9223372036854775808");
    EXPECT_EQ(numbers("IS", "9223372036854775808 "), "\"9223372036854775808\"");
    EXPECT_EQ(numbers("IS", "12.0"), "\"12.0\"");
    EXPECT_EQ(numbers("IS", "- "), "\"-\"");
}

TEST(Bridge, Messages) {
    EXPECT_EQ(bridge::message(2), "length field overruns container");
    EXPECT_EQ(bridge::message(8), "unknown bridge error");
    EXPECT_EQ(bridge::message(-3), "unknown bridge error");
}
