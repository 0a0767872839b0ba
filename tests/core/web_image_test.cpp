#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "packer/web_image.h"
#include "platform/message_box.h"
#include "support/fake_message_box.h"
#include "support/skip_on_windows.h"
#include "support/test_support.h"

namespace {

using packer::BuildReport;
using packer::PackLimits;
using packer::WebFileTable;
using packer::WebImage;
using testing_support::FakeMessageBox;
using testing_support::TempDir;

std::string Bytes(std::size_t count, char fill) {
    return std::string(count, fill);
}

// Everything one build needs, sized from the limits as the main window does.
struct Builder {
    explicit Builder(PackLimits l = {}) : limits(l), table(l.maxFileCount) {
        image.imageBuffer.assign(2 * static_cast<std::size_t>(l.maxRomBytes), 0);
    }
    int Build(const std::string& folder) {
        return packer::BuildWebImage(folder, limits, table, image, messages, &report);
    }
    std::string ImageText(std::size_t from, std::size_t count) const {
        return std::string(reinterpret_cast<const char*>(image.imageBuffer.data()) + from, count);
    }

    PackLimits limits;
    WebFileTable table;
    WebImage image;
    FakeMessageBox messages;
    BuildReport report;
};

TEST(StoreU32LE, WritesLeastSignificantByteFirst) {
    std::uint8_t out[4] = {};
    packer::StoreU32LE(out, 0x12345678u);
    EXPECT_EQ(out[0], 0x78);
    EXPECT_EQ(out[1], 0x56);
    EXPECT_EQ(out[2], 0x34);
    EXPECT_EQ(out[3], 0x12);
}

TEST(BuildWebImage, MatchesWorkedExampleByteForByte) {
    // The listing puts "img" before "index.htm"; with the folder named "jmg" the table order is
    // the worked example's: entry 0 = /index.htm at 1280 (00 05 00 00), size 100 (64 00 00 00).
    TempDir dir;
    const std::string index = Bytes(100, 'i');
    const std::string logo = Bytes(2000, 'L');
    dir.Write("index.htm", index);
    dir.Write("jmg/logo.gif", logo);

    Builder b;
    ASSERT_EQ(b.Build(dir.path().string()), 1);
    const std::vector<std::uint8_t> entry0 = {
        '/', 'i', 'n', 'd', 'e', 'x', '.', 'h', 't',  'm',  0,    0,    0,    0,    0,    0,
        0,   0,   0,   0,   0,   0,   0,   0,   0x00, 0x05, 0x00, 0x00, 0x64, 0x00, 0x00, 0x00};
    const std::vector<std::uint8_t> entry1 = {
        '/', 'j', 'm', 'g', '/', 'l', 'o', 'g', 'o',  '.',  'g',  'i',  'f',  0,    0,    0,
        0,   0,   0,   0,   0,   0,   0,   0,   0x64, 0x05, 0x00, 0x00, 0xD0, 0x07, 0x00, 0x00};
    const auto& image = b.image.imageBuffer;
    EXPECT_TRUE(std::equal(entry0.begin(), entry0.end(), image.begin()));
    EXPECT_TRUE(std::equal(entry1.begin(), entry1.end(), image.begin() + 32));
    EXPECT_TRUE(
        std::all_of(image.begin() + 64, image.begin() + 1280, [](auto v) { return v == 0; }));
    EXPECT_EQ(b.ImageText(1280, 100), index);
    EXPECT_EQ(b.ImageText(1380, 2000), logo);
    EXPECT_TRUE(std::all_of(image.begin() + 3380, image.begin() + 196608,
                            [](auto v) { return v == 0xFF; }));
    EXPECT_EQ(b.image.usedLength, 3380);
}

TEST(BuildWebImage, RefusesImageNameOf24BytesButStores23) {
    struct Case {
        std::size_t nameLength;  // of the top-level file; the image name has one byte more
        int result;
    };
    for (const Case c : {Case{22, 1}, Case{23, 0}}) {
        TempDir dir;
        const std::string name = Bytes(c.nameLength, 'n');
        dir.Write(name, "content");
        Builder b;
        EXPECT_EQ(b.Build(dir.path().string()), c.result) << c.nameLength;
        if (c.result == 0) {
            ASSERT_EQ(b.messages.shown.size(), 1u);
            EXPECT_EQ(b.messages.shown[0].text,
                      "The File [/" + name + "] name is bigger than 24,please confirm it!");
            EXPECT_EQ(b.image.usedLength, 0);
        } else {
            EXPECT_EQ(b.ImageText(0, 24), "/" + name + std::string(1, '\0'));
        }
    }
}

TEST(BuildWebImage, RefusesLongNameEvenForEmptyFileAndReadsNothingAfter) {
    VELLUMIX_SKIP_ON_WINDOWS("links on Windows need privileges a test may not have");
    TempDir dir;
    dir.Write("a-very-long-name-for-a-file.htm", "");
    // Listed after the long name; were it read, its open error would show.
    std::filesystem::create_symlink("nowhere", dir.path() / "b-dangling");
    Builder b;
    EXPECT_EQ(b.Build(dir.path().string()), 0);
    EXPECT_EQ(b.messages.Texts(),
              (std::vector<std::string>{"The File [/a-very-long-name-for-a-file.htm] name is "
                                        "bigger than 24,please confirm it!"}));
}

TEST(BuildWebImage, StoresFileEndingExactlyAtCapacityButNotOneByteMore) {
    const PackLimits limits{2048, 2};  // directory 64 bytes, 1984 bytes for contents
    for (const std::size_t size : {std::size_t{1984}, std::size_t{1985}}) {
        TempDir dir;
        dir.Write("f.bin", Bytes(size, 'x'));
        Builder b(limits);
        const int result = b.Build(dir.path().string());
        if (size == 1984) {
            EXPECT_EQ(result, 1);
            EXPECT_EQ(b.image.usedLength, 2048);
        } else {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(b.messages.Texts(),
                      (std::vector<std::string>{"web server file size is outof range!"}));
            EXPECT_EQ(b.image.usedLength, 0);
        }
    }
}

TEST(BuildWebImage, RefusesFileLargerThanCapacity) {
    TempDir dir;
    dir.Write("big.bin", Bytes(4096, 'x'));
    Builder b(PackLimits{2048, 1});
    EXPECT_EQ(b.Build(dir.path().string()), 0);
    EXPECT_EQ(b.messages.Texts(),
              (std::vector<std::string>{"web server file size is outof range!"}));
}

TEST(BuildWebImage, AllEmptyFilesGiveZeroDirectory) {
    TempDir dir;
    dir.Write("a.htm", "");
    dir.Write("sub/b.htm", "");
    Builder b;
    ASSERT_EQ(b.Build(dir.path().string()), 1);
    EXPECT_EQ(b.image.usedLength, 1280);
    const auto& image = b.image.imageBuffer;
    EXPECT_TRUE(std::all_of(image.begin(), image.begin() + 1280, [](auto v) { return v == 0; }));
    EXPECT_EQ(image[1280], 0xFF);
    ASSERT_EQ(b.report.leftOut.size(), 2u);
    EXPECT_STREQ(b.report.leftOut[0].reason.c_str(), packer::kLeftOutEmpty);
}

TEST(BuildWebImage, ReportsFailuresInTheirOrderWithErrCaption) {
    struct Case {
        const char* label;
        std::string folder;
        std::string message;
    };
    TempDir empty;
    std::filesystem::create_directories(empty.path() / "only" / "folders");
#ifndef _WIN32    // links on Windows need privileges a test may not have
    TempDir web;  // folders 0..29, each with two links to the next: 2^29 paths
    for (int i = 29; i >= 0; --i) {
        const auto folder = web.path() / std::to_string(i);
        std::filesystem::create_directories(folder);
        if (i < 29) {
            std::filesystem::create_directory_symlink(web.path() / std::to_string(i + 1),
                                                      folder / "x");
            std::filesystem::create_directory_symlink(web.path() / std::to_string(i + 1),
                                                      folder / "y");
        }
    }
#endif
    const std::vector<Case> cases = {
        {"no folder", "", "Please select the web server path!"},
        {"missing folder", (empty.path() / "missing").string(), "web server path is empty!"},
        {"only empty folders", empty.path().string(), "web server path is empty!"},
#ifndef _WIN32
        {"web of folder links", web.path().string(),
         "web server path has more than 50000 folders or 500000 entries,please confirm it!"},
#endif
    };
    for (const Case& c : cases) {
        Builder b;
        b.image.usedLength = 77;
        EXPECT_EQ(b.Build(c.folder), 0) << c.label;
        ASSERT_EQ(b.messages.shown.size(), 1u) << c.label;
        EXPECT_EQ(b.messages.shown[0].text, c.message) << c.label;
        EXPECT_EQ(b.messages.shown[0].caption, "ERR");
        EXPECT_EQ(b.messages.shown[0].style, platform::kMbIconHand);
        EXPECT_EQ(b.image.usedLength, 0) << c.label;
    }
}

TEST(BuildWebImage, LeavesOutUnopenableFileWithoutHole) {
    VELLUMIX_SKIP_ON_WINDOWS("links on Windows need privileges a test may not have");
    TempDir dir;
    dir.Write("a.htm", "AAA");
    std::filesystem::create_symlink("nowhere", dir.path() / "b.htm");  // open() fails
    dir.Write("c.htm", "CC");
    Builder b;
    ASSERT_EQ(b.Build(dir.path().string()), 1);
    EXPECT_EQ(b.messages.Texts(),
              (std::vector<std::string>{"File [" + dir.path().string() + "/b.htm] Open ERROR!"}));
    EXPECT_EQ(b.ImageText(32, 6), "/c.htm");
    EXPECT_EQ(b.ImageText(1280, 5), "AAACC");
    EXPECT_EQ(b.image.usedLength, 1285);
    ASSERT_EQ(b.report.leftOut.size(), 1u);
    EXPECT_EQ(b.report.leftOut[0].imageName, "/b.htm");
    EXPECT_EQ(b.report.leftOut[0].reason,
              std::string(packer::kLeftOutUnreadable) + ": No such file or directory");
}

TEST(BuildWebImage, LeavesOutFileWithoutReadPermission) {
    VELLUMIX_SKIP_ON_WINDOWS("file rights on Windows are ACLs, not mode bits");
#ifndef _WIN32
    if (geteuid() == 0) {
        GTEST_SKIP() << "root reads any file";
    }
    TempDir dir;
    const auto secret = dir.Write("secret.htm", "S");
    dir.Write("z.htm", "Z");
    std::filesystem::permissions(secret, std::filesystem::perms::none);
    Builder b;
    ASSERT_EQ(b.Build(dir.path().string()), 1);
    EXPECT_EQ(b.messages.Texts(),
              (std::vector<std::string>{"File [" + secret.string() + "] Open ERROR!"}));
    EXPECT_EQ(b.image.usedLength, 1281);
#endif
}

TEST(BuildWebImage, RefusesMoreStoredFilesThanDirectoryEntries) {
    TempDir dir;
    dir.Write("a", "1");
    dir.Write("b", "2");
    dir.Write("c", "3");
    Builder b(PackLimits{196608, 2});
    EXPECT_EQ(b.Build(dir.path().string()), 0);
    EXPECT_EQ(
        b.messages.Texts(),
        (std::vector<std::string>{"web server file count is bigger than 2,please confirm it!"}));
    EXPECT_EQ(b.image.usedLength, 0);
}

TEST(BuildWebImage, StoresNFilesWhenSurplusFilesAreEmpty) {
    TempDir dir;
    dir.Write("a", "1");
    dir.Write("b", "");
    dir.Write("c", "3");
    Builder b(PackLimits{196608, 2});
    ASSERT_EQ(b.Build(dir.path().string()), 1);
    EXPECT_EQ(b.image.usedLength, 64 + 2);
}

TEST(BuildWebImage, FullTableIsRefusedAsTooManyFilesNotAsEmpty) {
    TempDir dir;
    for (const char* name : {"a", "b", "c", "d", "e"}) {
        dir.Write(name, "");  // all empty: only the table overflow can refuse them
    }
    Builder b(PackLimits{196608, 2});
    EXPECT_EQ(b.Build(dir.path().string()), 0);
    EXPECT_EQ(
        b.messages.Texts(),
        (std::vector<std::string>{"web server file count is bigger than 2,please confirm it!"}));
}

TEST(BuildWebImage, ExactlyFullTableIsNotAnOverflow) {
    TempDir dir;
    for (const char* name : {"a", "b", "c", "d"}) {
        dir.Write(name, "");
    }
    Builder b(PackLimits{196608, 2});
    EXPECT_EQ(b.Build(dir.path().string()), 1);
    EXPECT_EQ(b.image.usedLength, 64);
}

TEST(BuildWebImage, RefusesDirectoryLargerThanCapacity) {
    TempDir dir;
    dir.Write("a", "1");
    Builder b(PackLimits{1024, 33});
    EXPECT_EQ(b.Build(dir.path().string()), 0);
    EXPECT_EQ(
        b.messages.Texts(),
        (std::vector<std::string>{
            "web server directory size 1056 is bigger than rom size 1024,please confirm it!"}));
}

TEST(BuildWebImage, DirectoryFillingCapacityExactlyStillTakesEmptyFiles) {
    TempDir dir;
    dir.Write("a", "");
    Builder b(PackLimits{1024, 32});
    EXPECT_EQ(b.Build(dir.path().string()), 1);
    EXPECT_EQ(b.image.usedLength, 1024);
}

TEST(BuildWebImage, GrowsAnUnsizedImageOnlyToTheUsedBytes) {
    TempDir dir;
    dir.Write("a", "hello");
    Builder b(PackLimits{64 * 1024 * 1024, 40});
    std::vector<std::uint8_t>().swap(b.image.imageBuffer);
    ASSERT_EQ(b.Build(dir.path().string()), 1);
    EXPECT_EQ(b.ImageText(1280, 5), "hello");
    EXPECT_EQ(b.image.imageBuffer.size(), 1285u);
    EXPECT_LE(b.image.imageBuffer.capacity(), 1024u * 1024u);
}

TEST(BuildWebImage, StartsAfreshAfterAFailure) {
    TempDir bad;
    bad.Write(Bytes(30, 'x'), "1");
    TempDir good;
    good.Write("ok.htm", "fine");
    Builder b;
    EXPECT_EQ(b.Build(bad.path().string()), 0);
    ASSERT_EQ(b.Build(good.path().string()), 1);
    EXPECT_EQ(b.table.CountWebFiles(), 1);
    EXPECT_EQ(b.ImageText(0, 8), std::string("/ok.htm\0", 8));
    EXPECT_EQ(b.ImageText(32, 32), std::string(32, '\0'));
    EXPECT_EQ(b.image.usedLength, 1284);
    ASSERT_EQ(b.report.stored.size(), 1u);
    EXPECT_EQ(b.report.stored[0].offset, 1280u);
    EXPECT_EQ(b.report.stored[0].size, 4u);
}

}  // namespace
