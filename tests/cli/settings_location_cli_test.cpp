#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "app/settings_location.h"
#include "support/skip_on_windows.h"
#include "support/test_support.h"

namespace {

using testing_support::CliPath;
using testing_support::ReadFile;
using testing_support::RunProcess;
using testing_support::TempDir;

constexpr int kTimeoutMs = 20000;

TEST(SettingsLocationCli, PathPrintsTheIniGivenMadeAbsolute) {
    TempDir dir;
    const auto result =
        RunProcess({CliPath(), "settings", "path", "--ini", "x.ini"}, "", {}, kTimeoutMs);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, (std::filesystem::current_path() / "x.ini").string() + "\n");
}

TEST(SettingsLocationCli, WritableProgramFolderKeepsFileBesideProgram) {
#ifndef _WIN32
    const auto programFolder = std::filesystem::canonical(CliPath()).parent_path();
    if (::access(programFolder.c_str(), W_OK | X_OK) != 0) {
        GTEST_SKIP() << "the build folder is not ours to write";
    }
#endif
    TempDir config;
    const auto result =
        RunProcess({CliPath(), "settings", "path"}, "",
                   {{app::kConfigHomeVariable, config.path().string()}}, kTimeoutMs);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const auto besideProgram = std::filesystem::canonical(CliPath()).parent_path() / "Vellumix.ini";
    EXPECT_EQ(result.out, besideProgram.string() + "\n");
}

// An installed copy in a folder we may not write: the settings go to the user's folder, which
// the first write creates.
TEST(SettingsLocationCli, ReadOnlyProgramFolderStoresInUserConfigFolder) {
    VELLUMIX_SKIP_ON_WINDOWS("folder rights on Windows are ACLs, not mode bits");
#ifndef _WIN32
    if (::geteuid() == 0) {
        GTEST_SKIP() << "permissions do not bind root";
    }
    TempDir dir;
    const auto bin = dir.path() / "bin";
    std::filesystem::create_directories(bin);
    const auto program = bin / "vellumix-cli";
    std::filesystem::copy_file(CliPath(), program);
    ASSERT_EQ(::chmod(bin.c_str(), 0555), 0);
    const std::map<std::string, std::string> env{
        {"XDG_CONFIG_HOME", (dir.path() / "cfg").string()}};
    const auto userFile = dir.path() / "cfg" / "vellumix" / "Vellumix.ini";

    const auto path = RunProcess({program.string(), "settings", "path"}, "", env, kTimeoutMs);
    const auto set =
        RunProcess({program.string(), "settings", "set", "web_path", "/w"}, "", env, kTimeoutMs);
    const auto get =
        RunProcess({program.string(), "settings", "get", "web_path"}, "", env, kTimeoutMs);
    ::chmod(bin.c_str(), 0755);

    EXPECT_EQ(path.out, userFile.string() + "\n");
    ASSERT_EQ(set.exitCode, 0) << set.err;
    EXPECT_EQ(ReadFile(userFile), "[DEFAULT]\r\nweb_path=/w\r\n");
    EXPECT_EQ(get.out, "/w\n");
#endif
}

TEST(SettingsLocationCli, UncreatableUserFolderFailsTheWriteLoudly) {
    VELLUMIX_SKIP_ON_WINDOWS("folder rights on Windows are ACLs, not mode bits");
#ifndef _WIN32
    if (::geteuid() == 0) {
        GTEST_SKIP() << "permissions do not bind root";
    }
    TempDir dir;
    const auto bin = dir.path() / "bin";
    std::filesystem::create_directories(bin);
    const auto program = bin / "vellumix-cli";
    std::filesystem::copy_file(CliPath(), program);
    dir.Write("cfg", "a file where the folder should be");
    ASSERT_EQ(::chmod(bin.c_str(), 0555), 0);
    const auto set = RunProcess({program.string(), "settings", "set", "web_path", "/w"}, "",
                                {{"XDG_CONFIG_HOME", (dir.path() / "cfg").string()}}, kTimeoutMs);
    ::chmod(bin.c_str(), 0755);
    EXPECT_EQ(set.exitCode, 1);
    EXPECT_NE(set.err.find("cfg"), std::string::npos) << set.err;
#endif
}

}  // namespace
