#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QByteArray>
#include <QObject>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "app/log_pipe.h"
#include "net/net_test_support.h"
#include "platform/log_listener_qt.h"
#include "platform/pipe_client.h"
#include "support/test_support.h"

namespace {

using net_testing::ScopedEnv;
using net_testing::WaitUntil;

class LogListenerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::permissions(runtime_.path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace);
    }

    // A listener on the default path that records every line.
    std::unique_ptr<platform::LogListener> StartListener() {
        auto listener = std::make_unique<platform::LogListener>(platform::LogPipePath());
        QObject::connect(listener.get(), &platform::LogListener::LineReceived,
                         [this](const QByteArray& line) { lines_.push_back(line.toStdString()); });
        std::string error;
        EXPECT_TRUE(listener->Start(error)) << error;
        return listener;
    }

    bool WaitForLines(std::size_t count) {
        return WaitUntil([&] { return lines_.size() >= count; });
    }

    std::string PipePath() const { return (runtime_.path() / "quillTest").string(); }

    testing_support::TempDir runtime_;
    ScopedEnv runtimeEnv_{"XDG_RUNTIME_DIR", runtime_.path().c_str()};
    std::vector<std::string> lines_;
};

TEST_F(LogListenerTest, PrintsEveryLineOfTheProgramWithoutItsLineEnd) {
    auto listener = StartListener();
    app::LogPipe pipe;
    ASSERT_EQ(pipe.Open(), 1);
    pipe.WriteLine("socket Read  02: 4F 4B \r\n");
    pipe.WriteLine("Socket::Close(index=0)\r\n");
    pipe.WriteLine("bare");
    ASSERT_TRUE(WaitForLines(3));
    EXPECT_EQ(lines_, (std::vector<std::string>{"socket Read  02: 4F 4B ", "Socket::Close(index=0)",
                                                "bare"}));
}

TEST_F(LogListenerTest, JoinsLinesSplitAcrossWritesAndSplitsLinesSharingOne) {
    auto listener = StartListener();
    const int client = platform::ConnectPipe(PipePath(), 0);
    ASSERT_GE(client, 0);
    const std::string first = "one\r\ntw";
    const std::string second = "o\r\nthree\n";
    ASSERT_TRUE(platform::WritePipe(client, first.data(), first.size(), nullptr, 0));
    ASSERT_TRUE(WaitForLines(1));
    ASSERT_TRUE(platform::WritePipe(client, second.data(), second.size(), nullptr, 0));
    ASSERT_TRUE(WaitForLines(3));
    EXPECT_EQ(lines_, (std::vector<std::string>{"one", "two", "three"}));
    platform::ClosePipe(client);
}

TEST_F(LogListenerTest, UnfinishedLineIsPrintedWhenTheClientLeaves) {
    auto listener = StartListener();
    const int client = platform::ConnectPipe(PipePath(), 0);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(platform::WritePipe(client, "tail", 4, nullptr, 0));
    platform::ClosePipe(client);
    ASSERT_TRUE(WaitForLines(1));
    EXPECT_EQ(lines_[0], "tail");
}

TEST_F(LogListenerTest, ServesTheNextClientAfterOneLeaves) {
    auto listener = StartListener();
    app::LogPipe first;
    ASSERT_EQ(first.Open(), 1);
    // A second program connects while the first is served: it waits its turn.
    app::LogPipe second;
    ASSERT_EQ(second.Open(), 1);
    second.WriteLine("from the second\r\n");
    first.WriteLine("from the first\r\n");
    ASSERT_TRUE(WaitForLines(1));
    net_testing::Pump(50);
    EXPECT_EQ(lines_, std::vector<std::string>{"from the first"});

    first.Close();
    ASSERT_TRUE(WaitForLines(2));
    EXPECT_EQ(lines_[1], "from the second");
}

TEST_F(LogListenerTest, SocketIsReachableByTheCurrentUserOnly) {
    auto listener = StartListener();
    struct stat info {};
    ASSERT_EQ(stat(PipePath().c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(info.st_uid, geteuid());
}

TEST_F(LogListenerTest, RemovesAStaleSocketFileAndItsOwnFileWhenDone) {
    ASSERT_TRUE(net_testing::MakeStaleSocketFile(PipePath()));
    {
        auto listener = StartListener();
        EXPECT_TRUE(listener->RemovedStaleSocket());
        app::LogPipe pipe;
        EXPECT_EQ(pipe.Open(), 1);
    }
    EXPECT_FALSE(std::filesystem::exists(PipePath()));
}

TEST_F(LogListenerTest, RefusesPathsItMustNotTake) {
    struct Case {
        const char* what;
        std::function<void()> prepare;
        const char* error;
        bool pathKept;  // what was at the path is still there
    };
    std::unique_ptr<platform::LogListener> other;
    const Case cases[] = {
        {"a plain file", [&] { runtime_.Write("quillTest", "keep me"); },
         "exists and is not a socket", true},
        {"another listener serves it",
         [&] {
             other = std::make_unique<platform::LogListener>(PipePath());
             std::string error;
             ASSERT_TRUE(other->Start(error)) << error;
         },
         "another listener serves", true},
        {"folder writable by others",
         [&] {
             std::filesystem::permissions(runtime_.path(), std::filesystem::perms::all,
                                          std::filesystem::perm_options::replace);
         },
         "can be changed by other users", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.prepare();
        platform::LogListener listener(PipePath());
        std::string error;
        EXPECT_FALSE(listener.Start(error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_EQ(std::filesystem::exists(PipePath()), c.pathKept);
        // Leave things as they were for the next case.
        other.reset();
        std::filesystem::remove(PipePath());
        std::filesystem::permissions(runtime_.path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace);
    }
}

}  // namespace
