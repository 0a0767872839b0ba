#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "app/profile_file.h"
#include "app/settings_file.h"
#include "support/skip_on_windows.h"
#include "support/test_support.h"

namespace {

using app::LookUpProfileValue;
using app::SetProfileValue;
using testing_support::ReadFile;
using testing_support::TempDir;

struct LookUpCase {
    const char* name;
    std::string text;
    const char* section;
    const char* key;
    std::optional<std::string> expected;
};

void PrintTo(const LookUpCase& c, std::ostream* os) {
    *os << c.name;
}

class LookUp : public testing::TestWithParam<LookUpCase> {};

TEST_P(LookUp, FindsTheValueAsThePlatformReaderDoes) {
    const auto& c = GetParam();
    EXPECT_EQ(LookUpProfileValue(c.text, c.section, c.key), c.expected);
}

const std::string kLong(300, 'x');

INSTANTIATE_TEST_SUITE_P(
    ProfileReader, LookUp,
    testing::Values(
        LookUpCase{"PlainKey", "[DEFAULT]\nmax_rom=512\n", "DEFAULT", "max_rom", "512"},
        LookUpCase{"IgnoresCaseOfSectionAndKey", "[default]\nMAX_ROM=7\n", "DEFAULT", "max_rom",
                   "7"},
        LookUpCase{"IgnoresBlanksAroundNamesAndValue", "  [ DEFAULT ]  \n \t web_path =  /a b  \n",
                   "DEFAULT", "web_path", "/a b"},
        LookUpCase{"IgnoresBlanksAroundAskedNames", "[DEFAULT]\nk=v\n", " DEFAULT ", " k ", "v"},
        LookUpCase{"SectionNameEndsAtFirstBracket", "[DEF]AULT]\nk=v\n", "DEF", "k", "v"},
        LookUpCase{"TextAfterBracketIsNotPartOfName", "[DEFAULT] ; note\nk=v\n", "DEFAULT", "k",
                   "v"},
        LookUpCase{"SearchesOnlyFirstSectionOfName", "[DEFAULT]\na=1\n[DEFAULT]\nb=2\n", "DEFAULT",
                   "b", std::nullopt},
        LookUpCase{"TakesFirstLineOfKey", "[DEFAULT]\nk=first\nk=second\n", "DEFAULT", "k",
                   "first"},
        LookUpCase{"KeyInOtherSectionIsMissing", "[OTHER]\nk=v\n[DEFAULT]\nj=w\n", "DEFAULT", "k",
                   std::nullopt},
        LookUpCase{"KeyBeforeAnySectionIsMissing", "k=v\n[DEFAULT]\n", "DEFAULT", "k",
                   std::nullopt},
        LookUpCase{"StripsMatchingDoubleQuotes", "[S]\nk=\"a b\"\n", "S", "k", "a b"},
        LookUpCase{"StripsMatchingSingleQuotes", "[S]\nk='a b'\n", "S", "k", "a b"},
        LookUpCase{"KeepsUnmatchedQuotes", "[S]\nk=\"a b'\n", "S", "k", "\"a b'"},
        LookUpCase{"KeepsLoneQuote", "[S]\nk=\"\n", "S", "k", "\""},
        LookUpCase{"EmptyQuotesGiveEmptyValue", "[S]\nk=\"\"\n", "S", "k", ""},
        LookUpCase{"SemicolonLineIsComment", "[S]\n;k=commented\n  ; k=also\nk=real\n", "S", "k",
                   "real"},
        LookUpCase{"CommentMarksInsideValueAreKept", "[S]\nk=a;b#c\n", "S", "k", "a;b#c"},
        LookUpCase{"EmptyValueIsEmptyNotMissing", "[S]\nk=\n", "S", "k", ""},
        LookUpCase{"KeyLineWithoutEqualsIsFirstLineAndMissing", "[S]\n k \nk=v\n", "S", "k",
                   std::nullopt},
        LookUpCase{"LoneCrEndsLine", "[S]\rk=v\rj=w", "S", "j", "w"},
        LookUpCase{"MixedLineEnds", "[S]\r\na=1\rk=v\nj=w\r\n", "S", "k", "v"},
        LookUpCase{"SectionWithoutClosingBracket", "[OTHER\nk=o\n[ S \nk=v\n", "S", "k", "v"},
        LookUpCase{"ValueMayHoldEquals", "[S]\nk=a=b\n", "S", "k", "a=b"},
        LookUpCase{"CrLfLineEnds", "[S]\r\nk=v\r\nj=w\r\n", "S", "k", "v"},
        LookUpCase{"MissingFinalLineEnd", "[S]\r\nk=v", "S", "k", "v"},
        LookUpCase{"SkipsUtf8ByteOrderMark", "\xEF\xBB\xBF[S]\nk=v\n", "S", "k", "v"},
        LookUpCase{"KeepsHighBytesOfValue", "[S]\nk=/d\xC3\xA9j\xE0\n", "S", "k",
                   "/d\xC3\xA9j\xE0"},
        LookUpCase{"EmptyTextHasNoValue", "", "S", "k", std::nullopt}),
    [](const testing::TestParamInfo<LookUpCase>& tested) { return tested.param.name; });

struct SetCase {
    const char* name;
    std::string before;
    const char* section;
    const char* key;
    const char* value;
    std::string after;
};

void PrintTo(const SetCase& c, std::ostream* os) {
    *os << c.name;
}

class SetValue : public testing::TestWithParam<SetCase> {};

TEST_P(SetValue, ChangesOnlyTheOneValue) {
    const auto& c = GetParam();
    EXPECT_EQ(SetProfileValue(c.before, c.section, c.key, c.value), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    ProfileWriter, SetValue,
    testing::Values(
        SetCase{
            "ReplacesValueKeepingOtherLinesByteForByte",
            "; settings\r\n[DEFAULT]\r\nmax_rom=512\r\n\r\nweb_path=/old\r\nmax_file_count=9\r\n",
            "DEFAULT", "web_path", "/new",
            "; settings\r\n[DEFAULT]\r\nmax_rom=512\r\n\r\nweb_path=/new\r\nmax_file_count=9\r\n"},
        SetCase{"KeepsKeySpellingAndSpacingBeforeValue", "[default]\n  Web_Path =  /old  \n",
                "DEFAULT", "web_path", "/new", "[default]\n  Web_Path =  /new\n"},
        SetCase{"ReplacesEmptyValue", "[S]\nk=\nj=1\n", "S", "k", "v", "[S]\nk=v\nj=1\n"},
        SetCase{"QuotesValueThatWouldNotReadBackUnchanged", "[S]\nk=1\n", "S", "k", " a \"b\" ",
                "[S]\nk=\" a \"b\" \"\n"},
        SetCase{"AddsMissingKeyAfterLastKeyLineOfSection",
                "[DEFAULT]\nmax_rom=512\n; trailing comment\n\n[OTHER]\nx=1\n", "DEFAULT",
                "web_path", "/w",
                "[DEFAULT]\nmax_rom=512\nweb_path=/w\n; trailing comment\n\n[OTHER]\nx=1\n"},
        SetCase{"AddsKeyRightAfterHeaderOfSectionWithoutKeys", "[DEFAULT]\n\n[OTHER]\nx=1\n",
                "DEFAULT", "k", "v", "[DEFAULT]\nk=v\n\n[OTHER]\nx=1\n"},
        SetCase{"AddsKeyAfterLastLineLackingItsEnd", "[S]\r\na=1", "S", "k", "v",
                "[S]\r\na=1\r\nk=v\r\n"},
        SetCase{"AddsMissingSectionAtEnd", "[OTHER]\nx=1\n", "DEFAULT", "web_path", "/w",
                "[OTHER]\nx=1\n[DEFAULT]\nweb_path=/w\n"},
        SetCase{"AddsSectionAfterTextLackingFinalLineEnd", "[OTHER]\r\nx=1", "DEFAULT", "k", "v",
                "[OTHER]\r\nx=1\r\n[DEFAULT]\r\nk=v\r\n"},
        SetCase{"EmptyTextGetsCrLfLines", "", "DEFAULT", "web_path", "/w",
                "[DEFAULT]\r\nweb_path=/w\r\n"},
        SetCase{"ChangesOnlyFirstSectionOfName", "[S]\na=1\n[S]\nk=old\n", "S", "k", "new",
                "[S]\na=1\nk=new\n[S]\nk=old\n"},
        SetCase{"ChangesOnlyFirstLineOfKey", "[S]\nk=1\nk=2\n", "S", "k", "3", "[S]\nk=3\nk=2\n"},
        SetCase{"IgnoresCommentedKey", "[S]\n;k=old\n", "S", "k", "new", "[S]\nk=new\n;k=old\n"},
        SetCase{"KeepsByteOrderMark", "\xEF\xBB\xBF[S]\nk=1\n", "S", "k", "2",
                "\xEF\xBB\xBF[S]\nk=2\n"},
        SetCase{"ReplacedLastLineGetsItsLineEnd", "[S]\r\nk=1", "S", "k", "2", "[S]\r\nk=2\r\n"},
        SetCase{"KeyLineWithoutEqualsGetsValue", "[S]\n  K  \nk=old\n", "S", "k", "v",
                "[S]\n  K=v\nk=old\n"},
        SetCase{"AddedLineEndsLikeLineBeforeIt", "[S]\ra=1\r\n\n", "S", "k", "v",
                "[S]\ra=1\r\nk=v\r\n\n"},
        SetCase{"CrOnlyFileGetsCrLines", "[O]\rx=1\r", "S", "k", "v", "[O]\rx=1\r[S]\rk=v\r"},
        SetCase{"ByteOrderMarkOnlyGetsNoBlankLine", "\xEF\xBB\xBF", "S", "k", "v",
                "\xEF\xBB\xBF[S]\r\nk=v\r\n"}),
    [](const testing::TestParamInfo<SetCase>& tested) { return tested.param.name; });

TEST(ProfileWriter, RefusesArgumentsThatWouldBreakTheFileForm) {
    const std::string nul("a\0b", 3);
    EXPECT_TRUE(app::CheckProfileWrite("S", "k", "a\nmax_rom=9"));
    EXPECT_TRUE(app::CheckProfileWrite("S", "k", "a\rb"));
    EXPECT_TRUE(app::CheckProfileWrite("S", "k", nul));
    EXPECT_TRUE(app::CheckProfileWrite("S", "k=j", "v"));
    EXPECT_TRUE(app::CheckProfileWrite("S", "  ", "v"));
    EXPECT_TRUE(app::CheckProfileWrite("S", "[k", "v"));
    EXPECT_TRUE(app::CheckProfileWrite("S", ";k", "v"));
    EXPECT_TRUE(app::CheckProfileWrite("S]x", "k", "v"));
    EXPECT_TRUE(app::CheckProfileWrite("", "k", "v"));
    EXPECT_FALSE(app::CheckProfileWrite("DEFAULT", "web_path", "C:\\a;b#c = \"d\""));
}

struct IntCase {
    const char* text;
    std::int32_t expected;
};

TEST(ProfileInt, ReadsLeadingNumberAsAtoiWithoutOverflow) {
    const IntCase cases[] = {
        {"512", 512},
        {"  \t\n42abc", 42},
        {"512K", 512},
        {"+7", 7},
        {"-3", -3},
        {"abc", 0},
        {"", 0},
        {"- 5", 0},
        {"0x10", 0},
        {"2147483647", 2147483647},
        {"2147483648", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {"-2147483649", -2147483647 - 1},
        {"99999999999999999999999999", 2147483647},
        {"-99999999999999999999999999", -2147483647 - 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(app::ParseProfileInt(c.text), c.expected) << '"' << c.text << '"';
    }
}

// File-level behaviour: the files themselves, through SettingsFile.

app::SettingsEnvironment EnvironmentFor(const std::string& executable,
                                        const std::string& currentDirectory = "/cwd") {
    return {executable, currentDirectory};
}

TEST(SettingsFileName, CompletesNamesByTheFolderRule) {
    VELLUMIX_SKIP_ON_WINDOWS("the table is written in POSIX paths");
    struct Case {
        std::string fileName;
        bool useModuleFolder;
        std::string currentDirectory;
        std::string expected;
    };
    const Case cases[] = {
        {"", true, "/cwd", "/opt/v1.2/bin/vellumix.ini"},
        {"", false, "/cwd", "/cwd/vellumix.ini"},
        {"", false, "/cwd//", "/cwd/vellumix.ini"},
        {"", false, "/", "/vellumix.ini"},
        {"Vellumix.ini", true, "/cwd", "/opt/v1.2/bin/Vellumix.ini"},
        {"Vellumix.ini", false, "/cwd", "/cwd/Vellumix.ini"},
        {"sub/x.ini", true, "/cwd", "/opt/v1.2/bin/sub/x.ini"},
        {"/etc/x.ini", true, "/cwd", "/etc/x.ini"},
        {"/etc/x.ini", false, "/cwd", "/etc/x.ini"},
        {"C:x.ini", true, "/cwd", "/opt/v1.2/bin/C:x.ini"},
    };
    for (const auto& c : cases) {
        const app::SettingsFile settings(
            c.fileName, "S", c.useModuleFolder,
            EnvironmentFor("/opt/v1.2/bin/vellumix", c.currentDirectory));
        EXPECT_EQ(settings.fileName, c.expected)
            << c.fileName << " module=" << c.useModuleFolder << " cwd=" << c.currentDirectory;
    }
}

TEST(SettingsFileName, EmptySectionBecomesApplicationName) {
    const app::SettingsFile settings("/x.ini", "", true, EnvironmentFor("/opt/bin/a.b.exe"));
    EXPECT_EQ(settings.section, "a.b");
    EXPECT_EQ(settings.fileName, "/x.ini");
}

class SettingsFileOnDisk : public testing::Test {
  protected:
    std::string Path(const std::string& name = "Vellumix.ini") const {
        return (dir.path() / name).string();
    }
    app::SettingsFile Open(const std::string& name = "Vellumix.ini") const {
        return app::SettingsFile(Path(name), "DEFAULT", true,
                                 EnvironmentFor((dir.path() / "vellumix").string()));
    }

    TempDir dir;
};

TEST_F(SettingsFileOnDisk, MissingFileGivesDefaults) {
    auto settings = Open();
    EXPECT_EQ(settings.ReadString("web_path"), "");
    EXPECT_EQ(settings.ReadString("web_path", "fallback"), "fallback");
    EXPECT_EQ(settings.ReadInt("max_rom", 0), 0);
    EXPECT_EQ(settings.ReadInt("max_rom", -17), -17);
}

TEST_F(SettingsFileOnDisk, ReadIntUsesDefaultOnlyForMissingKey) {
    dir.Write("Vellumix.ini", "[DEFAULT]\r\nempty=\r\nletters=K12\r\nunit=512K\r\n");
    auto settings = Open();
    EXPECT_EQ(settings.ReadInt("empty", 99), 0);
    EXPECT_EQ(settings.ReadInt("letters", 99), 0);
    EXPECT_EQ(settings.ReadInt("unit", 99), 512);
    EXPECT_EQ(settings.ReadInt("missing", 99), 99);
}

TEST_F(SettingsFileOnDisk, ReadCutsValuesAndDefaultsTo255Characters) {
    dir.Write("Vellumix.ini", "[DEFAULT]\nlong=" + kLong + "\nexact=" + kLong.substr(0, 255) +
                                  "\nquoted=\"" + kLong + "\"\nquoted254='" + kLong.substr(0, 254) +
                                  "'\n");
    auto settings = Open();
    EXPECT_EQ(settings.ReadString("long"), kLong.substr(0, 255));
    EXPECT_EQ(settings.ReadString("exact"), kLong.substr(0, 255));
    EXPECT_EQ(settings.ReadString("quoted"), kLong.substr(0, 254)) << "cut before unquoting";
    EXPECT_EQ(settings.ReadString("quoted254"), kLong.substr(0, 254));
    EXPECT_EQ(settings.ReadString("missing", kLong.c_str()), kLong.substr(0, 255));
    EXPECT_EQ(settings.ReadString("missing", "/a b \t  "), "/a b") << "default's blanks dropped";
    EXPECT_EQ(settings.valueBuffer[255], '\0');
    EXPECT_TRUE(app::FitsProfileRead(kLong.substr(0, 255)));
    EXPECT_FALSE(app::FitsProfileRead(kLong.substr(0, 256)));
    EXPECT_FALSE(app::FitsProfileRead(kLong.substr(0, 254) + " "));
}

// Files that are not regular text files read as missing and are never replaced; none blocks.
TEST_F(SettingsFileOnDisk, UnusableFileReadsAsMissingAndRefusesWrites) {
    VELLUMIX_SKIP_ON_WINDOWS("Windows has no FIFOs");
#ifndef _WIN32
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;
        const char* problem;
    };
    const Case cases[] = {
        {"directory", [](const std::string& p) { std::filesystem::create_directory(p); },
         "Is a directory"},
        {"fifo", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
         "not a regular file (FIFO)"},
        {"binary",
         [this](const std::string&) { dir.Write("binary", std::string("[DEFAULT]\0k=v", 13)); },
         "holds binary data (NUL bytes)"},
    };
    for (const auto& c : cases) {
        c.make(Path(c.name));
        auto settings = Open(c.name);
        const std::string problem = app::ReadProfileFile(Path(c.name)).problem;
        EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
        EXPECT_NE(problem.find(Path(c.name)), std::string::npos) << problem;
        EXPECT_EQ(settings.ReadString("k", "default"), "default") << c.name;
        const auto written = settings.TryWriteString("k", "v");
        EXPECT_FALSE(written.ok) << c.name;
        EXPECT_NE(written.error.find(c.problem), std::string::npos) << written.error;
    }
    EXPECT_EQ(app::ReadProfileFile("/dev/null").problem,
              "/dev/null: not a regular file (character device)");
    EXPECT_TRUE(std::filesystem::is_fifo(Path("fifo")));
#endif
}

TEST_F(SettingsFileOnDisk, ReadValueViewsTheBufferUntilTheNextRead) {
    dir.Write("Vellumix.ini", "[DEFAULT]\na=first\n[OTHER]\na=second\n");
    auto settings = Open();
    const auto view = settings.ReadValue("a");
    EXPECT_EQ(view, "first");
    EXPECT_EQ(view.data(), settings.valueBuffer.data());
    EXPECT_STREQ(settings.valueBuffer.data(), "first");
}

TEST_F(SettingsFileOnDisk, NamedSectionStaysForLaterCalls) {
    dir.Write("Vellumix.ini", "[DEFAULT]\na=1\n[OTHER]\na=2\n");
    auto settings = Open();
    EXPECT_EQ(settings.ReadString("a", nullptr, "OTHER"), "2");
    EXPECT_EQ(settings.section, "OTHER");
    EXPECT_EQ(settings.ReadString("a"), "2");
    settings.WriteString("b", "3");
    EXPECT_EQ(ReadFile(Path()), "[DEFAULT]\na=1\n[OTHER]\na=2\nb=3\n");
}

TEST_F(SettingsFileOnDisk, WriteThenReadGivesValuesBack) {
#ifdef _WIN32
    const char* const bytes = "/d\xC3\xA9j\xC3\xA0";  // internal text is UTF-8 here
#else
    const char* const bytes = "/d\xC3\xA9j\xE0";
#endif
    const std::string values[] = {"/plain", "", "a;b#c", "C:\\Web\\Pages", "x=y", bytes};
    for (const auto& value : values) {
        Open().WriteString("web_path", value);
        EXPECT_EQ(Open().ReadString("web_path", "unset"), value);
    }
}

// Notepad's "Unicode" form: FF FE, then UTF-16LE units.
std::string Utf16LeFile(std::u16string_view text) {
    std::string bytes("\xFF\xFE");
    for (const char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

// Read as missing, such files made the window forget every chosen folder; a write must keep the
// file's form and every other unit, an unpaired surrogate and a pair among them.
TEST_F(SettingsFileOnDisk, Utf16LeFileIsReadAndWrittenInItsOwnForm) {
    const std::u16string head = u"; \xD800 \U0001F600\r\n[DEFAULT]\r\nmax_rom=512\r\n";
    dir.Write("Vellumix.ini", Utf16LeFile(head + u"web_path=C:\\J\u00FCrgen\r\n"));
    auto settings = Open();
    EXPECT_EQ(settings.ReadInt("max_rom", 0), 512);
    EXPECT_EQ(settings.ReadString("web_path"), "C:\\J\xC3\xBCrgen");

    const std::string greek = "C:\\\xCE\xB5\xCE\xBB";  // no ANSI form in Western code pages
    ASSERT_TRUE(settings.TryWriteString("web_path", greek).ok);
    EXPECT_EQ(ReadFile(Path()), Utf16LeFile(head + u"web_path=C:\\\u03B5\u03BB\r\n"));
    EXPECT_EQ(Open().ReadString("web_path"), greek);

    dir.Write("odd.ini", Utf16LeFile(u"[DEFAULT]\r\nk=v") + "x");
    EXPECT_EQ(Open("odd.ini").ReadString("k", "default"), "default");
    EXPECT_FALSE(Open("odd.ini").TryWriteString("k", "w").ok);
}

TEST_F(SettingsFileOnDisk, WriteKeepsPermissionsOwnerAndLeavesNoTemporaryFile) {
    VELLUMIX_SKIP_ON_WINDOWS("Windows files have no POSIX permission bits");
#ifndef _WIN32
    dir.Write("Vellumix.ini", "[DEFAULT]\nweb_path=/a\n");
    ASSERT_EQ(::chmod(Path().c_str(), 0640), 0);
    const bool root = ::geteuid() == 0;  // only root may give a file away
    ASSERT_TRUE(!root || ::chown(Path().c_str(), 4321, 4322) == 0);
    ASSERT_TRUE(Open().TryWriteString("web_path", "/b").ok);
    struct stat info {};
    ASSERT_EQ(::stat(Path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_TRUE(!root || (info.st_uid == 4321 && info.st_gid == 4322));
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        ++entries;
    }
    EXPECT_EQ(entries, 2) << "the file and its lock file";
#endif
}

// A lock file that is no regular file is refused at once: never followed, never waited on.
TEST_F(SettingsFileOnDisk, HostileLockFileIsRefusedWithoutHangOrWriteElsewhere) {
    VELLUMIX_SKIP_ON_WINDOWS("Windows has no FIFOs");
#ifndef _WIN32
    const std::string lock = Path() + ".lock";
    const std::function<void()> makes[] = {
        [&] { std::filesystem::create_directory_symlink(dir.path() / "elsewhere", lock); },
        [&] { ASSERT_EQ(::mkfifo(lock.c_str(), 0600), 0); },
        [&] { std::filesystem::create_directory(lock); },
    };
    for (const auto& make : makes) {
        dir.Write("Vellumix.ini", "[DEFAULT]\nk=1\n");
        make();
        const auto written = Open().TryWriteString("k", "2");
        EXPECT_FALSE(written.ok);
        EXPECT_NE(written.error.find("cannot lock " + lock + ": "), std::string::npos)
            << written.error;
        EXPECT_EQ(ReadFile(Path()), "[DEFAULT]\nk=1\n");
        EXPECT_FALSE(std::filesystem::exists(dir.path() / "elsewhere"));
        std::filesystem::remove(lock);
    }
#endif
}

TEST_F(SettingsFileOnDisk, WriteThroughSymbolicLinkReplacesTarget) {
    VELLUMIX_SKIP_ON_WINDOWS("making symbolic links needs a privilege on Windows");
    dir.Write("real.ini", "[DEFAULT]\nk=1\n");
    std::filesystem::create_symlink(dir.path() / "real.ini", dir.path() / "Vellumix.ini");
    ASSERT_TRUE(Open().TryWriteString("k", "2").ok);
    EXPECT_TRUE(std::filesystem::is_symlink(Path()));
    EXPECT_EQ(ReadFile(dir.path() / "real.ini"), "[DEFAULT]\nk=2\n");
}

TEST_F(SettingsFileOnDisk, WriteIntoMissingFolderFailsAsValue) {
    auto settings = Open("no-such-folder/Vellumix.ini");
    const auto result = settings.TryWriteString("web_path", "/w");
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(result.error.empty());
    settings.WriteString("web_path", "/w");  // silently ignored
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "no-such-folder"));
}

TEST_F(SettingsFileOnDisk, WriteOfLineBreakingValueFailsAndKeepsFile) {
    dir.Write("Vellumix.ini", "[DEFAULT]\nweb_path=/a\n");
    const auto result = Open().TryWriteString("web_path", "/x\nmax_rom=99999");
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(ReadFile(Path()), "[DEFAULT]\nweb_path=/a\n");
}

}  // namespace
