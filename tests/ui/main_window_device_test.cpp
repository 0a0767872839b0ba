// The desktop window uploading through a real device socket to the simulator, in process, on
// 127.0.0.1. The address is typed into the field first, as a user would.

#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <filesystem>

#include <gtest/gtest.h>

#include "app/upload_app.h"
#include "net/device_simulator.h"
#include "net/device_socket.h"
#include "packer/web_image.h"
#include "platform/exe_path.h"
#include "platform/message_window_qt.h"
#include "platform/system_text.h"
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

    // `port` 0: the simulator's. `newDeviceLink` empty: the real device socket.
    // `pathStore` null: `store`, holding examples/web.
    ui::MainWindow& Open(int port = 0,
                         std::function<std::unique_ptr<transfer::DeviceLink>()> newDeviceLink = {},
                         app::WebPathStore* pathStore = nullptr) {
        store.stored = (testing_support::ExamplesPath() / "web").string();
        window = std::make_unique<ui::MainWindow>(ui::MainWindowContext{
            .limits = {},
            .webPathStore = pathStore != nullptr ? *pathStore : store,
            .logPipe = nullptr,
            .messages = messages,
            .folderChooser = chooser,
            .applicationName = "vellumix",
            .clock = clock,
            .newDeviceLink = std::move(newDeviceLink),
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
        window->findChild<QLineEdit*>("portEdit")
            ->setText(QString::number(port != 0 ? port : device->Port()));
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
        testing_support::FakeMessageBox quiet;
        EXPECT_EQ(packer::BuildWebImage(store.stored, limits, table, image, quiet), 1);
        image.imageBuffer.resize(static_cast<std::size_t>(image.usedLength));
        return image.imageBuffer;
    }

    testing_support::FakeMessageBox messages;
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

// A web_path below "Jürgen", as the settings file holds it (byte 0xFC on Windows): read as
// ANSI into the UTF-8 the file layer took, it named no folder and Start found it empty.
TEST_F(MainWindowDeviceTest, StoredWebPathBeyondAsciiUploadsItsFolder) {
    ASSERT_TRUE(StartDevice({}));
    testing_support::TempDir dir;
    const std::string folder = platform::PathText(dir.path()) + platform::kPathSeparator +
                               "J\xC3\xBCrgen" + platform::kPathSeparator + "web";
    std::filesystem::create_directories(platform::FileSystemPath(folder));
    std::filesystem::copy(testing_support::ExamplesPath() / "web", platform::FileSystemPath(folder),
                          std::filesystem::copy_options::recursive);
    const auto stored = platform::StoredTextOf(folder);
    ASSERT_TRUE(stored) << "needs a code page with u-umlaut";
    dir.Write("Vellumix.ini", "[DEFAULT]\r\nweb_path=" + *stored + "\r\n");
    app::UploadApp settings{std::string("/nowhere/vellumix")};
    settings.appFolder = platform::PathText(dir.path()) + platform::kPathSeparator;

    ui::MainWindow& opened = Open(0, {}, &settings);
    EXPECT_EQ(opened.WebFolder(), folder);
    QSignalSpy finished(device.get(), &net::DeviceSimulator::UploadFinished);
    PressStartAndWaitForResult();
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, "Web Server Update OK!");
    ASSERT_TRUE(finished.count() > 0 || finished.wait(5000));
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
    PressStartAndWaitForResult();
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, "Socket Connect ERROR!");
}

struct PaintCounter : QObject {
    bool eventFilter(QObject*, QEvent* event) override {
        paints += event->type() == QEvent::Paint && counting() ? 1 : 0;
        return false;
    }
    std::function<bool()> counting;
    int paints = 0;
};

// A connect to an address that does not answer waits up to 21 s; the window was not painted
// at all meanwhile. It is now, while timer ticks and posted messages still wait for the call.
TEST_F(MainWindowDeviceTest, WindowIsPaintedDuringABlockingConnectButNoTickOrMessageRuns) {
    // A listener whose queue of one pending connection is full never answers a further one.
    platform::AsyncSocket listener;
    platform::AsyncSocket queued;
    ASSERT_TRUE(listener.Create(0, 1, 63, "127.0.0.1") && listener.Listen(0));
    ASSERT_TRUE(queued.Create() && queued.Connect("127.0.0.1", listener.LocalPort()));
    ASSERT_TRUE(StartDevice({}));
    ui::MainWindow& opened = Open(listener.LocalPort(), [] {
        auto link = std::make_unique<net::DeviceSocket>(nullptr);
        link->SetConnectTimeoutMs(1200);
        return link;
    });
    bool pressed = false;
    PaintCounter counter;
    counter.counting = [&] { return pressed && messages.shown.empty(); };
    opened.ProgressBar().installEventFilter(&counter);
    std::vector<bool> handledWhileWaiting;  // per tick or message handled
    platform::MessageWindow other;
    other.SetMessageHandler([&](unsigned, platform::WParam, platform::LParam) {
        handledWhileWaiting.push_back(counter.counting());
    });
    other.SetTimerHandler([&](unsigned timerId) {
        other.KillTimer(timerId);
        handledWhileWaiting.push_back(counter.counting());
    });
    other.PostMessage(platform::kWmUser + 7, 0, 0);
    other.SetTimer(7, 10);

    pressed = true;
    PressStartAndWaitForResult();
    EXPECT_EQ(messages.shown.at(0).text, "Socket Connect ERROR!");
    EXPECT_GE(counter.paints, 3) << "the window must be painted while the connect waits";
    ASSERT_TRUE(QTest::qWaitFor([&] { return handledWhileWaiting.size() == 2; }, 5000));
    EXPECT_EQ(handledWhileWaiting, (std::vector<bool>{false, false}));
}

}  // namespace
