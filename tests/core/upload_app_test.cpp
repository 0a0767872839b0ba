#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/upload_app.h"
#include "platform/exe_path.h"
#include "platform/message_box.h"
#include "support/fake_message_box.h"
#include "support/test_support.h"

namespace {

using testing_support::ReadFile;
using testing_support::TempDir;

TEST(ApplicationName, TakesFileNameWithoutExtension) {
    const std::pair<std::string, std::string> cases[] = {
        {"C:\\bin\\a.b.exe", "a.b"},
        {"C:\\Program Files\\Uploader.exe", "Uploader"},
        {"C:Uploader.exe", "Uploader"},
        {"/usr/bin/vellumix", "vellumix"},
        {"/opt/v1.2/bin/vellumix", "vellumix"},
        {"/opt/v1.2/bin/a.b.exe", "a.b"},
        {"vellumix", "vellumix"},
        {"", ""},
    };
    for (const auto& [path, name] : cases) {
        EXPECT_EQ(app::ApplicationNameFromPath(path), name) << path;
    }
}

TEST(ApplicationFolder, EndsInOneSeparator) {
    EXPECT_EQ(app::FolderOfExecutable("/opt/v1.2/bin/vellumix"), "/opt/v1.2/bin/");
    EXPECT_EQ(app::FolderOfExecutable("/vellumix"), "/");
    EXPECT_EQ(app::FolderOfExecutable("vellumix"),
              std::string("vellumix") + platform::kPathSeparator);
}

struct LimitCase {
    const char* name;
    std::optional<std::string> file;  // nothing: no settings file at all
    std::int32_t maxRomBytes;
    std::int32_t maxFileCount;
    std::size_t warnings;
};

void PrintTo(const LimitCase& c, std::ostream* os) {
    *os << c.name;
}

class Limits : public testing::TestWithParam<LimitCase> {};

TEST_P(Limits, LoadLimitsReadsSettingsWithinBounds) {
    const auto& c = GetParam();
    TempDir dir;
    if (c.file) {
        dir.Write("Vellumix.ini", *c.file);
    }
    app::UploadApp application((dir.path() / "vellumix").string());
    application.appFolder = dir.path().string() + "/";
    application.LoadLimits();
    EXPECT_EQ(application.maxRomBytes, c.maxRomBytes);
    EXPECT_EQ(application.maxFileCount, c.maxFileCount);
    EXPECT_EQ(application.limitWarnings.size(), c.warnings);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, Limits,
    testing::Values(
        LimitCase{"NoFileGivesDefaults", std::nullopt, 196608, 40, 0},
        LimitCase{"OnlyWebPathGivesDefaults", "[DEFAULT]\r\nweb_path=C:\\w\r\n", 196608, 40, 0},
        LimitCase{"RomIn512KiB", "[DEFAULT]\nmax_rom=512\n", 524288, 40, 0},
        LimitCase{"RomZeroWarnsAndGivesDefault", "[DEFAULT]\nmax_rom=0\n", 196608, 40, 1},
        LimitCase{"RomUnitLetterIgnored", "[DEFAULT]\nmax_rom=512K\n", 524288, 40, 0},
        LimitCase{"RomStartingWithLetterWarnsAndGivesDefault", "[DEFAULT]\nmax_rom=K512\n", 196608,
                  40, 1},
        LimitCase{"RomEmptyWarnsAndGivesDefault", "[DEFAULT]\nmax_rom=\n", 196608, 40, 1},
        LimitCase{"RomAtUpperBound", "[DEFAULT]\nmax_rom=65536\n", 67108864, 40, 0},
        LimitCase{"RomAboveBoundWarnsAndGivesDefault", "[DEFAULT]\nmax_rom=65537\n", 196608, 40, 1},
        LimitCase{"RomNegativeWarnsAndGivesDefault", "[DEFAULT]\nmax_rom=-1\n", 196608, 40, 1},
        LimitCase{"RomOverflowingIntWarnsAndGivesDefault", "[DEFAULT]\nmax_rom=99999999999\n",
                  196608, 40, 1},
        LimitCase{"RomWhoseDoubleOverflowsWarns", "[DEFAULT]\nmax_rom=1048576\n", 196608, 40, 1},
        LimitCase{"FilesOne", "[DEFAULT]\nmax_file_count=1\n", 196608, 1, 0},
        LimitCase{"FilesZeroWarnsAndGivesDefault", "[DEFAULT]\nmax_file_count=0\n", 196608, 40, 1},
        LimitCase{"FilesNegativeWarnsAndGivesDefault", "[DEFAULT]\nmax_file_count=-5\n", 196608, 40,
                  1},
        LimitCase{"FilesAtUpperBound", "[DEFAULT]\nmax_file_count=100000\n", 196608, 100000, 0},
        LimitCase{"FilesAboveBoundWarnsAndGivesDefault", "[DEFAULT]\nmax_file_count=100001\n",
                  196608, 40, 1},
        LimitCase{"BothOutOfRangeWarnTwice",
                  "[DEFAULT]\nmax_rom=70000\nmax_file_count=2000000000\n", 196608, 40, 2},
        LimitCase{"OtherSectionIgnored", "[OTHER]\nmax_rom=512\nmax_file_count=3\n", 196608, 40,
                  0}),
    [](const testing::TestParamInfo<LimitCase>& tested) { return tested.param.name; });

TEST(Limits, WarningNamesTheValueAndTheReplacement) {
    const std::pair<std::string, std::string> cases[] = {
        {"max_rom=abc", "max_rom 'abc' reads as 0; using 192"},
        {"max_rom=70000", "max_rom 70000 is outside 1..65536 KiB; using 192"},
    };
    for (const auto& [line, warning] : cases) {
        TempDir dir;
        dir.Write("Vellumix.ini", "[DEFAULT]\n" + line + "\n");
        app::UploadApp application((dir.path() / "vellumix").string());
        application.appFolder = dir.path().string() + "/";
        application.LoadLimits();
        EXPECT_EQ(application.limitWarnings, std::vector<std::string>{warning}) << line;
    }
}

class StartUp : public testing::Test {
  protected:
    std::string Executable() const { return (dir.path() / "vellumix").string(); }

    TempDir dir;
    testing_support::FakeMessageBox messages;
};

TEST_F(StartUp, WindowRunsOnceWithFolderAndLimitsLoaded) {
    dir.Write("Vellumix.ini", "[DEFAULT]\nmax_rom=64\nmax_file_count=5\n");
    app::UploadApp application(Executable());
    int runs = 0;
    const bool result = application.InitInstance(messages, [&](app::UploadApp& running) {
        ++runs;
        EXPECT_EQ(&running, &application);
        EXPECT_EQ(running.appFolder, dir.path().string() + platform::kPathSeparator);
        EXPECT_EQ(running.maxRomBytes, 65536);
        EXPECT_EQ(running.maxFileCount, 5);
    });
    EXPECT_FALSE(result);
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(application.ApplicationName(), "vellumix");
    EXPECT_EQ(application.ExitInstance(), 0);
}

TEST_F(StartUp, SocketFailureShowsBoxAndReadsNothing) {
    dir.Write("Vellumix.ini", "[DEFAULT]\nmax_rom=64\n");
    app::StartupHooks hooks;
    hooks.socketLayerStartup = [] { return false; };
    const std::string executable = (dir.path() / "up.loader.exe").string();
    hooks.executablePath = [executable] { return std::optional<std::string>(executable); };
    app::UploadApp application(hooks);
    bool windowRan = false;
    EXPECT_FALSE(application.InitInstance(messages, [&](app::UploadApp&) { windowRan = true; }));
    EXPECT_FALSE(windowRan);
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, "Windows sockets initialization failed.");
    EXPECT_EQ(messages.shown[0].caption, "up.loader");
    EXPECT_EQ(messages.shown[0].style, platform::kMbIconExclamation);
    EXPECT_TRUE(application.appFolder.empty());
    EXPECT_EQ(application.maxRomBytes, 196608);
}

TEST_F(StartUp, MissingExecutablePathEndsSilently) {
    app::StartupHooks hooks;
    hooks.socketLayerStartup = [] { return true; };
    hooks.executablePath = [] { return std::optional<std::string>(); };
    app::UploadApp application(hooks);
    bool windowRan = false;
    EXPECT_FALSE(application.InitInstance(messages, [&](app::UploadApp&) { windowRan = true; }));
    EXPECT_FALSE(windowRan);
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_TRUE(application.appFolder.empty());
}

TEST_F(StartUp, RealExecutableGivesItsOwnFolder) {
    app::UploadApp application;
    application.InitInstance(messages, [](app::UploadApp& running) {
        ASSERT_FALSE(running.appFolder.empty());
        EXPECT_TRUE(platform::IsAbsolutePath(running.appFolder)) << running.appFolder;
        EXPECT_EQ(running.appFolder.back(), platform::kPathSeparator);
        EXPECT_EQ(running.ApplicationName(), "core_tests");
    });
}

class WebPath : public testing::Test {
  protected:
    WebPath() { application.appFolder = dir.path().string() + "/"; }

    TempDir dir;
    app::UploadApp application{std::string("/nowhere/vellumix")};
};

TEST_F(WebPath, NoSettingsFileGivesEmptyFolder) {
    EXPECT_EQ(application.LoadWebPath(), "");
}

TEST_F(WebPath, SaveCreatesFileWithOnlyTheWebPath) {
    application.SaveWebPath("/srv/web");
    EXPECT_EQ(ReadFile(dir.path() / "Vellumix.ini"), "[DEFAULT]\r\nweb_path=/srv/web\r\n");
    EXPECT_EQ(application.LoadWebPath(), "/srv/web");
}

TEST_F(WebPath, SaveLeavesLimitLinesUntouched) {
    dir.Write("Vellumix.ini", "[DEFAULT]\r\nmax_rom=512\r\nmax_file_count=80\r\n");
    application.SaveWebPath("/a");
    application.SaveWebPath("/b");
    EXPECT_EQ(ReadFile(dir.path() / "Vellumix.ini"),
              "[DEFAULT]\r\nmax_rom=512\r\nmax_file_count=80\r\nweb_path=/b\r\n");
    application.LoadLimits();
    EXPECT_EQ(application.maxRomBytes, 524288);
    EXPECT_EQ(application.maxFileCount, 80);
}

TEST_F(WebPath, PathThatWouldBeReadBackCutIsNotStored) {
    application.SaveWebPath("/a");
    application.SaveWebPath("/" + std::string(255, 'd'));
    EXPECT_EQ(application.LoadWebPath(), "/a");
}

TEST_F(WebPath, UnusableSettingsFileReadsAsMissingAndIsNotReplaced) {
    std::filesystem::create_directory(dir.path() / "Vellumix.ini");
    application.LoadLimits();
    EXPECT_EQ(application.maxRomBytes, 196608);
    EXPECT_EQ(application.LoadWebPath(), "");
    application.SaveWebPath("/a");
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "Vellumix.ini"));
}

TEST_F(WebPath, RefusedSaveIsSilentAndRemembersNothing) {
    // No user folder to fall back on, so the file stays in the (missing) executable folder.
    app::StartupHooks hooks;
    hooks.executablePath = [] { return std::optional<std::string>("/nowhere/vellumix"); };
    hooks.settingsLocation.isWritableFolder = [](const std::string&) { return false; };
    hooks.settingsLocation.environmentVariable = [](const std::string&) {
        return std::optional<std::string>();
    };
    hooks.settingsLocation.homeFolder = [] { return std::optional<std::string>(); };
    app::UploadApp homeless(hooks);
    homeless.appFolder = (dir.path() / "missing").string() + "/";
    homeless.SaveWebPath("/a");
    EXPECT_EQ(homeless.LoadWebPath(), "");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));
}

}  // namespace
