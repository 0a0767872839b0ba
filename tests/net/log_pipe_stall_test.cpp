// The diagnostic pipe against listeners that stop reading: a line waits a bounded time and is
// then dropped, later lines do not wait again while the listener stays stuck, and whatever the
// listener does read is whole lines in their order.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <QElapsedTimer>

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/log_pipe.h"
#include "net/logging_socket.h"
#include "net/net_test_support.h"
#include "platform/pipe_client.h"
#include "support/test_support.h"
#include "transfer/frame_queue.h"

namespace {

using net_testing::PipeCapture;
using net_testing::ScopedEnv;

constexpr std::int32_t kFullImageBytes = 196608;  // the default capacity, 385 frames
constexpr int kDrainQuietMs = 200;
constexpr int kReadSliceMs = 20;
constexpr int kLinesWhileReading = 50;

// Everything the listener can still read, until it has been quiet for a while.
std::string Drain(int descriptor) {
    std::string bytes;
    while (net_testing::WaitReadable(descriptor, kDrainQuietMs)) {
        const std::string more = net_testing::ReadAvailable(descriptor);
        if (more.empty()) {
            break;
        }
        bytes += more;
    }
    return bytes;
}

// Splits at "\n"; a last piece without one is returned in `rest`.
std::vector<std::string> SplitLines(const std::string& bytes, std::string& rest) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(bytes.substr(start, end + 1 - start));
    }
    rest = bytes.substr(start);
    return lines;
}

// True when every line of `got` is one of `sent`, in the same order (some may be missing).
bool IsOrderedSubset(const std::vector<std::string>& got, const std::vector<std::string>& sent) {
    std::size_t next = 0;
    for (const std::string& line : got) {
        while (next < sent.size() && sent[next] != line) {
            ++next;
        }
        if (next == sent.size()) {
            return false;
        }
        ++next;
    }
    return true;
}

class LogPipeStallTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(capture_.Listening());
        ASSERT_EQ(pipe_.Open(), 1);
        ASSERT_TRUE(capture_.Accept());
    }

    // Writes lines until one is dropped (the listener reads nothing meanwhile).
    void FillUntilDropped() {
        const std::string filler = "filler " + std::string(3000, 'F') + "\r\n";
        for (int i = 0; i < 1000 && pipe_.DroppedLines() == 0; ++i) {
            pipe_.WriteLine(filler.c_str());
        }
        ASSERT_GT(pipe_.DroppedLines(), 0) << "the pipe never filled";
    }

    int Listener() const { return capture_.ClientDescriptor(); }

    testing_support::TempDir runtime_;
    ScopedEnv runtimeEnv_{"XDG_RUNTIME_DIR", runtime_.path().c_str()};
    PipeCapture capture_{(runtime_.path() / "quillTest").string()};
    app::LogPipe pipe_;
};

// The Write / Read dump line of `count` bytes, as the device socket formats it.
std::string DumpLine(const char* prefix, std::int32_t count, const std::uint8_t* bytes) {
    char head[32];
    std::snprintf(head, sizeof head, "%s%02d: ", prefix, count);
    std::string line = head;
    for (std::int32_t i = 0; i < count; ++i) {
        char item[4];
        std::snprintf(item, sizeof item, "%02X ", bytes[i]);
        line += item;
    }
    return line + "\r\n";
}

// The lines of a whole 192 KiB upload (about 600 KB of hex dumps) go to a listener that reads
// nothing: the first line that does not fit waits once, the rest are dropped without waiting,
// and what did fit reaches the listener as whole lines in order.
TEST_F(LogPipeStallTest, ListenerThatNeverReadsCostsOneWaitForAWholeUploadOfLines) {
    std::vector<std::uint8_t> image(static_cast<std::size_t>(kFullImageBytes));
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(i * 7);
    }
    transfer::FrameQueue frames;
    frames.BuildFrames(image.data(), kFullImageBytes);
    struct Dump {
        bool isWrite;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Dump> dumps;
    std::vector<std::string> expected;
    const std::vector<std::uint8_t> ok = {'O', 'K'};
    std::uint8_t payload[transfer::kFramePayloadCapacity];
    std::int32_t length = 0;
    std::int32_t waitForAck = 0;
    while (!frames.Empty()) {
        frames.PopFrame(payload, length, waitForAck);
        dumps.push_back({true, std::vector<std::uint8_t>(payload, payload + length)});
        expected.push_back(DumpLine("socket Write ", length, payload));
        if (waitForAck == 1) {
            dumps.push_back({false, ok});
            expected.push_back(DumpLine("socket Read  ", 2, ok.data()));
        }
    }

    net::LoggingSocket socket(&pipe_);
    QElapsedTimer timer;
    timer.start();
    for (const Dump& dump : dumps) {
        socket.LogHexDump(dump.isWrite, static_cast<std::int32_t>(dump.bytes.size()),
                          dump.bytes.data());
    }
    const auto elapsed = timer.elapsed();

    EXPECT_GE(elapsed, platform::kPipeWriteTimeoutMs - 50) << "the pipe never filled";
    EXPECT_LT(elapsed, 3 * platform::kPipeWriteTimeoutMs) << "more than one line waited";
    const auto writes = static_cast<long>(dumps.size());
    EXPECT_GT(pipe_.DroppedLines(), writes / 2);

    std::string rest;
    const auto got = SplitLines(Drain(Listener()), rest);
    EXPECT_EQ(rest, "") << "a line was cut short";
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.front(), expected.front());
    EXPECT_TRUE(IsOrderedSubset(got, expected)) << "a line arrived changed or out of order";
    EXPECT_EQ(static_cast<long>(got.size()) + pipe_.DroppedLines(), writes);
}

// Once the listener reads again, the next line waits for it as usual and arrives whole.
TEST_F(LogPipeStallTest, ListenerThatReadsAgainGetsTheLinesThatFollow) {
    FillUntilDropped();
    const long dropped = pipe_.DroppedLines();
    std::string rest;
    SplitLines(Drain(Listener()), rest);
    EXPECT_EQ(rest, "");

    pipe_.WriteLine("socket Read  02: 4F 4B \r\n");
    pipe_.WriteLine("Socket::Close(index=0)\r\n");
    EXPECT_EQ(Drain(Listener()), "socket Read  02: 4F 4B \r\nSocket::Close(index=0)\r\n");
    EXPECT_EQ(pipe_.DroppedLines(), dropped);
}

// A line longer than the pipe holds is taken in part; its rest goes out before any later line,
// and a line that comes while the rest cannot go is dropped whole.
TEST_F(LogPipeStallTest, LineTakenInPartIsFinishedBeforeTheNextOne) {
    const std::string huge = "socket Write 99: " + std::string(600 * 1024, 'A') + "\r\n";
    pipe_.WriteLine(huge.c_str());
    EXPECT_EQ(pipe_.DroppedLines(), 0) << "a line begun is not a line dropped";
    pipe_.WriteLine("dropped while the rest waits\r\n");
    EXPECT_EQ(pipe_.DroppedLines(), 1);

    // The listener reads again while more lines come.
    std::atomic<bool> stop{false};
    std::string received;
    std::thread reader([&] {
        while (!stop) {
            if (net_testing::WaitReadable(Listener(), kReadSliceMs)) {
                received += net_testing::ReadAvailable(Listener());
            }
        }
        received += Drain(Listener());
    });
    for (int i = 0; i < kLinesWhileReading; ++i) {
        pipe_.WriteLine(("after " + std::to_string(i) + "\r\n").c_str());
        std::this_thread::sleep_for(std::chrono::milliseconds(kReadSliceMs));
    }
    stop = true;
    reader.join();

    ASSERT_GE(received.size(), huge.size());
    EXPECT_TRUE(received.compare(0, huge.size(), huge) == 0) << "the long line was not kept whole";
    std::string rest;
    const auto after = SplitLines(received.substr(huge.size()), rest);
    EXPECT_EQ(rest, "");
    ASSERT_FALSE(after.empty()) << "no line followed once the listener read again";
    int last = -1;
    for (const std::string& line : after) {
        ASSERT_EQ(line.rfind("after ", 0), 0u) << line;
        const int number = std::stoi(line.substr(6));
        EXPECT_GT(number, last);
        last = number;
    }
    EXPECT_EQ(last, kLinesWhileReading - 1) << "the last line did not arrive";
}

// A listener that goes away costs nothing: every write fails at once and none is counted as
// dropped for lack of time.
TEST_F(LogPipeStallTest, ListenerThatDisappearsMidRunMakesWritesFailAtOnce) {
    pipe_.WriteLine("socket Write 02: 00 04 \r\n");
    capture_.CloseClient();
    QElapsedTimer timer;
    timer.start();
    const std::string line = "socket Write 1024: " + std::string(3072, 'B') + "\r\n";
    for (int i = 0; i < 1000; ++i) {
        pipe_.WriteLine(line.c_str());
    }
    EXPECT_LT(timer.elapsed(), platform::kPipeWriteTimeoutMs);
    EXPECT_EQ(pipe_.DroppedLines(), 0);
}

TEST(WritePipeWithinTest, ReportsWhatWasTakenAndMinusOneForAGoneListener) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    EXPECT_EQ(platform::WritePipeWithin(ends[0], "abc", 3, "\n", 1, 0), 4);
    EXPECT_EQ(net_testing::ReadAvailable(ends[1]), "abc\n");
    EXPECT_EQ(platform::WritePipeWithin(ends[0], "abc", 3, nullptr, 5, 0), 3)
        << "a null suffix is no suffix";
    EXPECT_EQ(platform::WritePipeWithin(-1, "abc", 3, nullptr, 0, 0), -1);
    close(ends[1]);
    EXPECT_EQ(platform::WritePipeWithin(ends[0], "abc", 3, nullptr, 0, 0), -1);
    close(ends[0]);
}

}  // namespace
