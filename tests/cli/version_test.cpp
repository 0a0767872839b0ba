#include <gtest/gtest.h>

#include "support/test_support.h"

using testing_support::CliPath;
using testing_support::RunProcess;

TEST(CliBasics, PrintsVersion) {
    const auto result = RunProcess({CliPath(), "--version"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "vellumix-cli " VELLUMIX_VERSION "\n");
}

TEST(CliBasics, UnknownCommandIsUsageError) {
    const auto result = RunProcess({CliPath(), "no-such-command"});
    EXPECT_EQ(result.exitCode, 2);
}
