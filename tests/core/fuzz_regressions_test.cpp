// Inputs the fuzz targets in fuzz/ once failed on, fed again so the fixes stay in place. Each
// input is also kept in fuzz/corpus/<target>/ under the name given here.
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "app/profile_file.h"
#include "support/test_support.h"

namespace {

// profile_file/regression-value-with-blanks-and-quotes: the reader trims blanks and drops
// enclosing quotes, so a value saved with either came back changed (a web folder named
// " web " was remembered as "web").
struct RoundTripCase {
    std::string value;
    std::string keyLine;  // how it must stand in the file
};

TEST(ProfileFileFuzzRegression, WrittenValueWithBlanksOrQuotesReadsBackUnchanged) {
    const RoundTripCase cases[] = {
        {" \"quoted\" ", "web_path=\" \"quoted\" \""},
        {" leading", "web_path=\" leading\""},
        {"trailing\t", "web_path=\"trailing\t\""},
        {"\"both\"", "web_path=\"\"both\"\""},
        {"'single'", "web_path=\"'single'\""},
        {"\"", "web_path=\""},
        {"a \"b\"", "web_path=a \"b\""},
        {"/srv/web pages", "web_path=/srv/web pages"},
        {"", "web_path="},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("value [" + c.value + "]");
        const std::string text = app::SetProfileValue("", "DEFAULT", "web_path", c.value);
        EXPECT_EQ(text, "[DEFAULT]\r\n" + c.keyLine + "\r\n");
        EXPECT_EQ(app::LookUpProfileValue(text, "DEFAULT", "web_path"),
                  std::optional<std::string>(c.value));
    }
}

TEST(ProfileFileFuzzRegression, ReplacedValueWithBlanksAndQuotesReadsBackUnchanged) {
    // The fuzzer's input: the old value is itself quoted and padded.
    const std::string value = " \"quoted\" ";
    const std::string text =
        app::SetProfileValue("[DEFAULT]\nweb_path = 'old' \n", "DEFAULT", "web_path", value);
    EXPECT_EQ(text, "[DEFAULT]\nweb_path = \" \"quoted\" \"\n");
    EXPECT_EQ(app::LookUpProfileValue(text, "DEFAULT", "web_path"),
              std::optional<std::string>(value));
}

TEST(ProfileFileFuzzRegression, SavedFolderWithTrailingBlankSurvivesTheFile) {
    testing_support::TempDir dir;
    const std::string file = (dir.path() / "Vellumix.ini").string();
    const std::string folder = "/home/user/web ";
    ASSERT_TRUE(app::WriteProfileString("DEFAULT", "web_path", folder, file).ok);
    EXPECT_EQ(app::ReadProfileString("DEFAULT", "web_path", "", file), folder);
}

}  // namespace
