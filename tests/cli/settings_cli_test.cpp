#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform/file_lock.h"
#include "platform/system_text.h"
#include "support/skip_on_windows.h"
#include "support/test_support.h"

namespace {

using testing_support::CliPath;
using testing_support::ProcessResult;
using testing_support::ReadFile;
using testing_support::RunProcess;
using testing_support::TempDir;

constexpr int kTimeoutMs = 20000;

class SettingsCli : public testing::Test {
  protected:
    std::string Ini() const { return (dir.path() / "Vellumix.ini").string(); }

    // vellumix-cli settings <arguments...> --ini <temp ini>
    ProcessResult Settings(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {CliPath(), "settings"});
        arguments.insert(arguments.end(), {"--ini", Ini()});
        return RunProcess(arguments, "", {}, kTimeoutMs);
    }

    TempDir dir;
};

TEST_F(SettingsCli, SetThenGetGivesBytesBackUnchanged) {
    const std::string value = "/srv/web pages;v1#2/d\xC3\xA9j\xE0";
    const auto set = Settings({"set", "web_path", value});
    ASSERT_EQ(set.exitCode, 0) << set.err;
    EXPECT_EQ(set.out, "");
    EXPECT_EQ(ReadFile(Ini()), "[DEFAULT]\r\nweb_path=" + value + "\r\n");

    const auto get = Settings({"get", "web_path"});
    EXPECT_EQ(get.exitCode, 0);
#ifdef _WIN32
    // Passed in the ANSI code page, printed as the internal text (UTF-8) that stands for it.
    EXPECT_EQ(get.out, platform::InternalTextOf(value) + "\n");
#else
    EXPECT_EQ(get.out, value + "\n");
#endif
}

TEST_F(SettingsCli, GetOfMissingKeyPrintsDefaultOrEmptyLine) {
    dir.Write("Vellumix.ini", "[DEFAULT]\nempty=\n");
    EXPECT_EQ(Settings({"get", "web_path"}).out, "\n");
    EXPECT_EQ(Settings({"get", "web_path", "--default", "/fallback"}).out, "/fallback\n");
    // A present but empty value is not replaced by the default.
    EXPECT_EQ(Settings({"get", "empty", "--default", "/fallback"}).out, "\n");
}

TEST_F(SettingsCli, GetIntReadsAsTheProgramDoes) {
    dir.Write("Vellumix.ini", "[DEFAULT]\nmax_rom=512K\nletters=K9\nnegative= -40\n");
    struct Case {
        std::vector<std::string> arguments;
        std::string out;
    };
    const Case cases[] = {
        {{"get", "max_rom", "--int"}, "512\n"},
        {{"get", "letters", "--int", "--default", "7"}, "0\n"},
        {{"get", "negative", "--int"}, "-40\n"},
        {{"get", "missing", "--int"}, "0\n"},
        {{"get", "missing", "--int", "--default", "-12"}, "-12\n"},
    };
    for (const auto& c : cases) {
        const auto result = Settings(c.arguments);
        EXPECT_EQ(result.exitCode, 0) << c.arguments[1];
        EXPECT_EQ(result.out, c.out) << c.arguments[1];
    }
}

TEST_F(SettingsCli, NonNumericDefaultWithIntIsUsageError) {
    const auto result = Settings({"get", "max_rom", "--int", "--default", "12K"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err, "");
}

TEST_F(SettingsCli, SetKeepsEveryOtherLineAndNamedSection) {
    const std::string before = "; mine\n[DEFAULT]\nmax_rom = 512\n\n[site]\nname=a\n";
    dir.Write("Vellumix.ini", before);
    ASSERT_EQ(Settings({"set", "name", "b", "--section", "SITE"}).exitCode, 0);
    ASSERT_EQ(Settings({"set", "web_path", "/w"}).exitCode, 0);
    EXPECT_EQ(ReadFile(Ini()), "; mine\n[DEFAULT]\nmax_rom = 512\nweb_path=/w\n\n[site]\nname=b\n");
    EXPECT_EQ(Settings({"get", "name", "--section", "site"}).out, "b\n");
    EXPECT_EQ(Settings({"get", "name"}).out, "\n");
}

TEST_F(SettingsCli, FailedWriteExitsOneWithMessage) {
    const auto missingFolder = RunProcess({CliPath(), "settings", "set", "web_path", "/w", "--ini",
                                           (dir.path() / "no/such/x.ini").string()},
                                          "", {}, kTimeoutMs);
    EXPECT_EQ(missingFolder.exitCode, 1);
    EXPECT_NE(missingFolder.err.find("x.ini"), std::string::npos) << missingFolder.err;

    dir.Write("Vellumix.ini", "[DEFAULT]\nweb_path=/a\n");
    const auto lineBreak = Settings({"set", "web_path", "/b\nmax_rom=99999"});
    EXPECT_EQ(lineBreak.exitCode, 1);
    EXPECT_EQ(ReadFile(Ini()), "[DEFAULT]\nweb_path=/a\n");
}

TEST_F(SettingsCli, ReadOnlyFolderExitsOneAndKeepsFile) {
    VELLUMIX_SKIP_ON_WINDOWS("folder rights on Windows are ACLs, not mode bits");
#ifndef _WIN32
    if (::geteuid() == 0) {
        GTEST_SKIP() << "permissions do not bind root";
    }
    dir.Write("Vellumix.ini", "[DEFAULT]\nweb_path=/a\n");
    ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
    const auto result = Settings({"set", "web_path", "/b"});
    ::chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err, "");
    EXPECT_EQ(ReadFile(Ini()), "[DEFAULT]\nweb_path=/a\n");
#endif
}

TEST_F(SettingsCli, ConcurrentSetsOfDifferentKeysAllLast) {
    constexpr int kWriters = 20;
    std::vector<std::unique_ptr<testing_support::BackgroundProcess>> writers;
    for (int i = 0; i < kWriters; ++i) {
        const std::string n = std::to_string(i);
        writers.push_back(std::make_unique<testing_support::BackgroundProcess>(
            std::vector<std::string>{CliPath(), "settings", "set", "key" + n, "value" + n,
                                     "--any-key", "--ini", Ini()}));
    }
    // Meanwhile a reader finds no file yet or a whole one: never a part.
    for (int read = 0; read < 200; ++read) {
        const std::string seen = std::filesystem::exists(Ini()) ? ReadFile(Ini()) : "";
        EXPECT_TRUE(seen.empty() || (seen.starts_with("[DEFAULT]\r\n") && seen.ends_with("\r\n")))
            << seen;
    }
    for (auto& writer : writers) {
        EXPECT_EQ(writer->WaitForExit(60000), 0) << writer->Output();
    }
    const std::string text = ReadFile(Ini());
    for (int i = 0; i < kWriters; ++i) {
        const std::string n = std::to_string(i);
        EXPECT_NE(text.find("\r\nkey" + n + "=value" + n + "\r\n"), std::string::npos) << text;
    }
}

TEST_F(SettingsCli, LockHeldByAnotherProcessFailsClearlyInsteadOfWaiting) {
    dir.Write("Vellumix.ini", "[DEFAULT]\nweb_path=/a\n");
    platform::FileWriteLock held;
    ASSERT_FALSE(held.Acquire(Ini(), std::chrono::milliseconds(0)).failed());
    const auto result = Settings({"set", "web_path", "/b"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find(Ini() + ".lock: held by another writer for more than 5 s"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(ReadFile(Ini()), "[DEFAULT]\nweb_path=/a\n");
}

TEST_F(SettingsCli, MissingArgumentsAreUsageErrors) {
    EXPECT_EQ(Settings({"get"}).exitCode, 2);
    EXPECT_EQ(Settings({"set", "web_path"}).exitCode, 2);
    EXPECT_EQ(RunProcess({CliPath(), "settings"}, "", {}, kTimeoutMs).exitCode, 2);
}

// The limits of the image commands come from the same settings reading as the program's.
TEST_F(SettingsCli, OutOfRangeLimitsWarnAndFallBackToDefaults) {
    dir.Write("Vellumix.ini", "[DEFAULT]\nmax_rom=70000\nmax_file_count=200000\n");
    const std::string image = (dir.path() / "web.img").string();
    const auto packed =
        RunProcess({CliPath(), "pack", (testing_support::ExamplesPath() / "web").string(), "-o",
                    image, "--ini", Ini()},
                   "", {}, kTimeoutMs);
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    EXPECT_NE(packed.err.find("warning: max_rom 70000 is outside 1..65536 KiB; using 192\n"),
              std::string::npos)
        << packed.err;
    EXPECT_NE(packed.err.find("warning: max_file_count 200000 is outside 1..100000; using 40\n"),
              std::string::npos)
        << packed.err;
    const auto listed = RunProcess({CliPath(), "list", image}, "", {}, kTimeoutMs);
    EXPECT_NE(listed.out.find(" of 40\n"), std::string::npos) << listed.out;
}

// Command line, the settings file before it, expected exit, output and error text ("INI" in
// them stands for the file's path).
TEST_F(SettingsCli, CommandsAsTheProgramsReadAndWrite) {
    enum class File { kText, kDirectory, kFifo };
    struct Case {
        File file;
        std::string text;
        std::vector<std::string> arguments;
        int exitCode;
        std::string out;
        std::string errHas;
    };
    const std::string tooLong(256, 'x');
    const Case cases[] = {
        {File::kText,
         "[DEFAULT]\nmax_rom=512\nmax_file_count=0\n",
         {"show"},
         0,
         "--ini file: INI (read)\nmaxRomBytes: 524288 (--ini file INI: max_rom=512)\n"
         "maxFileCount: 40 (--ini file INI: max_file_count=0; fallback: max_file_count '0' reads "
         "below 1; using 40)\nweb_path: (empty) (default: web_path is not set)\n",
         ""},
        {File::kText,
         "[DEFAULT]\nmax_file_count=9\n",
         {"show", "--json"},
         0,
         R"({"event":"file","origin":"ini_file","path":"INI","schema":1,"state":"read"}
{"event":"setting","key":"max_rom","name":"maxRomBytes","origin":"default","value":196608}
{"event":"setting","key":"max_file_count","name":"maxFileCount","origin":"ini_file","path":"INI","read":"9","value":9}
{"event":"setting","key":"web_path","name":"web_path","origin":"default","value":""}
{"event":"result","ok":true}
)",
         ""},
        {File::kText, "", {"set", "web_pth", "/w"}, 2, "", "unknown key 'web_pth'"},
        {File::kText, "", {"set", "web_pth", "/w", "--any-key"}, 0, "", ""},
        {File::kText, "", {"set", " MAX_ROM ", "512"}, 0, "", ""},
        {File::kText, "", {"set", "web_pth", "/w", "--section", "mine"}, 0, "", ""},
        {File::kText, "", {"set", "web_path", tooLong}, 1, "", "256 bytes long"},
        {File::kText, "", {"set", "web_path", "/w", "--section", " "}, 2, "", "section name is"},
        {File::kText, "", {"set", "", "/w", "--any-key"}, 2, "", "the key is empty"},
        {File::kDirectory,
         "",
         {"show"},
         0,
         "--ini file: INI (ignored: cannot open INI: Is a directory)\n",
         ""},
        {File::kDirectory, "", {"set", "web_path", "/w"}, 1, "", "INI: Is a directory"},
#ifndef _WIN32  // Windows has no FIFOs
        {File::kFifo,
         "",
         {"get", "web_path", "--default", "/d"},
         0,
         "/d\n",
         "warning: INI: not a regular file (FIFO); reading it as a missing settings file"},
        {File::kFifo, "", {"set", "web_path", "/w"}, 1, "", "INI: not a regular file (FIFO)"},
#endif
    };
    // In JSON the path is a string value: its backslashes (Windows separators) are escaped.
    const auto withPath = [this](std::string text, bool json = false) {
        std::string path;
        for (const char c : Ini()) {
            path.append(json && (c == '\\' || c == '"') ? 1 : 0, '\\').push_back(c);
        }
        for (auto at = text.find("INI"); at != std::string::npos; at = text.find("INI", at + 1)) {
            text.replace(at, 3, path);
        }
        return text;
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(Ini());
        if (c.file == File::kDirectory) {
            std::filesystem::create_directory(Ini());
        } else if (c.file == File::kFifo) {
#ifndef _WIN32
            ASSERT_EQ(::mkfifo(Ini().c_str(), 0600), 0);
#endif
        } else {
            dir.Write("Vellumix.ini", c.text);
        }
        const auto result = Settings(c.arguments);
        std::string line;
        for (const auto& argument : c.arguments) {
            line += argument.substr(0, 20) + " ";
        }
        EXPECT_EQ(result.exitCode, c.exitCode) << line << "\n" << result.err;
        if (c.arguments[0] == "show" && c.file != File::kText) {
            EXPECT_TRUE(result.out.starts_with(withPath(c.out))) << line << "\n" << result.out;
        } else {
            const bool json =
                std::find(c.arguments.begin(), c.arguments.end(), "--json") != c.arguments.end();
            EXPECT_EQ(result.out, withPath(c.out, json)) << line;
        }
        EXPECT_NE(result.err.find(withPath(c.errHas)), std::string::npos) << line << result.err;
        if (c.exitCode != 0 && c.file == File::kText) {
            EXPECT_EQ(ReadFile(Ini()), c.text) << line;
        }
    }
#ifndef _WIN32
    EXPECT_TRUE(std::filesystem::is_fifo(Ini()));
#endif
}

TEST_F(SettingsCli, FolderAsSettingsFileIsReadAsMissingByEveryCommand) {
    std::filesystem::create_directory(Ini());
    const auto packed =
        RunProcess({CliPath(), "pack", (testing_support::ExamplesPath() / "web").string(), "-o",
                    (dir.path() / "web.img").string(), "--ini", Ini()},
                   "", {}, kTimeoutMs);
    EXPECT_EQ(packed.exitCode, 0) << packed.err;
    EXPECT_NE(packed.err.find(Ini() + ": Is a directory; reading it as a missing settings file"),
              std::string::npos)
        << packed.err;
}

TEST_F(SettingsCli, EveryCommandHasHelp) {
    for (const char* command : {"get", "set", "show"}) {
        const auto result =
            RunProcess({CliPath(), "settings", command, "--help"}, "", {}, kTimeoutMs);
        EXPECT_EQ(result.exitCode, 0) << command;
        EXPECT_NE(result.out.find("--ini"), std::string::npos) << command;
    }
}

}  // namespace
