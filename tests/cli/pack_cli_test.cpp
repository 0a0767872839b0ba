#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "support/skip_on_windows.h"
#include "support/test_support.h"

namespace {

using testing_support::CliPath;
using testing_support::ReadFile;
using testing_support::RunProcess;
using testing_support::TempDir;

namespace fs = std::filesystem;

// An empty settings file: the default limits, whatever lies beside the program.
struct CliFixture : ::testing::Test {
    CliFixture() { ini = work.Write("Vellumix.ini", "").string(); }

    testing_support::ProcessResult Pack(const std::vector<std::string>& extra) {
        std::vector<std::string> argv = {CliPath(), "pack"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back("--ini");
        argv.push_back(ini);
        return RunProcess(argv);
    }

    TempDir work;
    std::string ini;
};

// Every regular file below `root`, by relative path, with its content.
std::vector<std::pair<std::string, std::string>> Tree(const fs::path& root) {
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
            files.emplace_back(fs::relative(entry.path(), root).string(), ReadFile(entry.path()));
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

TEST_F(CliFixture, PackListExtractGivesBackTheExampleFolder) {
    const fs::path source = testing_support::ExamplesPath() / "web";
    const std::string image = (work.path() / "web.img").string();
    const auto packed = Pack({source.string(), "-o", image});
    ASSERT_EQ(packed.exitCode, 0) << packed.err;

    const auto listed = RunProcess({CliPath(), "list", image});
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    EXPECT_NE(listed.out.find("entries: 6 of 40\n"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("/status/status.htm"), std::string::npos);

    const fs::path out = work.path() / "out";
    const auto extracted = RunProcess({CliPath(), "extract", image, out.string()});
    ASSERT_EQ(extracted.exitCode, 0) << extracted.err;
    EXPECT_EQ(Tree(out), Tree(source));
}

TEST_F(CliFixture, PrintsReportForSmallFolder) {
    work.Write("site/index.htm", std::string(100, 'i'));
    work.Write("site/img/logo.gif", std::string(2000, 'g'));
    work.Write("site/empty.txt", "");
    const auto result = Pack({(work.path() / "site").string()});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    // 3380 bytes: 1 magic + 2 x 4 blocks = 9 frames, 10 ticks of 150 ms.
    const std::string expectedStart =
        "/img/logo.gif            offset       1280  size       2000\n"
        "/index.htm               offset       3280  size        100\n"
        "left out: /empty.txt (empty file)\n"
        "entries: 2 of 40\n"
        "bytes: 3380 of 196608 (1.7%)\n"
        "sha256: ";
    ASSERT_EQ(result.out.substr(0, expectedStart.size()), expectedStart) << result.out;
    const std::string rest = result.out.substr(expectedStart.size());
    ASSERT_GE(rest.size(), 64u);
    EXPECT_EQ(rest.substr(64),
              " (3380 bytes)\nupload: 9 frames, about 1.5 s\nfiles left out: 1 (0 excluded)\n");
    EXPECT_EQ(result.err, "");
}

TEST_F(CliFixture, WritesUsedBytesOrWholeCapacityWithFull) {
    work.Write("site/a.htm", "hello");
    const std::string site = (work.path() / "site").string();
    const std::string used = (work.path() / "used.img").string();
    const std::string full = (work.path() / "full.img").string();
    ASSERT_EQ(Pack({site, "-o", used}).exitCode, 0);
    ASSERT_EQ(Pack({site, "-o", full, "--full", "--max-rom", "2"}).exitCode, 0);
    const std::string usedBytes = ReadFile(used);
    const std::string fullBytes = ReadFile(full);
    ASSERT_EQ(usedBytes.size(), 1285u);
    EXPECT_EQ(usedBytes.substr(1280), "hello");
    ASSERT_EQ(fullBytes.size(), 2048u);
    EXPECT_EQ(fullBytes.substr(0, 1285), usedBytes);
    EXPECT_EQ(fullBytes.substr(1285), std::string(2048 - 1285, '\xFF'));
    // A full image reads back like the used part.
    const auto listed = RunProcess({CliPath(), "list", full});
    EXPECT_EQ(listed.exitCode, 0) << listed.err;
    EXPECT_NE(listed.out.find("used length: 1285\n"), std::string::npos);
}

TEST_F(CliFixture, JsonReportIsJsonLinesWithAResultAlsoOnFailure) {
    VELLUMIX_SKIP_ON_WINDOWS("the expected JSON holds Windows paths unescaped");
    work.Write("site/a.htm", "hello");
    work.Write("site/a.map", "x");
    const std::string site = (work.path() / "site").string();
    auto result = Pack({site, "--json", "--exclude", "*.map"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out.rfind("{\"event\":\"file\",\"name\":\"/a.htm\",\"offset\":1280,", 0), 0u)
        << result.out;
    EXPECT_NE(result.out.find("\n{\"event\":\"left_out\",\"name\":\"/a.map\",\"path\":\"" + site +
                              "/a.map\",\"reason\":\"excluded by *.map\"}\n"),
              std::string::npos);
    const std::string last = result.out.substr(result.out.rfind("{\"bytes_used\""));
    EXPECT_EQ(last.rfind("{\"bytes_used\":1285,\"entries_used\":1,\"entry_count\":40,"
                         "\"estimated_ms\":900,\"event\":\"result\",",
                         0),
              0u)
        << last;
    EXPECT_NE(last.find("\"frames\":5,"), std::string::npos);
    EXPECT_NE(last.find("\"left_out\":1,\"ok\":true,"), std::string::npos);

    result = Pack({(work.path() / "none").string(), "--json"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, "{\"cause\":\"" + (work.path() / "none").string() +
                              ": no such folder\",\"event\":\"result\",\"folder\":\"" +
                              (work.path() / "none").string() +
                              "\",\"left_out\":0,\"message\":\"web server path is "
                              "empty!\",\"ok\":false,\"schema\":1}\n");
}

TEST_F(CliFixture, LeftOutEntriesAreCountedAndRefusedWithStrict) {
    VELLUMIX_SKIP_ON_WINDOWS("Windows has no FIFOs");
#ifndef _WIN32
    struct Case {
        std::vector<std::string> options;
        int exitCode;
        std::vector<std::string> outLines;  // each must appear
        std::string err;
    };
    work.Write("site/a.htm", "A");
    work.Write("site/b.map", "B");
    const std::string site = (work.path() / "site").string();
    ASSERT_EQ(mkfifo((site + "/pipe").c_str(), 0600), 0);
    const std::string pipeLine = "left out: " + site + "/pipe (not a regular file or folder)\n";
    const std::vector<Case> cases = {
        {{}, 0, {pipeLine, "/b.map ", "files left out: 1 (0 excluded)\n"}, ""},
        {{"--exclude", "*.map"}, 0, {pipeLine, "files left out: 2 (1 excluded)\n"}, ""},
        // The option parser read "[*.map]" as the list {"*.map"}.
        {{"--exclude", "[*.map]"},
         0,
         {"files left out: 1 (0 excluded)\n"},
         "warning: --exclude \"[*.map]\": it can never match: every image name begins with "
         "\"/\"\n"},
        {{"-v", "--exclude", "*.map"}, 0, {"left out: /b.map (excluded by *.map)\n"}, ""},
        {{"-q"}, 0, {}, ""},
        {{"--strict"},
         1,
         {},
         "strict build refused: [" + site + "/pipe] was left out (not a regular file or folder)\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {CliPath()};
        const bool global = !c.options.empty() && c.options[0].size() == 2;  // -v, -q
        if (global) {
            argv.push_back(c.options[0]);
        }
        argv.insert(argv.end(), {"pack", site, "--ini", ini});
        argv.insert(argv.end(), c.options.begin() + (global ? 1 : 0), c.options.end());
        const auto result = RunProcess(argv);
        EXPECT_EQ(result.exitCode, c.exitCode) << argv.back();
        EXPECT_EQ(result.err, c.err);
        for (const std::string& line : c.outLines) {
            EXPECT_NE(result.out.find(line), std::string::npos) << line << result.out;
        }
        if (c.outLines.empty()) {
            EXPECT_EQ(result.out, "");
        }
    }
#endif
}

TEST_F(CliFixture, BuildFailureExitsOneWithTheMessageAndWritesNothing) {
    struct Case {
        std::string folder;
        std::string message;
    };
    work.Write("long/" + std::string(24, 'n'), "x");
#ifndef _WIN32
    // Windows file names cannot hold control characters.
    work.Write("escape/" + std::string(22, 'n') + "\x1b[2J", "x");
#endif
    work.Write("plain", "x");
    const std::string empty = work.Write("empty/a.htm", "").parent_path().string();
    fs::create_directories(work.path() / "nothing" / "here");
    const std::string nothing = (work.path() / "nothing").string();
    const std::string missing = (work.path() / "missing").string();
    const std::string plain = (work.path() / "plain").string();
    const Case cases[] = {
#ifndef _WIN32
        // A crafted name must not reach the terminal (or the window) raw.
        {(work.path() / "escape").string(),
         "The File [/" + std::string(22, 'n') +
             "\\x1b[2J] name is bigger than 24,please confirm it!\n"},
#endif
        {nothing, "web server path is empty!\nvellumix-cli: " + nothing +
                      ": empty folder (no file in it or in its sub-folders)\n"},
        {missing, "web server path is empty!\nvellumix-cli: " + missing + ": no such folder\n"},
        {plain, "web server path is empty!\nvellumix-cli: " + plain + ": not a folder\n"},
        {empty,
         "vellumix-cli: " + empty + ": no file to pack (1 left out); no file in the image\n"},
        {(work.path() / "long").string(),
         "The File [/" + std::string(24, 'n') + "] name is bigger than 24,please confirm it!\n"},
    };
    for (const Case& c : cases) {
        const std::string image = (work.path() / "x.img").string();
        const auto result = Pack({c.folder, "-o", image});
        EXPECT_EQ(result.exitCode, 1) << c.folder;
        EXPECT_EQ(result.err, c.message);
        EXPECT_EQ(result.out, "");
        EXPECT_FALSE(fs::exists(image));
    }
}

TEST_F(CliFixture, TooManyFilesNamesTheLimit) {
    work.Write("site/a", "1");
    work.Write("site/b", "2");
    const auto result = Pack({(work.path() / "site").string(), "--max-files", "1"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "web server file count is bigger than 1,please confirm it!\n");
}

TEST_F(CliFixture, UsageErrorsExitTwo) {
    EXPECT_EQ(RunProcess({CliPath(), "pack"}).exitCode, 2);
    EXPECT_EQ(Pack({work.path().string(), "--max-files", "0"}).exitCode, 2);
    EXPECT_EQ(RunProcess({CliPath(), "extract", "only-one"}).exitCode, 2);
    for (const char* command : {"pack", "list", "extract"}) {
        const auto help = RunProcess({CliPath(), command, "--help"});
        EXPECT_EQ(help.exitCode, 0) << command;
        EXPECT_NE(help.out.find("Usage"), std::string::npos) << command;
    }
}

// A hand-made image: N = 1, one entry with `name` of 4 bytes.
std::string ImageNamed(const std::string& name) {
    std::string image(32, '\0');
    std::memcpy(image.data(), name.data(), name.size());
    image[24] = 32;  // offset 32, little-endian
    image[28] = 4;   // size 4
    return image + "evil";
}

TEST_F(CliFixture, ExtractRefusesNameLeavingTheFolder) {
    const auto image = work.Write("evil.img", ImageNamed("/../x"));
    const fs::path out = work.path() / "out";
    const auto result = RunProcess({CliPath(), "extract", image.string(), out.string()});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("/../x"), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(work.path() / "x"));
    EXPECT_FALSE(fs::exists(out / "x"));
}

TEST_F(CliFixture, ListReportsMalformedImage) {
    const auto truncated = work.Write("cut.img", ImageNamed("/a.htm").substr(0, 34));
    auto result = RunProcess({CliPath(), "list", truncated.string()});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("malformed image"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("runs past the image end"), std::string::npos) << result.err;

    result = RunProcess({CliPath(), "list", (work.path() / "missing.img").string()});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("cannot open"), std::string::npos);
}

// A hand-made image of 1-byte files, N = the number of names.
[[maybe_unused]] std::string ImageOfNames(const std::vector<std::string>& names) {
    std::string image(names.size() * 32, '\0');
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::memcpy(image.data() + i * 32, names[i].data(), names[i].size());
        image[i * 32 + 24] = static_cast<char>(image.size() + i);  // offsets below 256
        image[i * 32 + 28] = 1;
    }
    return image + std::string(names.size(), 'c');
}

// list and extract hung on a FIFO, aborted on a folder, said only "cannot open", wrote one of two
// same-named entries over the other, printed names raw, and had no -, --json schema or -v.
TEST_F(CliFixture, ListAndExtractRefuseWhatTheyCannotUseAndSayWhy) {
    VELLUMIX_SKIP_ON_WINDOWS("Windows has no FIFOs");
#ifndef _WIN32
    const std::string w = work.path().string();
    const std::string ok = work.Write("ok.img", ImageNamed("/a.h")).string();
    const std::string dup = work.Write("dup.img", ImageOfNames({"/a", "/b", "/a"})).string();
    const std::string both = work.Write("both.img", ImageOfNames({"/a", "/a/b"})).string();
    const std::string esc = work.Write("esc.img", ImageOfNames({"/x\n\x1b[2J"})).string();
    const std::string zeros = work.Write("zeros.img", std::string(196608, '\0')).string();
    ASSERT_EQ(mkfifo((w + "/fifo").c_str(), 0600), 0);
    fs::create_directory(w + "/dir");
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int exit;
        std::string out;  // expected part of stdout
        std::string err;  // expected part of stderr
    };
    const Case cases[] = {
        {{"list", w + "/fifo"}, "", 1, "", w + "/fifo: not a regular file (FIFO)\n"},
        {{"extract", w + "/fifo", w + "/o1"}, "", 1, "", "not a regular file (FIFO)"},
        {{"list", w + "/dir"}, "", 1, "", "cannot open " + w + "/dir: Is a directory\n"},
        {{"list", "/dev/zero"}, "", 1, "", "/dev/zero: not a regular file (character device)"},
        {{"list", w + "/none"}, "", 1, "", "cannot open " + w + "/none: No such file or directory"},
        {{"list", "-"}, ImageNamed("/a.h"), 0, "/a.h                     offset", ""},
        {{"list", "-"}, "junk", 1, "", "malformed image (standard input): image of 4 bytes"},
        {{"list", "-"}, std::string(64, '\0'), 1, "", "(standard input): no file in the image\n"},
        {{"extract", zeros, w + "/o6"}, "", 1, "", zeros + ": no file in the image\n"},
        {{"list", ok, "--json"},
         "",
         0,
         "{\"event\":\"file\",\"name\":\"/a.h\",\"offset\":32,\"schema\":1,\"size\":4}\n"
         "{\"entries_used\":1,\"entry_count\":1,\"event\":\"result\",\"ok\":true,\"sha256\":",
         ""},
        {{"list", "--json", w + "/dir"},
         "",
         1,
         "{\"event\":\"result\",\"message\":\"cannot open " + w +
             "/dir: Is a directory\",\"ok\":false,\"schema\":1}\n",
         "Is a directory"},
        {{"list", dup}, "", 1, "/b ", "entries 0 and 2 have the same name \"/a\""},
        {{"list", both}, "", 1, "/a/b ", "\"/a\" is both a file (entry 0) and a folder"},
        {{"extract", dup, w + "/o2"}, "", 1, "", "have the same name"},
        {{"list", esc}, "", 0, "/x\\n\\x1b[2J ", ""},
        {{"extract", "-v", ok, w + "/o3"}, "", 0, "wrote " + w + "/o3/a.h (4 bytes)\n", ""},
        {{"-q", "extract", ok, w + "/o4"}, "", 0, "", ""},
        {{"extract", "--json", "-", w + "/o5"},
         ImageNamed("/a.h"),
         0,
         "{\"event\":\"file\",\"name\":\"/a.h\",\"path\":\"" + w +
             "/o5/a.h\",\"schema\":1,\"size\":4}\n{\"event\":\"result\",\"files\":1,",
         ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {CliPath()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto result = RunProcess(argv, c.input, {}, 10000);
        const std::string label = c.args.front() + " " + c.args[1];
        EXPECT_EQ(result.exitCode, c.exit) << label << "\n" << result.err;
        EXPECT_NE(result.out.find(c.out), std::string::npos) << label << "\n" << result.out;
        EXPECT_NE(result.err.find(c.err), std::string::npos) << label << "\n" << result.err;
        EXPECT_EQ(result.out.find('\x1b'), std::string::npos) << label;
        if (c.out.empty()) {
            EXPECT_EQ(result.out.find("/a"), std::string::npos) << label << "\n" << result.out;
        }
    }
    EXPECT_FALSE(fs::exists(w + "/o2"));
#endif
}

// Extraction opened an existing file for writing, so a hard link planted in the target folder
// wrote into the file it shares with a folder elsewhere.
TEST_F(CliFixture, ExtractDoesNotWriteThroughAHardLinkInTheTarget) {
    const auto outside = work.Write("outside/v", "keep");
    fs::create_directory(work.path() / "t");
    fs::create_hard_link(outside, work.path() / "t" / "a.h");
    const auto image = work.Write("ok.img", ImageNamed("/a.h"));
    const auto result =
        RunProcess({CliPath(), "extract", image.string(), (work.path() / "t").string()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(ReadFile(outside), "keep");
    EXPECT_EQ(ReadFile(work.path() / "t" / "a.h"), "evil");
}

// pack site -o site/o.img packed the previous o.img (and any other name of it) into the new one.
TEST_F(CliFixture, PackLeavesItsOutputFileOutOfTheImage) {
    work.Write("site/a.htm", "hello");
    const std::string site = (work.path() / "site").string();
    ASSERT_EQ(Pack({site, "-o", site + "/o.img"}).exitCode, 0);
    fs::create_hard_link(site + "/o.img", site + "/same.img");
    const auto result = Pack({site, "-o", site + "/./o.img"});
    EXPECT_NE(result.out.find("left out: /o.img (the image file being written)\nleft out: "
                              "/same.img (the image file being written)\nentries: 1 of 40\n"),
              std::string::npos)
        << result.out;
}

// On a full disk extract left the file it was writing cut short.
TEST_F(CliFixture, ExtractRemovesAFileItCouldNotWriteWhole) {
    VELLUMIX_SKIP_ON_WINDOWS("needs a file size limit (ulimit -f)");
    work.Write("site/a.htm", "a");
    work.Write("site/b.htm", std::string(65536, 'b'));
    const std::string image = (work.path() / "i.img").string();
    const std::string out = (work.path() / "out").string();
    ASSERT_EQ(Pack({(work.path() / "site").string(), "-o", image}).exitCode, 0);
    // Past 8 blocks a write fails (EFBIG) as it does on a full disk (ENOSPC).
    const auto result =
        RunProcess({"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 8; exec \"$0\" \"$@\"", CliPath(),
                    "extract", image, out});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "extract: cannot write \"" + out +
                              "/b.htm\": File too large; the partly written file was removed "
                              "(1 of 2 files written)\n");
    EXPECT_EQ(ReadFile(out + "/a.htm"), "a");
    EXPECT_FALSE(fs::exists(out + "/b.htm"));
}

// pack -o replaced whatever stood at the target by a new regular file: a device node, a FIFO,
// a link to stdout (nothing reached stdout); a folder was not refused.
TEST_F(CliFixture, PackOutputKeepsWhatTheTargetIs) {
    VELLUMIX_SKIP_ON_WINDOWS("making symbolic links needs a privilege on Windows");
    work.Write("site/a.htm", "hello");
    const std::string site = (work.path() / "site").string();
    const std::string w = work.path().string();
    work.Write("real.img", "old");
    fs::create_symlink("real.img", w + "/link.img");
    fs::create_directory(w + "/dir");
    struct Case {
        std::string target;
        int exit;
        std::size_t stdoutImageBytes;  // the image on stdout, with the report on stderr
        std::string err;
    };
    const Case cases[] = {
        {"-", 0, 1285, "entries: 1 of 40"},
        {"/proc/self/fd/1", 0, 1285, "entries: 1 of 40"},
        {"/dev/null", 0, 0, ""},
        {w + "/link.img", 0, 0, ""},
        {w + "/dir", 1, 0, "cannot write " + w + "/dir: Is a directory\n"},
    };
    for (const Case& c : cases) {
        const auto result = Pack({site, "-o", c.target});
        EXPECT_EQ(result.exitCode, c.exit) << c.target << "\n" << result.err;
        if (c.stdoutImageBytes > 0) {
            ASSERT_EQ(result.out.size(), c.stdoutImageBytes) << c.target;
            EXPECT_EQ(result.out.substr(1280), "hello");
        }
        EXPECT_NE(result.err.find(c.err), std::string::npos) << c.target << "\n" << result.err;
    }
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    EXPECT_TRUE(fs::is_symlink(w + "/link.img"));
    EXPECT_EQ(ReadFile(w + "/real.img").size(), 1285u);
    EXPECT_TRUE(fs::is_directory(w + "/dir"));

    // A write that fails after the checks (a full disk) is never preceded by a report of success.
    const auto full = Pack({site, "-o", "/dev/full", "--json"});
    EXPECT_EQ(full.exitCode, 1);
    EXPECT_EQ(full.out,
              "{\"event\":\"result\",\"message\":\"cannot write /dev/full: No space left "
              "on device\",\"ok\":false,\"schema\":1}\n");
}

// Output that is lost fails every command, said once at the end; a reader that has gone (a
// pipe closed, SIGPIPE ignored) ends the tool quietly with the status of SIGPIPE.
TEST_F(CliFixture, LostStandardOutputFailsTheCommandOnce) {
    VELLUMIX_SKIP_ON_WINDOWS("no /dev/full, no FIFO");
    const std::string web = (testing_support::ExamplesPath() / "web").string();
    const std::string image = (work.path() / "web.img").string();
    ASSERT_EQ(Pack({web, "-o", image}).exitCode, 0);
    const std::string full = "exec \"$@\" >/dev/full";
    const std::string gone =
        "trap '' PIPE; mkfifo \"$0/p\" && exec 3<>\"$0/p\" 4>\"$0/p\" 3<&- && "
        "exec \"$@\" >&4 4>&-";
    const std::string noSpace =
        "vellumix-cli: cannot write to standard output: No space left on device\n";
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {full, {"pack", web, "--ini", ini}},
        {full, {"list", "--json", image}},
        {full, {"upload", "--dry-run", "--json", web, "--ini", ini}},
        {full, {"settings", "path", "--ini", ini}},
        {full, {"settings", "show", "--ini", ini}},
        {gone, {"pack", web, "-v", "--ini", ini}},
    };
    for (const auto& [script, args] : cases) {
        std::vector<std::string> argv = {"/bin/sh", "-c", script, work.path().string(), CliPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto result = RunProcess(argv);
        EXPECT_EQ(result.exitCode, script == full ? 1 : 141) << args[0] << " " << args[1];
        EXPECT_EQ(result.err, script == full ? noSpace : "") << args[0] << " " << args[1];
    }
}

// A refused command line still ends --json output with its result.
TEST_F(CliFixture, UsageErrorWithJsonStillPrintsTheResult) {
    const std::string web = (testing_support::ExamplesPath() / "web").string();
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"pack", "--json", "--max-rom", "0", web},
         "{\"event\":\"result\",\"message\":\"--max-rom: Value 0 not in range 1 to 65536\","
         "\"ok\":false,\"schema\":1}\n"},
        {{"list", "--json"},
         "{\"event\":\"result\",\"message\":\"IMAGE is required\",\"ok\":false,\"schema\":1}\n"},
        {{"settings", "show", "--json", "--all"},
         "{\"event\":\"result\",\"message\":\"The following argument was not expected: --all\","
         "\"ok\":false,\"schema\":1}\n"},
        {{"upload", web, "--json", "--port", "0"},
         "{\"devices\":0,\"event\":\"result\",\"failed\":0,\"interrupted\":false,\"message\":\"--"
         "port: "
         "Value 0 not in range 1 to 65535\",\"ok\":false,\"schema\":1,\"succeeded\":0}\n"},
        {{"upload", web, "--json", "--device", "127.0.0.1", "--pace", "1001"},
         "{\"devices\":0,\"event\":\"result\",\"failed\":0,\"interrupted\":false,\"message\":\"--"
         "pace: Value 1001 not in range 0 to 1000\",\"ok\":false,\"schema\":1,\"succeeded\":0}\n"},
        {{"upload", web, "--device", "127.0.0.1", "--pace", "-1"}, ""},
        {{"pack", "--max-rom", "0", web}, ""},
    };
    for (const auto& [args, out] : cases) {
        std::vector<std::string> argv = {CliPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto result = RunProcess(argv);
        EXPECT_EQ(result.exitCode, 2) << args[0];
        EXPECT_EQ(result.out, out) << args[0];
        EXPECT_NE(result.err, "") << args[0];
    }
}

}  // namespace
