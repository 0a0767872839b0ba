// The command-line tool's upload host, in process, against devices on 127.0.0.1 that misbehave
// (each played by a script on a thread of its own) and diagnostic listeners that stop reading
// or go away. Every run must end, with the message the sequencer's rules give, in bounded time.

#include <cctype>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include "app/log_pipe.h"
#include "net/device_socket.h"
#include "net/net_test_support.h"
#include "platform/async_socket_qt.h"
#include "platform/message_box.h"
#include "platform/pipe_client.h"
#include "support/device_faults.h"
#include "support/fake_message_box.h"
#include "support/scripted_device.h"
#include "support/skip_on_windows.h"
#include "support/small_buffer_socket.h"
#include "support/test_support.h"
#include "support/upload_host.h"
#include "transfer/upload_sequencer.h"

namespace {

using testing_support::DeviceFault;
using testing_support::FaultEnd;
using testing_support::GoodDevice;
using testing_support::ScriptedDevice;

constexpr const char* kUpdateOk = "Web Server Update OK!";
constexpr const char* kUpdateError = "Web Server Update ERROR!";
constexpr const char* kConnectError = "Socket Connect ERROR!";
// A run that has to wait for the acknowledgement time-out ends by then plus a tick or two; the
// rest is slack for a busy machine.
constexpr int kAfterTimeoutSlackMs = 2500;
constexpr int kTimeoutRunMaxMs = transfer::kAckTimeoutMs + kAfterTimeoutSlackMs;
constexpr int kBlockBytes = 1024;
static_assert(testing_support::kFaultAckTimeoutMs == transfer::kAckTimeoutMs);

struct Outcome {
    bool ok = false;
    std::vector<testing_support::FakeMessageBox::Box> shown;
    qint64 elapsedMs = 0;
    int framesTaken = 0;
    int totalFrames = 0;

    std::string Message() const { return shown.size() == 1 ? shown[0].text : "(not one message)"; }
};

class UploadFaultTest : public ::testing::Test {
  protected:
    // One file of `bytes` bytes and a directory of 4 entries: the image is 128 + bytes long.
    void UseFileOf(std::size_t bytes) {
        std::string content(bytes, '\0');
        for (std::size_t i = 0; i < bytes; ++i) {
            content[i] = static_cast<char>('a' + i % 26);
        }
        folder_.Write("index.htm", content);
    }

    Outcome Upload(int port, app::LogPipe* logPipe = nullptr, bool smallSendBuffer = false) {
        testing_support::UploadHost::Options options;
        options.folder = folder_.path().string();
        options.address = "127.0.0.1";
        options.port = port;
        options.limits.maxFileCount = 4;
        testing_support::FakeMessageBox messages;
        testing_support::UploadHost host(options, logPipe, messages);
        Outcome outcome;
        host.SetProgressCallback([&](float, int taken, int total) {
            outcome.framesTaken = taken;
            outcome.totalFrames = total;
            if (onProgress_) {
                onProgress_(taken);
            }
        });
        if (smallSendBuffer) {
            host.SetLinkFactory([logPipe] {
                return std::make_unique<testing_support::SmallBufferSocket>(logPipe);
            });
        }
        QElapsedTimer timer;
        timer.start();
        outcome.ok = host.Run();
        outcome.elapsedMs = timer.elapsed();
        outcome.shown = messages.shown;
        return outcome;
    }

    testing_support::TempDir folder_;
    std::function<void(int framesTaken)> onProgress_;
};

class DeviceFaultTest : public UploadFaultTest,
                        public ::testing::WithParamInterface<DeviceFault> {};

// Each fault leaves an acknowledgement missing, or a send that no byte leaves: the run fails with
// the update error no later than the time-out and a tick or two (after the buffers have filled,
// for a stalled send), with frames left over. A device slow within the rules still succeeds.
TEST_P(DeviceFaultTest, EndsAsTheFaultSays) {
    const DeviceFault& fault = GetParam();
    const bool stall = fault.end == FaultEnd::kStalledSend;
    UseFileOf((stall ? testing_support::kBlocksBeyondTheBuffers : 3) * kBlockBytes);
    ScriptedDevice device(fault.script, fault.receiveBuffer, fault.accept);
    const Outcome outcome = Upload(device.Port(), nullptr, stall);
    if (fault.end == FaultEnd::kSucceeds) {
        EXPECT_TRUE(outcome.ok);
        EXPECT_EQ(outcome.Message(), kUpdateOk);
        EXPECT_EQ(outcome.framesTaken, outcome.totalFrames);
        return;
    }
    EXPECT_FALSE(outcome.ok);
    ASSERT_EQ(outcome.shown.size(), 1u);
    EXPECT_EQ(outcome.shown[0].caption, "ERR");
    EXPECT_EQ(outcome.shown[0].style, platform::kMbIconHand);
    // Filling the buffers takes a few blocks at two ticks each; then one stalled send.
    EXPECT_LT(outcome.elapsedMs, stall ? 10 * transfer::kTimerPeriodMs * 2 +
                                             platform::kSendStallTimeoutMs + kAfterTimeoutSlackMs
                                       : kTimeoutRunMaxMs);
    if (fault.mayEndAtTheConnect && outcome.shown[0].text == kConnectError) {
        return;
    }
    EXPECT_EQ(outcome.shown[0].text, kUpdateError);
    EXPECT_LT(outcome.framesTaken, outcome.totalFrames) << "the buffers held the whole image";
}

INSTANTIATE_TEST_SUITE_P(Catalogue, DeviceFaultTest,
                         ::testing::ValuesIn(testing_support::DeviceFaults()),
                         testing_support::DeviceFaultTestName);

TEST_F(UploadFaultTest, PortWithoutListenerGivesConnectErrorAtOnce) {
    UseFileOf(100);
    const Outcome outcome = Upload(net_testing::UnusedLoopbackPort());
    EXPECT_FALSE(outcome.ok);
    ASSERT_EQ(outcome.shown.size(), 1u);
    EXPECT_EQ(outcome.shown[0].text, kConnectError);
    EXPECT_EQ(outcome.shown[0].caption, "ERR");
    EXPECT_EQ(outcome.totalFrames, 0) << "no frame may be built for a refused connection";
    EXPECT_LT(outcome.elapsedMs, platform::kBlockingWakeMs);
}

class StuckListenerTest : public UploadFaultTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(capture_.Listening());
        ASSERT_EQ(pipe_.Open(), 1);
        ASSERT_TRUE(capture_.Accept());
    }

    // What the listener can still read, split into lines; a cut-off last line fails the test.
    std::vector<std::string> ReceivedLines() {
        std::string bytes;
        while (capture_.ClientReadable(200)) {
            const std::string more = capture_.ReadClient();
            if (more.empty()) {
                break;
            }
            bytes += more;
        }
        std::vector<std::string> lines;
        std::size_t start = 0;
        for (std::size_t end; (end = bytes.find('\n', start)) != std::string::npos;
             start = end + 1) {
            lines.push_back(bytes.substr(start, end - start));
        }
        EXPECT_EQ(start, bytes.size()) << "the listener got half a line";
        return lines;
    }

    testing_support::TempDir runtime_;
    net_testing::ScopedEnv runtimeEnv_{"XDG_RUNTIME_DIR", runtime_.path().string().c_str()};
    net_testing::PipeCapture capture_{platform::LogPipePath()};
    app::LogPipe pipe_;
};

// A hex dump line without its "\n": prefix, count, then count items "%02X " and the "\r".
bool IsWholeDumpLine(const std::string& line) {
    std::size_t at = 0;
    if (line.rfind("socket Write ", 0) == 0 || line.rfind("socket Read  ", 0) == 0) {
        at = 13;
    } else {
        return false;
    }
    const std::size_t colon = line.find(": ", at);
    if (colon == std::string::npos || colon == at) {
        return false;
    }
    const std::string digits = line.substr(at, colon - at);
    if (digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const std::size_t count = std::stoul(digits);
    const std::size_t items = colon + 2;
    if (line.size() != items + 3 * count + 1 || line.back() != '\r') {
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t item = items + 3 * i;
        if (!std::isxdigit(static_cast<unsigned char>(line[item])) ||
            !std::isxdigit(static_cast<unsigned char>(line[item + 1])) || line[item + 2] != ' ') {
            return false;
        }
    }
    return true;
}

// Every line a listener gets is a whole line of one of the program's forms (or the test's).
bool IsWholeLine(const std::string& line) {
    return IsWholeDumpLine(line) || line == "Socket::Close(index=0)\r" ||
           line == "Socket::OnClose(index=0)\r" || line == "plc socket::close\r" ||
           (line.rfind("filler ", 0) == 0 && line.back() == '\r');
}

// The listener took some lines and then stopped reading with its buffer nearly full: the
// upload still succeeds, with at most one line waiting its full time.
TEST_F(StuckListenerTest, ListenerThatStopsReadingDoesNotHoldTheUploadUp) {
    VELLUMIX_SKIP_ON_WINDOWS(
        "a named pipe under Wine takes every line without filling, so the stall never comes");
    const std::string filler = "filler " + std::string(3000, 'F') + "\r\n";
    for (int i = 0; i < 1000 && pipe_.DroppedLines() == 0; ++i) {
        pipe_.WriteLine(filler.c_str());
    }
    ASSERT_GT(pipe_.DroppedLines(), 0) << "the pipe never filled";
    // Room for a few lines, so the upload's own lines fill it again and one of them waits.
    capture_.ReadClientBytes(4 * filler.size());

    UseFileOf(3 * kBlockBytes);
    ScriptedDevice device(GoodDevice());
    const Outcome outcome = Upload(device.Port(), &pipe_);
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.Message(), kUpdateOk);
    // 7 frames and the closing tick, one line's full wait, and slack.
    EXPECT_LT(outcome.elapsedMs,
              8 * transfer::kTimerPeriodMs + platform::kPipeWriteTimeoutMs + kAfterTimeoutSlackMs);

    for (const std::string& line : ReceivedLines()) {
        EXPECT_TRUE(IsWholeLine(line)) << line.substr(0, 80);
    }
}

// The listener goes away in the middle of the run: the rest of the lines are lost, the upload
// is not, and what the listener got before is whole.
TEST_F(StuckListenerTest, ListenerThatDisappearsMidRunLeavesTheUploadAlone) {
    UseFileOf(3 * kBlockBytes);
    ScriptedDevice device(GoodDevice());
    std::vector<std::string> before;
    onProgress_ = [&](int framesTaken) {
        if (framesTaken == 3 && before.empty()) {
            before = ReceivedLines();
            capture_.CloseClient();
        }
    };
    const Outcome outcome = Upload(device.Port(), &pipe_);
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.Message(), kUpdateOk);
    EXPECT_EQ(pipe_.DroppedLines(), 0);
    ASSERT_GE(before.size(), 3u);
    EXPECT_EQ(before[0], "socket Write 13: 4B 58 48 54 4D 4C 55 50 47 52 41 44 45 \r");
    for (const std::string& line : before) {
        EXPECT_TRUE(IsWholeLine(line)) << line.substr(0, 80);
    }
}

}  // namespace
