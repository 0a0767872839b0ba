// The desktop window against devices on 127.0.0.1 that misbehave (scripts on a thread of the
// test): every run ends with the update error in bounded time, and the window can be closed
// during a run and after it.

#include <atomic>
#include <memory>
#include <string>

#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include "net/device_socket.h"
#include "platform/async_socket_qt.h"
#include "support/scripted_device.h"
#include "support/test_support.h"
#include "ui/ip_address_edit.h"
#include "ui/main_window.h"
#include "ui_fakes.h"

namespace {

using testing_support::DeviceConnection;
using testing_support::ScriptedDevice;

constexpr int kBlockBytes = 1024;
constexpr int kSlackMs = 2500;
constexpr int kResultWaitMs = 20000;
constexpr int kSmallSendBuffer = 4096;
constexpr int kSmallReceiveBuffer = 2048;
constexpr int kBlocksBeyondTheBuffers = 48;

class SmallBufferSocket : public net::DeviceSocket {
  public:
    SmallBufferSocket() : net::DeviceSocket(nullptr) {}
    bool Create(unsigned localPort, int socketType, long eventMask,
                const char* localAddress) override {
        return net::DeviceSocket::Create(localPort, socketType, eventMask, localAddress) &&
               SetSendBufferSize(kSmallSendBuffer);
    }
};

class MainWindowFaultTest : public testing::Test {
  protected:
    ui::MainWindow& Open(int port, std::size_t fileBytes, bool smallSendBuffer = false) {
        folder_.Write("index.htm", std::string(fileBytes, 'w'));
        store_.stored = folder_.path().string();
        std::function<std::unique_ptr<transfer::DeviceLink>()> newLink;
        if (smallSendBuffer) {
            newLink = [] { return std::make_unique<SmallBufferSocket>(); };
        }
        window_ = std::make_unique<ui::MainWindow>(ui::MainWindowContext{
            .limits = {.maxRomBytes = 196608, .maxFileCount = 4},
            .webPathStore = store_,
            .logPipe = nullptr,
            .messages = messages_,
            .folderChooser = chooser_,
            .applicationName = "vellumix",
            .clock = clock_,
            .newDeviceLink = newLink,
        });
        window_->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
        window_->AddressControl().setText("127.0.0.1");
        window_->findChild<QLineEdit*>("portEdit")->setText(QString::number(port));
        return *window_;
    }

    void PressStart() { window_->findChild<QPushButton*>("startButton")->click(); }

    // Waits for the result box; the time from Start to it.
    qint64 WaitForResult() {
        QElapsedTimer timer;
        timer.start();
        EXPECT_TRUE(QTest::qWaitFor([this] { return !messages_.shown.empty(); }, kResultWaitMs));
        return timer.elapsed();
    }

    // Closes the window as its close button would; true once it has let go of the upload.
    bool CloseWindow() {
        window_->close();
        return QTest::qWaitFor([this] { return !window_->IsOpen(); }, 1000);
    }

    testing_support::TempDir folder_;
    testing_support::FakeMessageBox messages_;
    ui_test::MemoryPathStore store_;
    ui_test::ScriptedChooser chooser_;
    transfer::SystemClock clock_;
    std::unique_ptr<ui::MainWindow> window_;
};

// The user gives up on a device that never answers: closing the window ends the run at once,
// with no result box, and the device sees its connection closed.
TEST_F(MainWindowFaultTest, ClosingDuringAnUnansweredRunEndsItQuietly) {
    std::atomic<bool> sawClose{false};
    ScriptedDevice device([&](DeviceConnection& peer) {
        if (peer.Read(testing_support::kMagicFrameBytes)) {
            sawClose = peer.WaitForClose();
        }
    });
    ui::MainWindow& window = Open(device.Port(), 100);
    PressStart();
    QTest::qWait(transfer::kTimerPeriodMs * 4);
    ASSERT_TRUE(window.Sequencer().AwaitingAck());

    ASSERT_TRUE(CloseWindow());
    EXPECT_FALSE(window.IsTimerRunning(transfer::kUploadTimerId));
    EXPECT_TRUE(device.WaitDone(5000));
    EXPECT_TRUE(sawClose);
    QTest::qWait(static_cast<int>(transfer::kAckTimeoutMs) + 500);
    EXPECT_TRUE(messages_.shown.empty()) << messages_.shown[0].text;
}

struct FaultCase {
    const char* name;
    ScriptedDevice::Script script;
    std::size_t fileBytes = 3 * kBlockBytes;
    bool smallBuffers = false;
    int maxMs = static_cast<int>(transfer::kAckTimeoutMs) + kSlackMs;
};

void PrintTo(const FaultCase& faultCase, std::ostream* out) {
    *out << faultCase.name;
}

class MainWindowDeviceFaultTest : public MainWindowFaultTest,
                                  public testing::WithParamInterface<FaultCase> {};

TEST_P(MainWindowDeviceFaultTest, EndsInUpdateErrorAndTheWindowStillCloses) {
    const FaultCase& fault = GetParam();
    ScriptedDevice device(fault.script, fault.smallBuffers ? kSmallReceiveBuffer : 0);
    ui::MainWindow& window = Open(device.Port(), fault.fileBytes, fault.smallBuffers);
    PressStart();
    const qint64 elapsed = WaitForResult();
    ASSERT_EQ(messages_.shown.size(), 1u);
    EXPECT_EQ(messages_.shown[0].text, "Web Server Update ERROR!");
    EXPECT_EQ(messages_.shown[0].caption, "ERR");
    EXPECT_LT(elapsed, fault.maxMs);
    EXPECT_FALSE(window.IsTimerRunning(transfer::kUploadTimerId));
    EXPECT_EQ(window.Sequencer().Link(), nullptr) << "the connection outlived the run";
    EXPECT_TRUE(CloseWindow());
}

INSTANTIATE_TEST_SUITE_P(
    Scripted, MainWindowDeviceFaultTest,
    testing::Values(FaultCase{"AcceptsAndNeverReads", [](DeviceConnection& peer) { peer.Idle(); }},
                    FaultCase{"ResetsMidBlock",
                              [](DeviceConnection& peer) {
                                  if (peer.Read(testing_support::kMagicFrameBytes) &&
                                      peer.Write("OK") &&
                                      peer.Read(testing_support::kLengthFrameBytes) &&
                                      peer.Read(kBlockBytes / 2)) {
                                      peer.Reset();
                                  }
                              }},
                    // Answers every frame without reading it: the send stalls once the buffers are
                    // full and gives up after its time-out instead of freezing the window.
                    FaultCase{"AnswersButNeverReads",
                              [](DeviceConnection& peer) {
                                  while (peer.Sleep(100) && peer.Write("OK")) {
                                  }
                              },
                              kBlocksBeyondTheBuffers* kBlockBytes, true,
                              20 * static_cast<int>(transfer::kTimerPeriodMs) +
                                  platform::kSendStallTimeoutMs + kSlackMs}),
    [](const testing::TestParamInfo<FaultCase>& caseInfo) { return caseInfo.param.name; });

}  // namespace
