// Several uploads share one diagnostic pipe, each writing from its own thread.

#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/log_pipe.h"
#include "net/net_test_support.h"
#include "support/test_support.h"

namespace {

using net_testing::PipeCapture;
using net_testing::ScopedEnv;

constexpr int kThreads = 4;
constexpr int kLinesPerThread = 30;
constexpr int kReadMs = 20000;

// Long enough that one line takes several writes into the socket buffer: without one writer
// at a time, pieces of lines from different threads would interleave.
std::string LineOf(int thread, int line) {
    const std::size_t filler = 1000 + static_cast<std::size_t>((line * 7919) % 60000);
    return "thread " + std::to_string(thread) + " line " + std::to_string(line) + " " +
           std::string(filler, static_cast<char>('a' + thread)) + "\r\n";
}

TEST(LogPipeThreadsTest, LinesFromSeveralThreadsArriveWholeAndNoneIsLost) {
    testing_support::TempDir runtime;
    ScopedEnv env("XDG_RUNTIME_DIR", runtime.path().c_str());
    PipeCapture capture((runtime.path() / "quillTest").string());
    app::LogPipe pipe;
    ASSERT_EQ(pipe.Open(), 1);
    ASSERT_TRUE(capture.Accept());

    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&pipe, t] {
            for (int i = 0; i < kLinesPerThread; ++i) {
                pipe.WriteLine(LineOf(t, i).c_str());
            }
        });
    }
    // Read while they write, so that no line waits long enough to be dropped.
    bool allArrived = true;
    for (int t = 0; t < kThreads; ++t) {
        allArrived = capture.WaitFor(LineOf(t, kLinesPerThread - 1), kReadMs) && allArrived;
    }
    for (auto& writer : writers) {
        writer.join();
    }
    ASSERT_TRUE(allArrived);

    const std::string all = capture.Take();
    std::map<int, int> nextLine;  // per thread, lines arrive in the order written
    std::size_t start = 0;
    int lines = 0;
    while (start < all.size()) {
        const std::size_t end = all.find("\r\n", start);
        ASSERT_NE(end, std::string::npos);
        const std::string line = all.substr(start, end + 2 - start);
        int thread = -1;
        int number = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d", &thread, &number), 2)
            << line.substr(0, 40);
        ASSERT_EQ(line, LineOf(thread, number))
            << "line mixed with another: " << line.substr(0, 40);
        EXPECT_EQ(number, nextLine[thread]++);
        ++lines;
        start = end + 2;
    }
    EXPECT_EQ(lines, kThreads * kLinesPerThread);
}

}  // namespace
