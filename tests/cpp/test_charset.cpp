// The decoder's C-style entry points that no Python function reaches yet: the one-shot call,
// the term check, result codes without the batch options, and the log plumbing.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/charset.hpp"
#include "core/vr.hpp"

using namespace loamwerk;

namespace {
const std::uint8_t* u8(const char* s) { return reinterpret_cast<const std::uint8_t*>(s); }

struct Closer {
    void operator()(CharsetDecoder* d) const { charset_decoder_close(d); }
};
using Decoder = std::unique_ptr<CharsetDecoder, Closer>;

int single(const char* charset, const std::string& value, VR vr, std::string* text) {
    char out[256];
    std::size_t n = 0;
    const int rc = decode_single(charset, u8(value.c_str()), value.size(), out, sizeof out, &n, vr);
    *text = std::string(out);
    if (rc == kCharsetOk) {
        EXPECT_EQ(n, text->size() + 1);  // the length counts the terminator
    }
    return rc;
}

void keep(int level, const char* message, void* user) {
    static_cast<std::vector<std::string>*>(user)->push_back(std::to_string(level) + " " + message);
}
}  // namespace

TEST(DecodeSingle, ResultCodes) {
    std::string t;
    EXPECT_EQ(single("ISO_IR 100", "J\xE9r\xF4me", vr::PN, &t), kCharsetOk);
    EXPECT_EQ(t, "J\xC3\xA9r\xC3\xB4me");
    EXPECT_EQ(single("ISO_IR 100", "CT\xE9", vr::CS, &t), kCharsetBadByte);  // ASCII-only VR
    EXPECT_EQ(single("NOT A TERM", "abc", vr::LO, &t), kCharsetCannotOpen);     // not lenient
    EXPECT_EQ(single("", "\x80", vr::LO, &t), kCharsetBadByte);                 // neither discard nor replace
    EXPECT_EQ(single("\\ISO 2022 IR 87", "ab\x1b", vr::LO, &t), kCharsetBadEscape);
    EXPECT_EQ(t, "ab");  // what was converted before the failure
    EXPECT_EQ(single("ISO 2022 IR 6", "a\x1b$)Cb", vr::LO, &t), kCharsetUndeclaredEscape);
    EXPECT_EQ(single("ISO_IR 192", "\xE7\x8E\x8B", 0, &t), kCharsetOk);  // unknown VR: the LO row
    EXPECT_EQ(t, "\xE7\x8E\x8B");
    char out[4];
    std::size_t n = 0;
    EXPECT_EQ(decode_single("", u8("abcdef"), 6, out, sizeof out, &n, vr::LO), kCharsetOutputTooSmall);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(decode_single("", nullptr, 3, out, sizeof out, &n, vr::LO), kCharsetMissingArgument);
}

TEST(DecodeSingle, ShortBufferCutsAtACharacterBoundary) {
    char out[3];
    std::size_t n = 0;
    EXPECT_EQ(decode_single("ISO_IR 100", u8("\xE9\xE9"), 2, out, sizeof out, &n, vr::LO), kCharsetOutputTooSmall);
    EXPECT_STREQ(out, "\xC3\xA9");
}

TEST(KnownCharset, Terms) {
    EXPECT_TRUE(is_known_charset("ISO_IR 100"));
    EXPECT_TRUE(is_known_charset("\\ISO 2022 IR 87"));
    EXPECT_TRUE(is_known_charset(" ISO 2022 IR 6 \\ ISO 2022 IR 149 "));
    EXPECT_TRUE(is_known_charset("iso_ir 192"));
    EXPECT_FALSE(is_known_charset("ISO-IR 100"));
    EXPECT_FALSE(is_known_charset("ISO_IR 100\\KOI8-R"));
}

TEST(Decoder, BuildMessagesReachALoggerSetLater) {
    Decoder d(charset_decoder_open("\\iso 2022-ir 87", kCharsetBatchOptions));
    ASSERT_TRUE(d);
    std::vector<std::string> log;
    set_logger(d.get(), keep, &log);
    EXPECT_EQ(log, (std::vector<std::string>{"1 Empty first value, assuming ISO 2022 IR 6",
                                             "2 Charset 'iso 2022-ir 87' mapped to 'ISO 2022 IR 87'"}));
}

TEST(Decoder, ManufacturerRebuildsOnlyWhenTheWorkaroundChangesTheTerm) {
    Decoder d(charset_decoder_open("ISO_IR 100", kCharsetBatchOptions));
    std::vector<std::string> log;
    set_logger(d.get(), keep, &log);
    char out[32];
    std::size_t n = 0;
    auto euro = [&] {
        decode_value(d.get(), u8("\x80"), 1, out, sizeof out, &n, "\\");
        return std::string(out);
    };
    EXPECT_EQ(euro(), "\xC2\x80");
    set_manufacturer(d.get(), "SIEMENS Healthineers");
    EXPECT_EQ(euro(), "\xE2\x82\xAC");
    const std::size_t logged = log.size();
    set_manufacturer(d.get(), "Siemens AG");  // same workaround: no rebuild, nothing logged
    EXPECT_EQ(log.size(), logged);
    set_manufacturer(d.get(), nullptr);
    EXPECT_EQ(euro(), "\xC2\x80");
}

TEST(Decoder, ReplaceOption) {
    Decoder d(charset_decoder_open("ISO 2022 IR 6", kCharsetReplace));
    char out[32];
    std::size_t n = 0;
    EXPECT_EQ(decode_value(d.get(), u8("a\xFF" "b"), 3, out, sizeof out, &n, "\\"), kCharsetOk);
    EXPECT_STREQ(out, "a?b");
}

TEST(Batch, EveryElementGetsAnEntry) {
    std::unique_ptr<TextDecoder, void (*)(TextDecoder*)> t(text_decoder_open("ISO_IR 100", "SIEMENS", nullptr, nullptr),
                                                           text_decoder_close);
    ASSERT_TRUE(t);
    std::vector<CharsetElement> in;
    std::string big(100000, 'x');  // more than the first arena
    in.push_back({0x00100010, vr::PN, u8("\x80^A"), 3});
    in.push_back({0x00080060, vr::CS, u8("C\xE9T"), 3});
    in.push_back({0x00204000, vr::LT, u8(big.c_str()), big.size()});
    for (int i = 0; i < 2000; ++i) in.push_back({0x00100020, vr::LO, u8("ID"), 2});  // beyond 1,024 results
    const CharsetResult* r = nullptr;
    std::size_t n = 0;
    ASSERT_EQ(decode_elements(t.get(), in.data(), in.size(), &r, &n), kCharsetOk);
    ASSERT_EQ(n, in.size());
    EXPECT_STREQ(r[0].text, "\xE2\x82\xAC^A");
    EXPECT_STREQ(r[1].text, "CT");
    EXPECT_EQ(r[2].length, big.size());
    EXPECT_STREQ(r[n - 1].text, "ID");
}
