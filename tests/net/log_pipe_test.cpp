#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <QElapsedTimer>

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/log_pipe.h"
#include "net/net_test_support.h"
#include "platform/pipe_client.h"
#include "support/test_support.h"

namespace {

using net_testing::PipeCapture;
using net_testing::ScopedEnv;

// Opening with no listener must not wait; half the listener wait is a generous bound.
constexpr int kNoWaitBoundMs = platform::kPipeWaitMs / 2;

class LogPipeTest : public ::testing::Test {
  protected:
    std::string PipePath() const { return (runtime_.path() / "quillTest").string(); }

    testing_support::TempDir runtime_;
    ScopedEnv runtimeEnv_{"XDG_RUNTIME_DIR", runtime_.path().c_str()};
};

TEST(LogPipePathTest, FollowsTheRuntimeFolderOrFallsBackToTmp) {
    testing_support::TempDir folder;
    const std::string file = folder.Write("plain-file", "x").string();
    struct Case {
        const char* what;
        std::optional<std::string> runtime;
        std::string expected;
    };
    const Case cases[] = {
        {"runtime folder", folder.path().string(), folder.path().string() + "/quillTest"},
        {"runtime folder with a trailing slash", folder.path().string() + "/",
         folder.path().string() + "/quillTest"},
        {"unset", std::nullopt, "/tmp/quillTest"},
        {"empty", std::string(), "/tmp/quillTest"},
        {"not a folder", file, "/tmp/quillTest"},
        {"missing folder", folder.path().string() + "/gone", "/tmp/quillTest"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScopedEnv env("XDG_RUNTIME_DIR", c.runtime ? c.runtime->c_str() : nullptr);
        EXPECT_EQ(platform::LogPipePath(), c.expected);
    }
}

TEST_F(LogPipeTest, NoListenerMeansMinusOneAtOnceAndNoLineAllRun) {
    struct Case {
        const char* what;
        std::function<void()> prepare;
    };
    const Case cases[] = {
        {"nothing at the path", [] {}},
        {"socket file left by a listener that is gone",
         [&] { ASSERT_TRUE(net_testing::MakeStaleSocketFile(PipePath())); }},
        {"a plain file", [&] { runtime_.Write("quillTest", "not a socket"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.prepare();
        app::LogPipe pipe;
        QElapsedTimer timer;
        timer.start();
        EXPECT_EQ(pipe.Open(), -1);
        EXPECT_LT(timer.elapsed(), kNoWaitBoundMs);
        EXPECT_FALSE(pipe.IsOpen());
        pipe.WriteLine("socket Write 02: 4F 4B \r\n");  // does nothing, must not fail
        // A listener that appears later is not connected to.
        std::filesystem::remove(PipePath());
        PipeCapture late(PipePath());
        ASSERT_TRUE(late.Listening());
        pipe.WriteLine("late\r\n");
        EXPECT_FALSE(late.Accept(50));
    }
}

TEST_F(LogPipeTest, WriteLineAppendsALineFeedOnlyToTextWithoutAny) {
    PipeCapture capture(PipePath());
    app::LogPipe pipe;
    ASSERT_EQ(pipe.Open(), 1);
    ASSERT_TRUE(capture.Accept());
    struct Case {
        const char* text;
        std::string written;
    };
    const Case cases[] = {
        {"plc socket::close\r\n", "plc socket::close\r\n"},
        {"no line end", "no line end\n"},
        {"line feed\ninside", "line feed\ninside"},
        {"carriage return only\r", "carriage return only\r\n"},
        {"", "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        pipe.WriteLine(c.text);
        EXPECT_EQ(capture.Take(), c.written);
    }
    pipe.WriteLine(nullptr);
    EXPECT_EQ(capture.Take(), "");
}

TEST_F(LogPipeTest, CloseReleasesTheConnectionAndLaterLinesAreDropped) {
    PipeCapture capture(PipePath());
    app::LogPipe never;
    never.Close();
    EXPECT_FALSE(never.IsOpen());

    app::LogPipe pipe;
    ASSERT_EQ(pipe.Open(), 1);
    ASSERT_TRUE(capture.Accept());
    pipe.Close();
    EXPECT_FALSE(pipe.IsOpen());
    pipe.WriteLine("after close\r\n");
    EXPECT_TRUE(net_testing::SeesEnd(capture.ClientDescriptor()));
    pipe.Close();
}

TEST_F(LogPipeTest, ListenerThatWentAwayCostsOnlyTheLines) {
    PipeCapture capture(PipePath());
    app::LogPipe pipe;
    ASSERT_EQ(pipe.Open(), 1);
    ASSERT_TRUE(capture.Accept());
    capture.CloseClient();
    // Would raise SIGPIPE and end the process if the write did not guard against it.
    for (int i = 0; i < 3; ++i) {
        pipe.WriteLine("socket Write 02: 4F 4B \r\n");
    }
    EXPECT_TRUE(pipe.IsOpen()) << "no reconnection and no release before Close";
}

TEST_F(LogPipeTest, BusyListenerDelaysOpenAndThenGivesUp) {
    PipeCapture busy(PipePath(), /*backlog=*/0);
    std::vector<int> waiting;
    for (int i = 0; i < 8; ++i) {  // fill the queue of pending connections
        const int descriptor = platform::ConnectPipe(PipePath(), 0);
        if (descriptor < 0) {
            break;
        }
        waiting.push_back(descriptor);
    }
    ASSERT_FALSE(waiting.empty());

    constexpr int kWaitMs = 300;
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(platform::ConnectPipe(PipePath(), kWaitMs), -1);
    EXPECT_GE(timer.elapsed(), kWaitMs - 20);
    for (int descriptor : waiting) {
        close(descriptor);
    }
}

TEST_F(LogPipeTest, BusyListenerThatFreesUpWithinTheWaitIsConnected) {
    PipeCapture busy(PipePath(), /*backlog=*/0);
    std::vector<int> waiting;
    for (int i = 0; i < 8; ++i) {
        const int descriptor = platform::ConnectPipe(PipePath(), 0);
        if (descriptor < 0) {
            break;
        }
        waiting.push_back(descriptor);
    }
    ASSERT_FALSE(waiting.empty());
    std::thread freer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        busy.Accept(1000);  // takes one pending client: room for one more
    });
    app::LogPipe pipe;
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(pipe.Open(), 1);
    EXPECT_GE(timer.elapsed(), 150);
    freer.join();
    for (int descriptor : waiting) {
        close(descriptor);
    }
}

}  // namespace
