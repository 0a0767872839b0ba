#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "packer/image_reader.h"
#include "packer/printable_name.h"
#include "packer/web_image.h"
#include "support/skip_on_windows.h"
#include "support/test_support.h"

namespace {

using packer::ReadImageDirectory;
using testing_support::TempDir;

// A small, valid image: N = 3, files "/a.htm" (3 bytes) and "/d/b.css" (2 bytes).
std::vector<std::uint8_t> ValidImage() {
    std::vector<std::uint8_t> image(3 * 32, 0);
    std::memcpy(image.data(), "/a.htm", 6);
    packer::StoreU32LE(image.data() + 24, 96);
    packer::StoreU32LE(image.data() + 28, 3);
    std::memcpy(image.data() + 32, "/d/b.css", 8);
    packer::StoreU32LE(image.data() + 56, 99);
    packer::StoreU32LE(image.data() + 60, 2);
    for (const char c : std::string("AAABB")) {
        image.push_back(static_cast<std::uint8_t>(c));
    }
    return image;
}

TEST(ReadImageDirectory, ReadsValidImageAndItsFill) {
    auto image = ValidImage();
    auto result = ReadImageDirectory(image.data(), image.size());
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.directory.entryCount, 3);
    EXPECT_EQ(result.directory.usedLength, 101u);
    ASSERT_EQ(result.directory.entries.size(), 2u);
    EXPECT_EQ(result.directory.entries[1].name, "/d/b.css");
    EXPECT_EQ(result.directory.entries[1].offset, 99u);
    EXPECT_EQ(result.directory.entries[1].size, 2u);

    image.resize(1024, 0xFF);  // a full-size image keeps its 0xFF fill
    result = ReadImageDirectory(image.data(), image.size());
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.directory.usedLength, 101u);
}

// An image of zeros was taken as a directory of unused entries and sent: the device erased all.
TEST(ReadImageDirectory, RefusesImageWithNoFile) {
    for (const std::size_t zeros : {32u, 64u, 196608u}) {
        std::vector<std::uint8_t> image(zeros, 0);
        image.resize(zeros + (zeros == 64 ? 100 : 0), 0xFF);  // with the fill and without
        EXPECT_EQ(ReadImageDirectory(image.data(), image.size()).error, packer::kNoFileInImage);
    }
}

TEST(ReadImageDirectory, RejectsMalformedImages) {
    using Image = std::vector<std::uint8_t>;
    struct Case {
        const char* label;
        void (*spoil)(Image&);
        const char* errorPart;
    };
    const Case cases[] = {
        {"shorter than one entry", [](Image& i) { i.resize(31); }, "shorter than one directory"},
        {"name not terminated", [](Image& i) { std::memset(i.data(), 'x', 24); },
         "not zero-terminated"},
        {"name not rooted", [](Image& i) { i[0] = 'a'; }, "does not begin with \"/\""},
        {"name is only a slash", [](Image& i) { std::memset(i.data() + 1, 0, 5); },
         "entry 0: name \"/\" has nothing after the \"/\""},
        {"name is empty", [](Image& i) { std::memset(i.data(), 0, 6); }, "entry 0: name is empty"},
        {"padding not zero", [](Image& i) { i[20] = 'q'; }, "not padded"},
        {"first offset not a multiple of 32", [](Image& i) { packer::StoreU32LE(&i[24], 97); },
         "is not the end of a directory"},
        {"first offset zero", [](Image& i) { packer::StoreU32LE(&i[24], 0); },
         "is not the end of a directory"},
        {"directory past the end", [](Image& i) { packer::StoreU32LE(&i[24], 0xFFFFFFE0u); },
         "longer than the image"},
        {"overlap", [](Image& i) { packer::StoreU32LE(&i[56], 98); }, "overlaps"},
        {"hole between contents", [](Image& i) { packer::StoreU32LE(&i[56], 100); }, "hole"},
        {"size past the end", [](Image& i) { packer::StoreU32LE(&i[60], 3); }, "runs past"},
        {"size wrapping 32 bits", [](Image& i) { packer::StoreU32LE(&i[60], 0xFFFFFFFFu); },
         "runs past"},
        {"size zero", [](Image& i) { packer::StoreU32LE(&i[60], 0); }, "size is 0"},
        {"non-zero unused entry", [](Image& i) { i[64 + 30] = 1; }, "entry 2"},
        {"used entry after unused",
         [](Image& i) {
             std::memcpy(&i[64], &i[32], 32);
             std::memset(&i[32], 0, 32);
         },
         "hole"},
        {"garbage after contents", [](Image& i) { i.push_back(0x00); }, "not 0xFF fill"},
        {"short empty directory then data",
         [](Image& i) {
             std::memset(i.data(), 0, 96);
             i[40] = 7;
         },
         "data follows the directory"},
    };
    for (const Case& c : cases) {
        Image image = ValidImage();
        c.spoil(image);
        const auto result = ReadImageDirectory(image.data(), image.size());
        EXPECT_FALSE(result.ok) << c.label;
        EXPECT_NE(result.error.find(c.errorPart), std::string::npos)
            << c.label << ": " << result.error;
    }
}

// A valid image with one 1-byte file per name, N = the number of names.
std::vector<std::uint8_t> ImageOfNames(const std::vector<std::string>& names) {
    std::vector<std::uint8_t> image(names.size() * 32, 0);
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::memcpy(image.data() + i * 32, names[i].data(), names[i].size());
        packer::StoreU32LE(image.data() + i * 32 + 24,
                           static_cast<std::uint32_t>(image.size() + i));
        packer::StoreU32LE(image.data() + i * 32 + 28, 1);
    }
    image.resize(image.size() + names.size(), 'c');
    return image;
}

// Extraction wrote one of two same-named entries over the other, or failed half way on /a + /a/b.
TEST(ReadImageDirectory, NamesThatCannotShareAFolderSetNameError) {
    struct Case {
        std::vector<std::string> names;
        const char* errorPart;  // empty: names are fine
    };
    const Case cases[] = {
        {{"/a", "/b/a", "/b/c", "/bc"}, ""},
        {{"/a.txt", "/b", "/a.txt"}, "entries 0 and 2 have the same name \"/a.txt\""},
        {{"/a", "/a/b"}, "\"/a\" is both a file (entry 0) and a folder (entry 1, \"/a/b\")"},
        {{"/a/b/c", "/a/b"}, "\"/a/b\" is both a file (entry 1) and a folder (entry 0"},
        {{"/x/../y"}, "entry 0: name \"/x/../y\" has an empty"},
        {{"/x\n\x1b[2J", "/x\n\x1b[2J"}, "same name \"/x\\n\\x1b[2J\""},
    };
    for (const Case& c : cases) {
        const auto image = ImageOfNames(c.names);
        const auto result = ReadImageDirectory(image.data(), image.size());
        ASSERT_TRUE(result.ok) << result.error;
        if (*c.errorPart == '\0') {
            EXPECT_EQ(result.nameError, "");
        } else {
            EXPECT_NE(result.nameError.find(c.errorPart), std::string::npos) << result.nameError;
            TempDir dir;
            EXPECT_TRUE(packer::ExtractImage(image.data(), image.size(), result.directory,
                                             (dir.path() / "out").string())
                            .failed());
            EXPECT_FALSE(std::filesystem::exists(dir.path() / "out")) << c.errorPart;
        }
    }
}

TEST(ReadImageDirectory, RejectsNullData) {
    EXPECT_FALSE(ReadImageDirectory(nullptr, 100).ok);
}

TEST(ExtractImage, WritesEveryFileCreatingFolders) {
    const auto image = ValidImage();
    const auto read = ReadImageDirectory(image.data(), image.size());
    ASSERT_TRUE(read.ok);
    TempDir dir;
    const auto out = dir.path() / "out";
    const auto error =
        packer::ExtractImage(image.data(), image.size(), read.directory, out.string());
    ASSERT_FALSE(error.failed()) << error.text;
    EXPECT_EQ(testing_support::ReadFile(out / "a.htm"), "AAA");
    EXPECT_EQ(testing_support::ReadFile(out / "d" / "b.css"), "BB");
}

TEST(ExtractImage, RefusesNamesThatWouldLeaveTheFolder) {
    const std::vector<std::uint8_t> data(64, 'x');
    for (const char* name : {"/../x", "/a/../../x", "/./x", "//x", "/a//b", "/a/", "/..", "x"}) {
        TempDir dir;
        packer::ImageDirectory directory;
        directory.entries.push_back({name, 0, 4});
        const auto error = packer::ExtractImage(data.data(), data.size(), directory,
                                                (dir.path() / "out").string());
        EXPECT_NE(error.text.find("refusing"), std::string::npos) << name;
        EXPECT_FALSE(std::filesystem::exists(dir.path() / "out")) << name;
        EXPECT_FALSE(std::filesystem::exists(dir.path() / "x")) << name;
    }
}

TEST(ExtractImage, DoesNotWriteThroughLinkInTargetFolder) {
    VELLUMIX_SKIP_ON_WINDOWS("making symbolic links needs a privilege on Windows");
    const auto image = ValidImage();
    const auto read = ReadImageDirectory(image.data(), image.size());
    TempDir outside;
    TempDir dir;
    std::filesystem::create_directory_symlink(outside.path(), dir.path() / "d");
    // A link standing at a file's name is replaced, not written through.
    const auto kept = outside.Write("kept", "keep");
    std::filesystem::create_symlink(kept, dir.path() / "a.htm");
    EXPECT_TRUE(
        packer::ExtractImage(image.data(), image.size(), read.directory, dir.path().string())
            .failed());
    EXPECT_FALSE(std::filesystem::exists(outside.path() / "b.css"));
    EXPECT_EQ(testing_support::ReadFile(kept), "keep");
    EXPECT_FALSE(std::filesystem::is_symlink(dir.path() / "a.htm"));
}

TEST(ExtractImage, RefusesEntryPastTheData) {
    const std::vector<std::uint8_t> data(10, 'x');
    packer::ImageDirectory directory;
    directory.entries.push_back({"/a", 8, 4});
    TempDir dir;
    EXPECT_TRUE(
        packer::ExtractImage(data.data(), data.size(), directory, dir.path().string()).failed());
}

}  // namespace

// Names from images are printed; control characters must not reach the terminal raw.
TEST(PrintableName, EscapesControlCharactersAndKeepsOtherBytes) {
    EXPECT_EQ(packer::PrintableName("/a\nb"), "/a\\nb");
    EXPECT_EQ(packer::PrintableName("/\x1b[2J"), "/\\x1b[2J");
    EXPECT_EQ(packer::PrintableName("C:\\web\\x\x7f\t\r"), "C:\\web\\x\\x7f\\t\\r");
    EXPECT_EQ(packer::PrintableName("/caf\xc3\xa9"), "/caf\xc3\xa9");
    EXPECT_TRUE(packer::IsValidUtf8("/caf\xc3\xa9"));
    EXPECT_FALSE(packer::IsValidUtf8("/caf\xe9"));
    EXPECT_FALSE(packer::IsValidUtf8("\xc0\xaf"));      // overlong "/"
    EXPECT_FALSE(packer::IsValidUtf8("\xed\xa0\x80"));  // surrogate
    // Bytes that are not UTF-8, C1 and bidirectional controls hide what a name really is.
    EXPECT_EQ(packer::PrintableName("/caf\xe9\xc0\xaf"), "/caf\\xe9\\xc0\\xaf");
    EXPECT_EQ(packer::PrintableName("/a\xe2\x80\xaegpj.exe\xe2\x81\xa6"),
              "/a\\u202egpj.exe\\u2066");
    EXPECT_EQ(packer::PrintableName("/\xc2\x85J\xe2\x80\x8f"), "/\\u0085J\\u200f");
    EXPECT_EQ(packer::PaddedName("/\xc3\xa9t\xc3\xa9", 7), "/\xc3\xa9t\xc3\xa9   ");
}
