#include <gtest/gtest.h>

#include "support/test_support.h"

TEST(TestSupport, TempDirWritesNestedFiles) {
    testing_support::TempDir dir;
    const auto file = dir.Write("a/b/c.txt", "hello");
    EXPECT_EQ(testing_support::ReadFile(file), "hello");
}
