// The desktop window against devices on 127.0.0.1 that misbehave (scripts on a thread of the
// test): every run ends with the update error in bounded time, and the window can be closed
// during a run and after it.

#include <memory>
#include <string>

#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include "platform/async_socket_qt.h"
#include "support/device_faults.h"
#include "support/scripted_device.h"
#include "support/small_buffer_socket.h"
#include "support/test_support.h"
#include "ui/ip_address_edit.h"
#include "ui/main_window.h"
#include "ui_fakes.h"

namespace {

using testing_support::DeviceFault;
using testing_support::FaultEnd;
using testing_support::ScriptedDevice;

constexpr int kSlackMs = 2500;
constexpr int kResultWaitMs = 20000;

class MainWindowFaultTest : public testing::Test {
  protected:
    ui::MainWindow& Open(int port, std::size_t fileBytes, bool smallSendBuffer = false) {
        folder_.Write("index.htm", std::string(fileBytes, 'w'));
        store_.stored = folder_.path().string();
        std::function<std::unique_ptr<transfer::DeviceLink>()> newLink;
        if (smallSendBuffer) {
            newLink = [] { return std::make_unique<testing_support::SmallBufferSocket>(); };
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
    ScriptedDevice device(testing_support::DeviceFaultNamed("ReadsButNeverAnswers").script);
    ui::MainWindow& window = Open(device.Port(), 100);
    PressStart();
    QTest::qWait(transfer::kTimerPeriodMs * 4);
    ASSERT_TRUE(window.Sequencer().AwaitingAck());

    ASSERT_TRUE(CloseWindow());
    EXPECT_FALSE(window.IsTimerRunning(transfer::kUploadTimerId));
    EXPECT_TRUE(device.WaitDone(5000)) << "the device never saw its connection closed";
    QTest::qWait(static_cast<int>(transfer::kAckTimeoutMs) + 500);
    EXPECT_TRUE(messages_.shown.empty()) << messages_.shown[0].text;
}

class MainWindowDeviceFaultTest : public MainWindowFaultTest,
                                  public testing::WithParamInterface<DeviceFault> {};

// Every fault ends in its box in bounded time (the acknowledgement time-out, or a stalled send's
// after the buffers filled), the run lets go of its timer and connection, and the window closes.
TEST_P(MainWindowDeviceFaultTest, EndsAsTheFaultSaysAndTheWindowStillCloses) {
    const DeviceFault& fault = GetParam();
    const bool stall = fault.end == FaultEnd::kStalledSend;
    ScriptedDevice device(fault.script, fault.receiveBuffer, fault.accept);
    ui::MainWindow& window = Open(
        device.Port(),
        (stall ? testing_support::kBlocksBeyondTheBuffers : 3) * testing_support::kFaultBlockBytes,
        stall);
    PressStart();
    const qint64 elapsed = WaitForResult();
    ASSERT_EQ(messages_.shown.size(), 1u);
    const bool endedAtTheConnect =
        fault.mayEndAtTheConnect && messages_.shown[0].text == "Socket Connect ERROR!";
    if (fault.end == FaultEnd::kSucceeds) {
        EXPECT_EQ(messages_.shown[0].text, "Web Server Update OK!");
    } else if (!endedAtTheConnect) {
        EXPECT_EQ(messages_.shown[0].text, "Web Server Update ERROR!");
        EXPECT_EQ(messages_.shown[0].caption, "ERR");
        EXPECT_EQ(window.Sequencer().Link(), nullptr) << "the connection outlived the run";
    }
    EXPECT_LT(elapsed, stall ? 20 * static_cast<int>(transfer::kTimerPeriodMs) +
                                   platform::kSendStallTimeoutMs + kSlackMs
                             : static_cast<int>(transfer::kAckTimeoutMs) + kSlackMs);
    EXPECT_FALSE(window.IsTimerRunning(transfer::kUploadTimerId));
    EXPECT_TRUE(CloseWindow());
}

INSTANTIATE_TEST_SUITE_P(Catalogue, MainWindowDeviceFaultTest,
                         testing::ValuesIn(testing_support::DeviceFaults()),
                         testing_support::DeviceFaultTestName);

}  // namespace
