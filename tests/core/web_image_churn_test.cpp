// The web folder changing between the scan and the reading of its files, and while files are
// read: every build gives either a consistent image (each entry's size is the number of bytes
// stored for it, contents back to back) or a clear message, never a crash or a torn entry.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "packer/image_reader.h"
#include "packer/web_image.h"
#include "support/fake_message_box.h"
#include "support/skip_on_windows.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

using packer::PackLimits;
using testing_support::TempDir;

constexpr std::int32_t kRomBytes = 16 * 1024;
constexpr std::int32_t kEntries = 8;
constexpr auto kChurnTime = std::chrono::milliseconds(1500);
constexpr int kMaxChurnBuilds = 5000;

void WriteFile(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

struct Builder {
    Builder() : table(kEntries) {
        limits.maxRomBytes = kRomBytes;
        limits.maxFileCount = kEntries;
        image.imageBuffer.assign(2 * static_cast<std::size_t>(kRomBytes), 0);
    }
    int Build(const std::string& folder) {
        return packer::BuildWebImage(folder, limits, table, image, messages);
    }
    // The stored directory, checked as the device would check it.
    packer::ImageReadResult Directory() const {
        return packer::ReadImageDirectory(image.imageBuffer.data(),
                                          static_cast<std::size_t>(image.usedLength));
    }
    std::string Content(const packer::ImageEntryView& entry) const {
        return std::string(reinterpret_cast<const char*>(image.imageBuffer.data()) + entry.offset,
                           entry.size);
    }

    PackLimits limits;
    packer::WebFileTable table;
    packer::WebImage image;
    testing_support::FakeMessageBox messages;
};

#ifndef _WIN32
// A folder whose first entry in listing order is a dangling link: opening it fails with a
// message after the scan has listed everything and before any other file is read. The message
// is where the tests change the folder.
void MakeFolder(const TempDir& dir) {
    ASSERT_EQ(symlink("nowhere", (dir.path() / "0-dangling").c_str()), 0);
    dir.Write("a.htm", "aaaa");
    dir.Write("b.htm", "bbbbbbbb");
    dir.Write("sub/c.htm", "cc");
}

struct ChangeCase {
    const char* what;
    std::function<void(const fs::path& folder)> change;
    // Expected names and contents in the image, in directory order.
    std::vector<std::pair<std::string, std::string>> stored;
    // Local paths (relative) reported as unreadable besides the dangling link.
    std::vector<std::string> unreadable;
};
#endif

TEST(ChangedAfterScanTest, GivesAConsistentImageOrAMessageForEveryChange) {
    VELLUMIX_SKIP_ON_WINDOWS("built around a dangling link; links on Windows need privileges");
#ifndef _WIN32
    const ChangeCase cases[] = {
        {"file removed",
         [](const fs::path& f) { fs::remove(f / "b.htm"); },
         {{"/a.htm", "aaaa"}, {"/sub/c.htm", "cc"}},
         {"b.htm"}},
        {"file grown",
         [](const fs::path& f) { WriteFile(f / "b.htm", std::string(3000, 'B')); },
         {{"/a.htm", "aaaa"}, {"/b.htm", std::string(3000, 'B')}, {"/sub/c.htm", "cc"}},
         {}},
        {"file emptied",
         [](const fs::path& f) { WriteFile(f / "b.htm", ""); },
         {{"/a.htm", "aaaa"}, {"/sub/c.htm", "cc"}},
         {}},
        {"file replaced by a folder",
         [](const fs::path& f) {
             fs::remove(f / "b.htm");
             fs::create_directory(f / "b.htm");
         },
         {{"/a.htm", "aaaa"}, {"/sub/c.htm", "cc"}},
         {"b.htm"}},
        {"file replaced by a FIFO",
         [](const fs::path& f) {
             fs::remove(f / "b.htm");
             mkfifo((f / "b.htm").c_str(), 0600);
         },
         {{"/a.htm", "aaaa"}, {"/sub/c.htm", "cc"}},
         {"b.htm"}},
        {"sub-folder removed",
         [](const fs::path& f) { fs::remove_all(f / "sub"); },
         {{"/a.htm", "aaaa"}, {"/b.htm", "bbbbbbbb"}},
         {"sub/c.htm"}},
        {"sub-folder replaced by a file",
         [](const fs::path& f) {
             fs::remove_all(f / "sub");
             WriteFile(f / "sub", "not a folder");
         },
         {{"/a.htm", "aaaa"}, {"/b.htm", "bbbbbbbb"}},
         {"sub/c.htm"}},
        {"file added after the scan",
         [](const fs::path& f) { WriteFile(f / "new.htm", "late"); },
         {{"/a.htm", "aaaa"}, {"/b.htm", "bbbbbbbb"}, {"/sub/c.htm", "cc"}},
         {}},
    };
    for (const ChangeCase& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        MakeFolder(dir);
        Builder builder;
        builder.messages.onNext = [&] { c.change(dir.path()); };

        ASSERT_EQ(builder.Build(dir.path().string()), 1);
        std::vector<std::string> expectedTexts = {
            packer::OpenErrorMessage((dir.path() / "0-dangling").string())};
        for (const std::string& name : c.unreadable) {
            expectedTexts.push_back(packer::OpenErrorMessage((dir.path() / name).string()));
        }
        EXPECT_EQ(builder.messages.Texts(), expectedTexts);

        const auto directory = builder.Directory();
        ASSERT_TRUE(directory.ok) << directory.error;
        ASSERT_EQ(directory.directory.entries.size(), c.stored.size());
        for (std::size_t i = 0; i < c.stored.size(); ++i) {
            EXPECT_EQ(directory.directory.entries[i].name, c.stored[i].first);
            EXPECT_EQ(builder.Content(directory.directory.entries[i]), c.stored[i].second);
        }
    }
#endif
}

// A file that grows past the capacity after the scan stops the build with the range message,
// and no image is left to send.
TEST(ChangedAfterScanTest, FileGrownPastTheCapacityStopsTheBuild) {
    VELLUMIX_SKIP_ON_WINDOWS("built around a dangling link; links on Windows need privileges");
#ifndef _WIN32
    TempDir dir;
    MakeFolder(dir);
    Builder builder;
    builder.messages.onNext = [&] { WriteFile(dir.path() / "b.htm", std::string(kRomBytes, 'B')); };
    EXPECT_EQ(builder.Build(dir.path().string()), 0);
    ASSERT_EQ(builder.messages.Texts().size(), 2u);
    EXPECT_EQ(builder.messages.Texts()[1], packer::kMsgOutOfRange);
    EXPECT_EQ(builder.image.usedLength, 0);
#endif
}

// The whole folder is moved away after the scan: each file is either stored as it was or
// reported, and the image holds exactly the stored ones.
TEST(ChangedAfterScanTest, FolderMovedAwayLosesNoFileSilently) {
    VELLUMIX_SKIP_ON_WINDOWS("built around a dangling link; links on Windows need privileges");
#ifndef _WIN32
    TempDir dir;
    const fs::path folder = dir.path() / "web";
    fs::create_directory(folder);
    ASSERT_EQ(symlink("nowhere", (folder / "0-dangling").c_str()), 0);
    dir.Write("web/a.htm", "aaaa");
    dir.Write("web/b.htm", "bbbbbbbb");
    dir.Write("web/sub/c.htm", "cc");
    Builder builder;
    builder.messages.onNext = [&] { fs::rename(folder, dir.path() / "moved"); };
    ASSERT_EQ(builder.Build(folder.string()), 1);

    const auto directory = builder.Directory();
    ASSERT_TRUE(directory.ok) << directory.error;
    const std::pair<std::string, std::string> files[] = {
        {"a.htm", "aaaa"}, {"b.htm", "bbbbbbbb"}, {"sub/c.htm", "cc"}};
    std::size_t stored = 0;
    for (const auto& [name, content] : files) {
        const std::string imageName = "/" + name;
        bool found = false;
        for (const auto& entry : directory.directory.entries) {
            if (entry.name == imageName) {
                found = true;
                EXPECT_EQ(builder.Content(entry), content);
            }
        }
        const std::string report = packer::OpenErrorMessage((folder / name).string());
        const auto texts = builder.messages.Texts();
        const bool reported = std::find(texts.begin(), texts.end(), report) != texts.end();
        EXPECT_NE(found, reported) << name << ": stored and reported, or neither";
        stored += found ? 1 : 0;
    }
    EXPECT_EQ(directory.directory.entries.size(), stored);
#endif
}

// Files rewritten, removed and replaced by folders on another thread while builds run: each
// build either fails with a known message or stores, for every entry, as many bytes as its
// size says, all of them from the one file (each file holds only its own letter).
TEST(ChangingWhileReadTest, EveryBuildIsConsistentOrFailsWithAMessage) {
    TempDir dir;
    const std::string letters = "abcdef";
    for (const char letter : letters) {
        dir.Write(std::string(1, letter) + ".htm", std::string(100, letter));
    }
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        unsigned step = 0;
        while (!stop) {
            const char letter = letters[step % letters.size()];
            const fs::path path = dir.path() / (std::string(1, letter) + ".htm");
            std::error_code ignored;
            switch (step / letters.size() % 4) {
                case 0:
                    WriteFile(path, std::string(1 + (step * 37) % 3000, letter));
                    break;
                case 1:
                    fs::remove(path, ignored);
                    break;
                case 2:
                    fs::remove_all(path, ignored);
                    fs::create_directory(path, ignored);
                    break;
                default:
                    fs::remove_all(path, ignored);
                    WriteFile(path, std::string(1 + (step * 53) % 5000, letter));
                    break;
            }
            ++step;
        }
    });

    Builder builder;
    int builds = 0;
    int consistent = 0;
    const auto end = std::chrono::steady_clock::now() + kChurnTime;
    while (std::chrono::steady_clock::now() < end && builds < kMaxChurnBuilds) {
        builder.messages.shown.clear();
        ++builds;
        if (builder.Build(dir.path().string()) == 0) {
            ASSERT_FALSE(builder.messages.Texts().empty()) << "a failed build must say why";
            EXPECT_EQ(builder.image.usedLength, 0);
            continue;
        }
        for (const std::string& text : builder.messages.Texts()) {
            EXPECT_EQ(text.rfind("File [", 0), 0u) << text;
        }
        const auto directory = builder.Directory();
        // With every file gone meanwhile, the window's builder makes an image with no file.
        ASSERT_TRUE(directory.ok || directory.error == packer::kNoFileInImage) << directory.error;
        for (const auto& entry : directory.directory.entries) {
            const char letter = entry.name[1];
            EXPECT_EQ(builder.Content(entry), std::string(entry.size, letter)) << entry.name;
        }
        ++consistent;
    }
    stop = true;
    churn.join();
    EXPECT_GT(consistent, 0) << "no build succeeded in " << builds;
}

}  // namespace
