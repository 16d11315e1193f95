// Series file reading with retries.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "volume/slurp.hpp"

namespace fs = std::filesystem;
using loamwerk::volume::slurp;

namespace {
fs::path temp_file(const char* name, const std::string& content) {
    const fs::path p = fs::temp_directory_path() / name;
    std::ofstream(p, std::ios::binary) << content;
    return p;
}
}  // namespace

TEST(Slurp, ReadsTheWholeFile) {
    const auto p = temp_file("loam_slurp_a.bin", std::string("abc\0def", 7));
    const auto buf = slurp(p.string());
    ASSERT_EQ(buf.size(), 7u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buf.data()), 7), std::string("abc\0def", 7));
    fs::remove(p);
}

TEST(Slurp, EmptyMissingAndDirectoryGiveEmptyBuffers) {
    const auto p = temp_file("loam_slurp_empty.bin", "");
    EXPECT_EQ(slurp(p.string()).size(), 0u);
    fs::remove(p);
    EXPECT_EQ(slurp("/nonexistent/loam/file.dcm").size(), 0u);
    EXPECT_EQ(slurp(fs::temp_directory_path().string()).size(), 0u);
}

TEST(Slurp, ShortReadsExhaustTheRetries) {
    // sysfs reports a size of one page and delivers far fewer bytes.
    const char* path = "/sys/kernel/mm/transparent_hugepage/enabled";
    if (!fs::exists(path)) GTEST_SKIP() << "no sysfs file with a short read here";
    try {
        slurp(path);
        FAIL() << "expected the retry error";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), std::string("volume::slurp: could not fully read ") + path +
                                             " after retries (transient I/O \u2014 is the disk full or under memory pressure?)");
    }
}
