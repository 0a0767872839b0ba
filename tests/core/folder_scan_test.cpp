#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "packer/folder_scan.h"
#include "packer/glob_pattern.h"
#include "platform/dir_search.h"
#include "platform/exe_path.h"
#include "platform/file_read.h"
#include "platform/system_text.h"
#include "support/skip_on_windows.h"
#include "support/test_support.h"

namespace {

using packer::ScanWebFolderWith;
using packer::WebFileTable;
using testing_support::TempDir;

// `relative` ("/a/b") with the system's separator, as local paths are formed.
std::string Native(std::string relative) {
    std::replace(relative.begin(), relative.end(), '/', platform::kPathSeparator);
    return relative;
}

std::vector<std::string> ImageNames(const WebFileTable& table) {
    std::vector<std::string> names;
    for (int i = 0; i < table.CountWebFiles(); ++i) {
        names.push_back(table[i].imageName);
    }
    return names;
}

TEST(ListingOrder, FoldsAsciiCaseAndBreaksTiesByRawBytes) {
    struct Case {
        const char* before;
        const char* after;
    };
    const Case cases[] = {
        {"a.htm", "B.htm"},  // case-folded, not raw ("B" < "a" in raw bytes)
        {"ab", "a_"},        // '_' sorts after letters once they are upper case
        {"a", "ab"},         // a prefix comes first
        {"B", "b"},          // same letters: raw bytes decide
        {"Z", "\xc3\xa9"},   // bytes above ASCII are not folded
        {"", "a"},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(platform::ListingOrderLess(c.before, c.after)) << c.before << " " << c.after;
        EXPECT_FALSE(platform::ListingOrderLess(c.after, c.before)) << c.before << " " << c.after;
    }
    EXPECT_FALSE(platform::ListingOrderLess("same", "same"));
}

TEST(ListFolder, ReportsHiddenFilesAndKindsButNotDotEntries) {
    using Kind = platform::DirEntryKind;
    TempDir dir;
    dir.Write(".hidden", "x");
    dir.Write("sub/file", "y");
    std::vector<std::pair<std::string, Kind>> expected = {{".hidden", Kind::RegularFile}};
#ifndef _WIN32  // Windows has no FIFOs, and links there need privileges a test may not have
    std::filesystem::create_symlink("missing-target", dir.path() / "dangling");
    ASSERT_EQ(mkfifo((dir.path() / "pipe").c_str(), 0600), 0);
    expected.insert(expected.end(), {{"dangling", Kind::Broken}, {"pipe", Kind::Other}});
#endif
    expected.emplace_back("sub", Kind::Folder);

    std::vector<platform::DirEntry> entries;
    ASSERT_TRUE(platform::ListFolder(dir.path().string(), entries));
    ASSERT_EQ(entries.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(entries[i].name, expected[i].first);
        EXPECT_EQ(entries[i].kind, expected[i].second) << expected[i].first;
    }
}

TEST(ListFolder, FailsOnMissingFolder) {
    TempDir dir;
    std::vector<platform::DirEntry> entries{{"stale", platform::DirEntryKind::Other, {}}};
    EXPECT_FALSE(platform::ListFolder((dir.path() / "nope").string(), entries));
    EXPECT_TRUE(entries.empty());
}

TEST(ScanWebFolder, FormsThreeNamesDepthFirstInListingOrder) {
    TempDir dir;
    dir.Write("b.htm", "1");
    dir.Write("A/z.gif", "2");
    dir.Write("a2/x.htm", "3");
    dir.Write("A/deep/er/f.htm", "4");
    dir.Write("c.css", "5");
    const std::string root = dir.path().string();

    WebFileTable table(40);
    ScanWebFolderWith(root, "", table, {}, nullptr);
    EXPECT_EQ(ImageNames(table), (std::vector<std::string>{"/A/deep/er/f.htm", "/A/z.gif",
                                                           "/a2/x.htm", "/b.htm", "/c.css"}));
    EXPECT_EQ(table[0].baseName, "f.htm");
    EXPECT_EQ(table[0].localPath, root + Native("/A/deep/er/f.htm"));
    EXPECT_EQ(table[3].baseName, "b.htm");
    EXPECT_EQ(table[3].localPath, root + Native("/b.htm"));
}

TEST(ScanWebFolder, KeepsDoubledSeparatorOfFolderEndingInSlash) {
    TempDir dir;
    dir.Write("index.htm", "x");
    dir.Write("img/up.gif", "y");
    const std::string root = dir.path().string() + "/";

    WebFileTable table(40);
    ScanWebFolderWith(root, "", table, {}, nullptr);
    ASSERT_EQ(table.CountWebFiles(), 2);
#ifdef _WIN32
    // "E:\\" and the like: Windows paths take no second separator.
    EXPECT_EQ(table[0].localPath, root + "img\\up.gif");
    EXPECT_EQ(table[1].localPath, root + "index.htm");
#else
    EXPECT_EQ(table[0].localPath, root + "/img/up.gif");
    EXPECT_EQ(table[1].localPath, root + "/index.htm");
#endif
    EXPECT_EQ(table[0].imageName, "/img/up.gif");
    EXPECT_EQ(table[1].imageName, "/index.htm");
}

TEST(ScanWebFolder, UsesPrefixForImageNames) {
    TempDir dir;
    dir.Write("f.htm", "x");
    WebFileTable table(40);
    ScanWebFolderWith(dir.path().string(), "a/b", table, {}, nullptr);
    ASSERT_EQ(table.CountWebFiles(), 1);
    EXPECT_EQ(table[0].imageName, "/a/b/f.htm");
}

TEST(ScanWebFolder, LeavesTableEmptyForOnlyEmptySubFoldersOrMissingFolder) {
    TempDir dir;
    std::filesystem::create_directories(dir.path() / "a" / "b");
    std::filesystem::create_directories(dir.path() / "c");
    WebFileTable table(40);
    ScanWebFolderWith(dir.path().string(), "", table, {}, nullptr);
    EXPECT_EQ(table.CountWebFiles(), 0);
    ScanWebFolderWith((dir.path() / "missing").string(), "", table, {}, nullptr);
    EXPECT_EQ(table.CountWebFiles(), 0);
}

TEST(ScanWebFolder, EntersEmptyFilesAndHiddenFiles) {
    TempDir dir;
    dir.Write(".htaccess", "");
    dir.Write("zero.txt", "");
    WebFileTable table(40);
    ScanWebFolderWith(dir.path().string(), "", table, {}, nullptr);
    EXPECT_EQ(ImageNames(table), (std::vector<std::string>{"/.htaccess", "/zero.txt"}));
}

TEST(ScanWebFolder, DoesNotRecurseForeverThroughLinkToParent) {
    VELLUMIX_SKIP_ON_WINDOWS("folder links on Windows need privileges a test may not have");
    TempDir dir;
    dir.Write("a/f.htm", "x");
    std::filesystem::create_directory_symlink("..", dir.path() / "a" / "loop");
    std::filesystem::create_directory_symlink(dir.path(), dir.path() / "self");

    WebFileTable table(40);
    std::vector<packer::SkippedEntry> skipped;
    ScanWebFolderWith(dir.path().string(), "", table, {}, &skipped);
    EXPECT_EQ(ImageNames(table), (std::vector<std::string>{"/a/f.htm"}));
    ASSERT_EQ(skipped.size(), 2u);
    EXPECT_EQ(skipped[0].localPath, dir.path().string() + "/a/loop");
    EXPECT_STREQ(skipped[0].reason.c_str(), packer::kSkipFolderLoop);
}

TEST(ScanWebFolder, FollowsLinkToFolderOutsideAndToFile) {
    VELLUMIX_SKIP_ON_WINDOWS("links on Windows need privileges a test may not have");
    TempDir outside;
    outside.Write("shared.css", "x");
    TempDir dir;
    std::filesystem::create_directory_symlink(outside.path(), dir.path() / "lib");
    std::filesystem::create_symlink(outside.path() / "shared.css", dir.path() / "alias.css");
    // The same folder reached twice side by side is not a loop: both copies are entered.
    std::filesystem::create_directory_symlink(outside.path(), dir.path() / "lib2");

    WebFileTable table(40);
    ScanWebFolderWith(dir.path().string(), "", table, {}, nullptr);
    EXPECT_EQ(ImageNames(table),
              (std::vector<std::string>{"/alias.css", "/lib/shared.css", "/lib2/shared.css"}));
}

TEST(ScanWebFolder, SkipsFifoWithoutOpeningIt) {
    VELLUMIX_SKIP_ON_WINDOWS("Windows has no FIFOs");
#ifndef _WIN32
    TempDir dir;
    ASSERT_EQ(mkfifo((dir.path() / "pipe").c_str(), 0600), 0);
    dir.Write("index.htm", "x");
    WebFileTable table(40);
    std::vector<packer::SkippedEntry> skipped;
    ScanWebFolderWith(dir.path().string(), "", table, {}, &skipped);
    EXPECT_EQ(ImageNames(table), (std::vector<std::string>{"/index.htm"}));
    ASSERT_EQ(skipped.size(), 1u);
    EXPECT_STREQ(skipped[0].reason.c_str(), packer::kSkipNotAFile);
#endif
}

TEST(ScanWebFolder, HandlesLocalPathsLongerThan256Bytes) {
    TempDir dir;
    const std::string longFolder(200, 'd');
    const std::string relative = longFolder + "/" + longFolder + "/f.htm";
    dir.Write(relative, "x");
    WebFileTable table(1);
    ScanWebFolderWith(dir.path().string(), "", table, {}, nullptr);
    ASSERT_EQ(table.CountWebFiles(), 1);
    EXPECT_EQ(table[0].localPath, dir.path().string() + Native("/" + relative));
    EXPECT_GT(table[0].localPath.size(), 400u);
    // Opened by the path the walk found it under: a plain open stops at MAX_PATH on Windows.
    const auto bytes = platform::ReadRegularFile(table[0].localPath, 16);
    ASSERT_TRUE(bytes) << bytes.error().text;
    EXPECT_EQ(*bytes, std::vector<std::uint8_t>{'x'});
}

TEST(WebFileTable, KeepsFirstTwiceNFilesAndFlagsTheRest) {
    WebFileTable table(2);
    ASSERT_EQ(table.SlotCount(), 4);
    for (int i = 0; i < 6; ++i) {
        const std::string name = "f" + std::to_string(i);
        table.AddWebFile(name, "/x/" + name, "/" + name);
    }
    EXPECT_EQ(table.CountWebFiles(), 4);
    EXPECT_TRUE(table.Overflowed());
    EXPECT_EQ(table[3].baseName, "f3");

    table.Clear();
    EXPECT_EQ(table.CountWebFiles(), 0);
    EXPECT_FALSE(table.Overflowed());
    for (int i = 0; i < table.SlotCount(); ++i) {
        EXPECT_TRUE(table[i].baseName.empty() && table[i].localPath.empty() &&
                    table[i].imageName.empty());
    }
}

#ifndef _WIN32
// `levels` folders l0..l(levels-1) below `root`, each holding two links to the next: a walk
// that only guards against loops on its current path meets 2^levels paths.
void MakeLinkWeb(const std::filesystem::path& root, int levels) {
    for (int i = 0; i < levels; ++i) {
        std::filesystem::create_directories(root / ("l" + std::to_string(i)));
    }
    for (int i = 0; i + 1 < levels; ++i) {
        const auto next = root / ("l" + std::to_string(i + 1));
        std::filesystem::create_directory_symlink(next, root / ("l" + std::to_string(i)) / "x");
        std::filesystem::create_directory_symlink(next, root / ("l" + std::to_string(i)) / "y");
    }
}
#endif

TEST(ScanWebFolder, WebOfFolderLinksEndsAtTheBoundsOrAFullTable) {
    VELLUMIX_SKIP_ON_WINDOWS("folder links on Windows need privileges a test may not have");
#ifndef _WIN32
    struct Case {
        bool fileAtTheBottom;
        packer::ScanEnd end;
    };
    for (const Case c :
         {Case{false, packer::ScanEnd::LimitReached}, Case{true, packer::ScanEnd::TableFull}}) {
        TempDir dir;
        MakeLinkWeb(dir.path(), 30);
        if (c.fileAtTheBottom) {
            dir.Write("l29/f.htm", "x");
        }
        WebFileTable table(40);
        const auto result = packer::ScanWebFolderWith(dir.path().string(), "", table, {}, nullptr);
        EXPECT_EQ(result.end, c.end) << c.fileAtTheBottom;
        EXPECT_EQ(table.Overflowed(), c.fileAtTheBottom);
    }
#endif
}

#ifndef _WIN32
// Runs `check` as an ordinary user when the tests run as root (who may open any folder).
bool AsOrdinaryUser(const std::function<bool()>& check) {
    if (geteuid() != 0) {
        return check();
    }
    const pid_t child = fork();
    if (child == 0) {
        _exit(setgid(65534) == 0 && setuid(65534) == 0 && check() ? 0 : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}
#endif

TEST(ScanWebFolder, ReportsSubFolderItCannotOpen) {
    VELLUMIX_SKIP_ON_WINDOWS("folder rights on Windows are ACLs, not mode bits");
#ifndef _WIN32
    TempDir dir;
    dir.Write("a.htm", "x");
    dir.Write("sub/b.htm", "y");
    std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
    std::filesystem::permissions(dir.path() / "sub", std::filesystem::perms::none);
    const std::string root = dir.path().string();
    EXPECT_TRUE(AsOrdinaryUser([&root] {
        WebFileTable table(40);
        std::vector<packer::SkippedEntry> skipped;
        ScanWebFolderWith(root, "", table, {}, &skipped);
        return ImageNames(table) == std::vector<std::string>{"/a.htm"} && skipped.size() == 1 &&
               skipped[0].localPath == root + "/sub" &&
               skipped[0].reason == "folder cannot be opened: Permission denied" &&
               skipped[0].kind == packer::LeftOutKind::Fault;
    }));
    std::filesystem::permissions(dir.path() / "sub", std::filesystem::perms::owner_all);
#endif
}

TEST(ScanWebFolder, ExcludedFilesTakeNoSlotAndAreListed) {
    TempDir dir;
    dir.Write("app.js", "1");
    dir.Write("js/app.map", "2");
    dir.Write(".git/config", "3");
    dir.Write("index.htm~", "4");
    WebFileTable table(1);  // two slots: only the two files not excluded
    std::vector<packer::SkippedEntry> skipped;
    packer::ScanOptions options;
    options.excludes = {"*.map", "/.git/*", "*~"};
    const auto result =
        packer::ScanWebFolderWith(dir.path().string(), "", table, options, &skipped);
    EXPECT_EQ(result.end, packer::ScanEnd::Complete);
    EXPECT_EQ(ImageNames(table), (std::vector<std::string>{"/app.js"}));
    ASSERT_EQ(skipped.size(), 3u);
    EXPECT_EQ(skipped[0].imageName, "/.git/config");
    EXPECT_EQ(skipped[0].reason, "excluded by /.git/*");
    EXPECT_EQ(skipped[0].kind, packer::LeftOutKind::Excluded);
    EXPECT_EQ(skipped[1].reason, "excluded by *~");
    EXPECT_EQ(skipped[2].reason, "excluded by *.map");
}

// Windows images hold names in the ANSI code page (1252 in the test runs): a name without a form
// there is left out as a fault, never stored with '?' for what it lacks, while its folder is
// walked and opened by its wide name. Elsewhere names are the file system's bytes.
TEST(ScanWebFolder, StoresNamesInTheImageFormAndLeavesOutThoseWithout) {
    const std::string umlaut = "\xC3\xBC";  // internal text: UTF-8
    const std::string lambda = "\xCE\xBB";
#ifdef _WIN32
    if (platform::StoredTextOf(umlaut) != "\xFC") {
        GTEST_SKIP() << "needs the ANSI code page 1252";
    }
    const std::vector<std::string> stored = {"/\xFC.htm"};
    const std::vector<std::string> leftOut = {"/" + lambda + "/a.htm", "/" + lambda + ".htm"};
#else
    const std::vector<std::string> stored = {"/" + umlaut + ".htm", "/" + lambda + "/a.htm",
                                             "/" + lambda + ".htm"};
    const std::vector<std::string> leftOut;
#endif
    TempDir dir;
    const auto root = platform::PathText(dir.path()) + Native("/J" + umlaut + "rgen");
    std::filesystem::create_directories(platform::FileSystemPath(root + Native("/" + lambda)));
    for (const std::string& name : std::vector<std::string>{
             "/b.htm", "/" + umlaut + ".htm", "/" + lambda + ".htm", "/" + lambda + "/a.htm"}) {
        std::ofstream(platform::FileSystemPath(root + Native(name))) << "x";
    }
    WebFileTable table(10);
    std::vector<packer::SkippedEntry> skipped;
    packer::ScanOptions options;
    options.excludes = {"/b*"};
    packer::ScanWebFolderWith(root, "", table, options, &skipped);
    EXPECT_EQ(ImageNames(table), stored);
    ASSERT_EQ(table[0].baseName, umlaut + ".htm");
    EXPECT_EQ(table[0].localPath, root + Native("/" + umlaut + ".htm"));
    std::vector<std::string> left;
    for (const auto& entry : skipped) {
        if (entry.kind == packer::LeftOutKind::Fault) {
            EXPECT_EQ(entry.reason, packer::kSkipNoStoredName);
            left.push_back(entry.imageName);
        } else {
            EXPECT_EQ(entry.localPath, root + Native("/b.htm"));
        }
    }
    EXPECT_EQ(left, leftOut);
    EXPECT_EQ(skipped.size(), leftOut.size() + 1);
}

TEST(GlobMatch, MatchesImageNames) {
    struct Case {
        const char* pattern;
        const char* name;
        bool match;
    };
    const Case cases[] = {
        {"*.map", "/js/app.map", true},
        {"*.map", "/app.mapx", false},
        {"/.git/*", "/.git/a/b", true},
        {"/.git/*", "/x/.git/a", false},
        {"*~", "/a/index.htm~", true},
        {"/?.htm", "/a.htm", true},
        {"/?.htm", "/ab.htm", false},
        {"/[a-c]*", "/b.gif", true},
        {"/[!a-c]*", "/b.gif", false},
        {"/[]x]", "/]", true},
        {"/[x", "/[x", true},
        {"/\\*", "/*", true},
        {"/\\*", "/a", false},
        {"*a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
        {"", "", true},
        {"*", "", true},
        {"/A.HTM", "/a.htm", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(packer::GlobMatch(c.pattern, c.name), c.match) << c.pattern << " " << c.name;
    }
}

// "[]", "a.htm" or "/.git/" left nothing out and said nothing.
TEST(GlobPatternProblem, NamesPatternsThatCanNeverMatchAndUnclosedSets) {
    for (const char* fine : {"*.map", "/[a-c]*", "?x"}) {
        EXPECT_EQ(packer::GlobPatternProblem(fine), "") << fine;
    }
    for (const auto& [pattern, problem] : {std::pair{"", "empty"},
                                           {"a.htm", "begins with"},
                                           {"[]", "begins with \"/\" (a \"[\" without"},
                                           {"/.git/", "ends with"},
                                           {"*[ch", "stands for itself"}}) {
        EXPECT_NE(packer::GlobPatternProblem(pattern).find(problem), std::string::npos) << pattern;
    }
}

TEST(WebFileTable, NeverHasFewerThanTwoSlots) {
    EXPECT_EQ(WebFileTable(0).SlotCount(), 2);
    EXPECT_EQ(WebFileTable(-5).SlotCount(), 2);
}

}  // namespace
