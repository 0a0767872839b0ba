#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

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
    EXPECT_EQ(get.out, value + "\n");
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

TEST_F(SettingsCli, EveryCommandHasHelp) {
    for (const char* command : {"get", "set"}) {
        const auto result =
            RunProcess({CliPath(), "settings", command, "--help"}, "", {}, kTimeoutMs);
        EXPECT_EQ(result.exitCode, 0) << command;
        EXPECT_NE(result.out.find("--ini"), std::string::npos) << command;
    }
}

}  // namespace
