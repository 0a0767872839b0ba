#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"
#include "vellumix_version.h"

using testing_support::CliPath;
using testing_support::RunProcess;

TEST(CliBasics, PrintsVersion) {
    const auto result = RunProcess({CliPath(), "--version"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "vellumix-cli " VELLUMIX_VERSION "\n");
}

// Command lines outside any one command: what they print first, and their exit code.
TEST(CliBasics, HelpAndUnknownCommandsAnswerWithoutTheStartPath) {
    struct Case {
        std::vector<std::string> arguments;
        int exitCode;
        std::string outStart;
        std::string errStart;
    };
    const std::vector<Case> cases = {
        {{"no-such-command"},
         2,
         "",
         "vellumix-cli: unknown command 'no-such-command'\ncommands:\n"},
        {{"-q", "bogus"}, 2, "", "vellumix-cli: unknown command 'bogus'\n"},
        {{"help", "bogus"}, 2, "", "vellumix-cli: unknown command 'bogus'\n"},
        {{"help"}, 0, "vellumix-cli: pack web folders", ""},
        {{"help", "list"},
         0,
         "check an image and print its directory\nUsage: vellumix-cli list",
         ""},
        {{"list", "--help"},
         0,
         "check an image and print its directory\nUsage: vellumix-cli list",
         ""},
        {{"-q", "-v", "help"}, 0, "vellumix-cli: pack web folders", ""},
        {{"-q", "-v", "list", "x"}, 2, "", "--quiet excludes --verbose"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {CliPath()};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        const auto result = RunProcess(argv);
        const std::string label = testing::PrintToString(c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode) << label;
        EXPECT_EQ(result.out.substr(0, c.outStart.size()), c.outStart) << label;
        EXPECT_EQ(result.err.substr(0, c.errStart.size()), c.errStart) << label;
    }
}
