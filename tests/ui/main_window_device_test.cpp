// The desktop window uploading through a real device socket to the simulator, in process, on
// 127.0.0.1. The address is typed into the field first, as a user would.

#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include "app/upload_app.h"
#include "net/device_simulator.h"
#include "packer/web_image.h"
#include "support/test_support.h"
#include "ui/ip_address_edit.h"
#include "ui/main_window.h"
#include "ui/text_progress_bar.h"
#include "ui_fakes.h"

namespace {

constexpr int kUploadTimeoutMs = 30000;

class MainWindowDeviceTest : public testing::Test {
  protected:
    bool StartDevice(net::DeviceSimulatorOptions options) {
        options.listenAddresses = {"127.0.0.1"};
        options.port = 0;
        device = std::make_unique<net::DeviceSimulator>(options);
        std::string error;
        return device->Start(error);
    }

    ui::MainWindow& Open() {
        store.stored = (testing_support::ExamplesPath() / "web").string();
        window = std::make_unique<ui::MainWindow>(ui::MainWindowContext{
            .limits = {},
            .webPathStore = store,
            .logPipe = nullptr,
            .messages = messages,
            .folderChooser = chooser,
            .applicationName = "vellumix",
            .clock = clock,
            .newDeviceLink = {},  // the real device socket
        });
        window->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        // Type the loopback address over the factory one, then point the port at the device.
        auto* address = window->findChild<ui::IpAddressEdit*>("ipAddress");
        address->clear();
        address->field(0)->setFocus();
        for (const char c : std::string("127.0.0.1")) {
            QTest::keyClicks(window->focusWidget(), QString(QChar(c)));  // follows the focus
        }
        EXPECT_EQ(window->AddressText(), "127.0.0.1");
        window->findChild<QLineEdit*>("portEdit")->setText(QString::number(device->Port()));
        return *window;
    }

    void PressStartAndWaitForResult() {
        window->findChild<QPushButton*>("startButton")->click();
        ASSERT_TRUE(QTest::qWaitFor([this] { return !messages.shown.empty(); }, kUploadTimeoutMs));
    }

    std::vector<std::uint8_t> PackedExamples() {
        packer::PackLimits limits;
        packer::WebFileTable table(limits.maxFileCount);
        packer::WebImage image;
        image.imageBuffer.assign(2 * static_cast<std::size_t>(limits.maxRomBytes), 0);
        std::vector<std::uint8_t> readBuffer(static_cast<std::size_t>(limits.maxRomBytes));
        ui_test::RecordingMessages quiet;
        EXPECT_EQ(packer::BuildWebImage(store.stored, limits, table, image, readBuffer, quiet), 1);
        image.imageBuffer.resize(static_cast<std::size_t>(image.usedLength));
        return image.imageBuffer;
    }

    ui_test::RecordingMessages messages;
    ui_test::MemoryPathStore store;
    ui_test::ScriptedChooser chooser;
    transfer::SystemClock clock;
    std::unique_ptr<net::DeviceSimulator> device;
    std::unique_ptr<ui::MainWindow> window;
};

TEST_F(MainWindowDeviceTest, StartUploadsExamplesAndTheDeviceHoldsThePackedImage) {
    ASSERT_TRUE(StartDevice({}));
    ui::MainWindow& opened = Open();
    QSignalSpy finished(device.get(), &net::DeviceSimulator::UploadFinished);
    PressStartAndWaitForResult();

    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, "Web Server Update OK!");
    EXPECT_EQ(messages.shown[0].caption, "vellumix");
    EXPECT_EQ(messages.shown[0].style, 0u);
    EXPECT_EQ(opened.ProgressBar().DisplayText(), "100.00%");

    ASSERT_TRUE(finished.count() > 0 || finished.wait(5000));
    EXPECT_TRUE(device->LastResult().ok) << device->LastResult().error;
    EXPECT_EQ(device->LastResult().image, PackedExamples());
}

TEST_F(MainWindowDeviceTest, SilentDeviceEndsInUpdateErrorAndTheWindowStaysUsable) {
    net::DeviceSimulatorOptions options;
    options.noAnswerAfter = 0;
    ASSERT_TRUE(StartDevice(options));
    ui::MainWindow& opened = Open();
    PressStartAndWaitForResult();
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, "Web Server Update ERROR!");
    EXPECT_EQ(messages.shown[0].caption, "ERR");
    EXPECT_EQ(messages.shown[0].style, 16u);
    EXPECT_FALSE(opened.IsTimerRunning(transfer::kUploadTimerId));
    EXPECT_TRUE(opened.isVisible());
}

// A blank field reads as 0.0.0.0, which Linux connects to this machine: the simulator took the
// upload and the window reported success for a controller it never touched.
TEST_F(MainWindowDeviceTest, BlankAddressEndsInConnectErrorWithoutReachingAnyDevice) {
    ASSERT_TRUE(StartDevice({}));
    ui::MainWindow& opened = Open();
    opened.AddressControl().clear();
    ASSERT_EQ(opened.AddressText(), "0.0.0.0");
    QSignalSpy finished(device.get(), &net::DeviceSimulator::UploadFinished);
    PressStartAndWaitForResult();
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, "Socket Connect ERROR!");
    QTest::qWait(200);
    EXPECT_FALSE(device->UploadInProgress());
    EXPECT_EQ(finished.count(), 0);
}

}  // namespace
