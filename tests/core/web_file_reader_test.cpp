#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "packer/web_file_reader.h"
#include "support/test_support.h"

namespace {

using packer::WebFileReader;
using testing_support::TempDir;

std::string Content(std::size_t length, int seed) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        text.push_back(static_cast<char>((i * 17 + static_cast<std::size_t>(seed)) & 0xFF));
    }
    return text;
}

std::string Read(WebFileReader& reader, const std::string& path, std::size_t limit) {
    std::vector<std::uint8_t> buffer;
    const auto size = reader.Read(path, buffer, limit);
    if (!size) {
        return "<error>";
    }
    return std::string(buffer.begin(), buffer.begin() + *size);
}

TEST(WebFileReader, ReadsRightFileWhenFoldersAlternate) {
    // The reader keeps the last folder open: files of different folders that share a name, or
    // folders whose paths are prefixes of each other, must not be mixed up.
    TempDir dir;
    const auto a = dir.Write("a/f", "from a");
    const auto ab = dir.Write("ab/f", "from ab");
    const auto nested = dir.Write("a/b/f", "from a/b");
    const std::string doubled = dir.path().string() + "//top";
    dir.Write("top", "top");
    WebFileReader reader;
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(Read(reader, a.string(), 100), "from a");
        EXPECT_EQ(Read(reader, ab.string(), 100), "from ab");
        EXPECT_EQ(Read(reader, nested.string(), 100), "from a/b");
        EXPECT_EQ(Read(reader, doubled, 100), "top");
    }
}

TEST(WebFileReader, ReopensFolderWhenComingBackToIt) {
    TempDir dir;
    const auto f = dir.Write("x/f", "one");
    const auto g = dir.Write("y/g", "other");
    WebFileReader reader;
    EXPECT_EQ(Read(reader, f.string(), 100), "one");
    EXPECT_EQ(Read(reader, g.string(), 100), "other");
    std::filesystem::remove_all(dir.path() / "x");
    dir.Write("x/f", "two");
    EXPECT_EQ(Read(reader, f.string(), 100), "two");
}

TEST(WebFileReader, GrowsBufferForLargeFileAndStopsAtLimit) {
    TempDir dir;
    const std::string big = Content(300 * 1024, 3);
    const auto file = dir.Write("big.bin", big);
    WebFileReader reader;
    EXPECT_EQ(Read(reader, file.string(), 1 << 20), big);
    const std::string cut = Read(reader, file.string(), 1000);
    EXPECT_EQ(cut, big.substr(0, 1000));
}

TEST(WebFileReader, ReadsFileWithoutSizeOfItsOwnPastTheProbe) {
    // Files in /proc report size 0 but have content: they must be read to their end.
    const std::string path = "/proc/self/maps";
    if (access(path.c_str(), R_OK) != 0) {
        GTEST_SKIP() << "no /proc";
    }
    WebFileReader reader;
    std::vector<std::uint8_t> buffer;
    const auto size = reader.Read(path, buffer, 1 << 20);
    ASSERT_TRUE(size);
    EXPECT_GT(*size, 0);
}

TEST(WebFileReader, FailsOnMissingFileMissingFolderAndRelativeName) {
    TempDir dir;
    WebFileReader reader;
    EXPECT_EQ(Read(reader, (dir.path() / "none").string(), 10), "<error>");
    EXPECT_EQ(Read(reader, (dir.path() / "no" / "none").string(), 10), "<error>");
    EXPECT_EQ(Read(reader, "no-such-relative-file-here", 10), "<error>");
    EXPECT_EQ(Read(reader, dir.path().string() + "/", 10), "<error>");
}

}  // namespace
