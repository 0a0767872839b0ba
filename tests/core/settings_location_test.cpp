#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "app/settings_location.h"
#include "app/upload_app.h"
#include "platform/user_folders.h"
#include "support/fake_message_box.h"
#include "support/skip_on_windows.h"
#include "support/test_support.h"

namespace {

using testing_support::ReadFile;
using testing_support::TempDir;

// A probe that answers from fixed facts and never looks at the real process.
app::SettingsLocationProbe FixedProbe(bool writable, std::optional<std::string> configHome,
                                      std::optional<std::string> home,
                                      std::vector<std::string>* askedFolders = nullptr) {
    app::SettingsLocationProbe probe;
    probe.isWritableFolder = [writable, askedFolders](const std::string& folder) {
        if (askedFolders != nullptr) {
            askedFolders->push_back(folder);
        }
        return writable;
    };
    probe.environmentVariable = [configHome](const std::string& name) {
        return name == app::kConfigHomeVariable ? configHome : std::nullopt;
    };
    probe.homeFolder = [home] { return home; };
    return probe;
}

struct LocationCase {
    const char* name;
    bool writable;
    std::optional<std::string> configHome;
    std::optional<std::string> home;
    std::string path;
    bool inUserFolder;
};

void PrintTo(const LocationCase& c, std::ostream* os) {
    *os << c.name;
}

// The table's names are POSIX ones. On Windows an absolute name needs a drive, and the file in
// the user's folder is named the Windows way: "AppData\Roaming" for ".config", the folder
// "Vellumix", backslashes throughout.
std::optional<std::string> OnThisSystem(std::optional<std::string> name) {
#ifdef _WIN32
    if (name && name->starts_with('/')) {
        name->insert(0, "C:");
    }
#endif
    return name;
}

std::string UserFileOnThisSystem(const std::string& posixName) {
#ifdef _WIN32
    std::string name = *OnThisSystem(posixName);
    for (const auto& [from, to] :
         {std::pair<std::string, std::string>{"/.config/", "/AppData/Roaming/"},
          {"/vellumix/", "/Vellumix/"}}) {
        if (const auto at = name.find(from); at != std::string::npos) {
            name.replace(at, from.size(), to);
        }
    }
    std::replace(name.begin(), name.end(), '/', '\\');
    return name;
#else
    return posixName;
#endif
}

class Location : public testing::TestWithParam<LocationCase> {};

TEST_P(Location, FollowsTheWritableFolderRule) {
    const auto& c = GetParam();
    const std::string programFolder = *OnThisSystem("/opt/vellumix/bin/");
    std::vector<std::string> asked;
    const auto location = app::LocateSettings(
        programFolder, "Vellumix.ini",
        FixedProbe(c.writable, OnThisSystem(c.configHome), OnThisSystem(c.home), &asked));
    EXPECT_EQ(location.path, c.inUserFolder ? UserFileOnThisSystem(c.path) : *OnThisSystem(c.path));
    EXPECT_EQ(location.inUserFolder, c.inUserFolder);
    EXPECT_EQ(location.adminPath, c.inUserFolder ? programFolder + "Vellumix.ini" : "");
    EXPECT_EQ(asked, std::vector<std::string>{programFolder});
}

INSTANTIATE_TEST_SUITE_P(
    Settings, Location,
    testing::Values(LocationCase{"WritableFolderKeepsFileBesideExecutableDespiteXdg", true, "/cfg",
                                 "/home/u", "/opt/vellumix/bin/Vellumix.ini", false},
                    LocationCase{"ReadOnlyFolderUsesXdgConfigHome", false, "/cfg", "/home/u",
                                 "/cfg/vellumix/Vellumix.ini", true},
                    LocationCase{"TrailingSlashOfXdgConfigHomeGivesOneSeparator", false, "/cfg//",
                                 "/home/u", "/cfg/vellumix/Vellumix.ini", true},
                    LocationCase{"UnsetXdgConfigHomeUsesDotConfigInHome", false, std::nullopt,
                                 "/home/u", "/home/u/.config/vellumix/Vellumix.ini", true},
                    LocationCase{"EmptyXdgConfigHomeCountsAsUnset", false, "", "/home/u",
                                 "/home/u/.config/vellumix/Vellumix.ini", true},
                    LocationCase{"RelativeXdgConfigHomeIsIgnored", false, "cfg", "/home/u",
                                 "/home/u/.config/vellumix/Vellumix.ini", true},
                    LocationCase{"NoHomeAnywhereKeepsFileBesideExecutable", false, std::nullopt,
                                 std::nullopt, "/opt/vellumix/bin/Vellumix.ini", false},
                    LocationCase{"EmptyHomeKeepsFileBesideExecutable", false, std::nullopt, "",
                                 "/opt/vellumix/bin/Vellumix.ini", false}),
    [](const testing::TestParamInfo<LocationCase>& tested) { return tested.param.name; });

#ifndef _WIN32
mode_t ModeOf(const std::filesystem::path& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}
#endif

TEST(SettingsFolder, CreatesEveryMissingLevelPrivate) {
    TempDir dir;
    const auto folder = dir.path() / "config" / "vellumix";
    const auto error = app::PrepareSettingsFolder({(folder / "Vellumix.ini").string(), true, {}});
    ASSERT_FALSE(error.failed()) << error.text;
    EXPECT_TRUE(std::filesystem::is_directory(folder));
#ifndef _WIN32  // rights on Windows are the ACL the folder above hands down, not mode bits
    EXPECT_EQ(ModeOf(dir.path() / "config"), 0700u);
    EXPECT_EQ(ModeOf(folder), 0700u);
    ASSERT_EQ(::chmod(folder.c_str(), 0750), 0);
#endif
    // Again, with everything present: nothing to do, nothing changed.
    EXPECT_FALSE(
        app::PrepareSettingsFolder({(folder / "Vellumix.ini").string(), true, {}}).failed());
#ifndef _WIN32
    EXPECT_EQ(ModeOf(folder), 0750u);
#endif
}

TEST(SettingsFolder, FileInTheWayFailsWithItsName) {
    TempDir dir;
    const auto blocker = dir.Write("config", "not a folder");
    const auto error =
        app::PrepareSettingsFolder({(blocker / "vellumix" / "Vellumix.ini").string(), true, {}});
    EXPECT_NE(error.text.find(blocker.string()), std::string::npos) << error.text;
}

TEST(SettingsFolder, NothingIsCreatedBesideTheExecutable) {
    TempDir dir;
    const auto missing = dir.path() / "missing";
    EXPECT_FALSE(
        app::PrepareSettingsFolder({(missing / "Vellumix.ini").string(), false, {}}).failed());
    EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST(WritableFolderProbe, OnlyExistingFoldersCount) {
    TempDir dir;
    const auto file = dir.Write("file", "x");
    EXPECT_TRUE(platform::IsWritableFolder(dir.path().string()));
    EXPECT_TRUE(platform::IsWritableFolder(dir.path().string() + "/"));
    EXPECT_FALSE(platform::IsWritableFolder(file.string()));
    EXPECT_FALSE(platform::IsWritableFolder((dir.path() / "missing").string()));
    EXPECT_FALSE(platform::IsWritableFolder(""));
}

TEST(WritableFolderProbe, ReadOnlyFolderIsNotWritable) {
    VELLUMIX_SKIP_ON_WINDOWS("folder rights on Windows are ACLs, not mode bits");
#ifndef _WIN32
    if (::geteuid() == 0) {
        GTEST_SKIP() << "permissions do not bind root";
    }
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
    const bool writable = platform::IsWritableFolder(dir.path().string());
    ::chmod(dir.path().c_str(), 0755);
    EXPECT_FALSE(writable);
#endif
}

// The application object reads and writes one and the same file under the rule.
class InstalledApp : public testing::Test {
  protected:
    std::unique_ptr<app::UploadApp> MakeApp(bool writable) const {
        app::StartupHooks hooks;
        hooks.socketLayerStartup = [] { return true; };
        const std::string executable = (bin / "vellumix").string();
        hooks.executablePath = [executable] { return std::optional<std::string>(executable); };
        hooks.settingsLocation = FixedProbe(writable, (dir.path() / "cfg").string(), "/nowhere");
        auto application = std::make_unique<app::UploadApp>(hooks);
        application->appFolder = bin.string() + "/";
        return application;
    }

    TempDir dir;
    std::filesystem::path bin = dir.path() / "bin";
    std::filesystem::path userFile =
        dir.path() / "cfg" / app::kUserSettingsFolderName / "Vellumix.ini";

    void SetUp() override { std::filesystem::create_directories(bin); }
    // The user's file, relative to `dir`.
    static std::string UserFileName() {
        return std::string("cfg/") + app::kUserSettingsFolderName + "/Vellumix.ini";
    }
};

TEST_F(InstalledApp, ReadOnlyFolderSavesToUserFileAndReadsItBack) {
    auto application = MakeApp(false);
    EXPECT_EQ(application->SettingsFileLocation().path, userFile.string());
    EXPECT_EQ(application->LoadWebPath(), "");
    EXPECT_FALSE(std::filesystem::exists(userFile.parent_path())) << "created by a read";

    application->SaveWebPath("/srv/web");
    EXPECT_EQ(ReadFile(userFile), "[DEFAULT]\r\nweb_path=/srv/web\r\n");
#ifndef _WIN32  // rights on Windows are the ACL the folder above hands down
    EXPECT_EQ(ModeOf(userFile.parent_path()), 0700u);
#endif
    EXPECT_FALSE(std::filesystem::exists(bin / "Vellumix.ini"));
    EXPECT_EQ(application->LoadWebPath(), "/srv/web");
}

TEST_F(InstalledApp, StartUpTakesLimitsFromTheFileTheRuleNames) {
    dir.Write("bin/Vellumix.ini", "[DEFAULT]\nmax_rom=512\nmax_file_count=7\n");
    dir.Write(UserFileName(), "[DEFAULT]\nmax_rom=64\nmax_file_count=5\n");
    const struct {
        bool writable;
        std::int32_t maxRomBytes;
        std::int32_t maxFileCount;
    } cases[] = {{true, 524288, 7}, {false, 65536, 5}};
    for (const auto& c : cases) {
        auto application = MakeApp(c.writable);
        testing_support::FakeMessageBox messages;
        application->InitInstance(messages, [&](app::UploadApp& running) {
            EXPECT_EQ(running.maxRomBytes, c.maxRomBytes) << "writable " << c.writable;
            EXPECT_EQ(running.maxFileCount, c.maxFileCount) << "writable " << c.writable;
        });
        application->ExitInstance();
    }
}

TEST_F(InstalledApp, FileBesideReadOnlyProgramIsReadUnderTheUserFileKeyByKey) {
    const std::string admin = "[DEFAULT]\nmax_rom=512\nmax_file_count=7\nweb_path=/admin\n";
    dir.Write("bin/Vellumix.ini", admin);
    auto application = MakeApp(false);
    application->LoadLimits();
    EXPECT_EQ(application->maxRomBytes, 524288);
    EXPECT_EQ(application->maxFileCount, 7);
    EXPECT_EQ(application->LoadWebPath(), "/admin");

    dir.Write(UserFileName(), "[DEFAULT]\nmax_file_count=5\n");
    application->SaveWebPath("/mine");
    application->LoadLimits();
    EXPECT_EQ(application->maxRomBytes, 524288);
    EXPECT_EQ(application->maxFileCount, 5);
    EXPECT_EQ(application->LoadWebPath(), "/mine");
    EXPECT_EQ(ReadFile(bin / "Vellumix.ini"), admin);
}

TEST_F(InstalledApp, WritableFolderNeverCreatesTheUserFolder) {
    auto application = MakeApp(true);
    application->SaveWebPath("/srv/web");
    EXPECT_EQ(ReadFile(bin / "Vellumix.ini"), "[DEFAULT]\r\nweb_path=/srv/web\r\n");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "cfg"));
}

TEST_F(InstalledApp, UncreatableUserFolderMakesSaveSilentlyRememberNothing) {
    dir.Write("cfg", "a file where the folder should be");
    auto application = MakeApp(false);
    application->SaveWebPath("/srv/web");
    EXPECT_EQ(application->LoadWebPath(), "");
    EXPECT_FALSE(std::filesystem::exists(bin / "Vellumix.ini"));
}

}  // namespace
