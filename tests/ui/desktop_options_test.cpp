#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ui/desktop_options.h"
#include "vellumix_version.h"

namespace {

struct OptionCase {
    const char* name;
    std::vector<std::string> arguments;  // after the program name
    std::optional<int> exitCode;
    std::string outputStart;
};

void PrintTo(const OptionCase& c, std::ostream* os) {
    *os << c.name;
}

class DesktopOptions : public testing::TestWithParam<OptionCase> {};

TEST_P(DesktopOptions, AnswersOnlyItsOwnOptionsBeforeAnyWindow) {
    const auto& c = GetParam();
    std::vector<std::string> storage = c.arguments;
    storage.insert(storage.begin(), "vellumix");
    std::vector<char*> argv;
    for (auto& argument : storage) {
        argv.push_back(argument.data());
    }
    std::ostringstream out;
    EXPECT_EQ(ui::AnswerInformationOption(argv, out), c.exitCode);
    EXPECT_EQ(out.str().substr(0, c.outputStart.size()), c.outputStart);
    if (!c.exitCode) {
        EXPECT_EQ(out.str(), "") << "the window would start after text on stdout";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Desktop, DesktopOptions,
    testing::Values(
        OptionCase{"NoArgumentsStartsTheWindow", {}, std::nullopt, ""},
        OptionCase{"QtOptionsAreLeftForQt", {"-platform", "offscreen"}, std::nullopt, ""},
        OptionCase{"LongHelpPrintsUsage", {"--help"}, 0, "Usage: vellumix [OPTION]...\n"},
        OptionCase{"ShortHelpPrintsUsage", {"-h"}, 0, "Usage: vellumix"},
        OptionCase{"HelpAfterQtOptionIsStillAnswered",
                   {"-style", "fusion", "--help"},
                   0,
                   "Usage: vellumix"},
        OptionCase{
            "VersionPrintsNameAndVersion", {"--version"}, 0, "vellumix " VELLUMIX_VERSION "\n"},
        OptionCase{"ArgumentsAfterDoubleDashAreNotOptions", {"--", "--help"}, std::nullopt, ""}),
    [](const testing::TestParamInfo<OptionCase>& tested) { return tested.param.name; });

TEST(DesktopOptions, EmptyArgvStartsTheWindow) {
    std::ostringstream out;
    EXPECT_EQ(ui::AnswerInformationOption({}, out), std::nullopt);
}

}  // namespace
