// 50 uploads in a row from the desktop window (offscreen) through its real device socket to
// the simulator: every Start ends in "Web Server Update OK!", the device gets the exact image
// every time, and neither memory nor open descriptors grow.

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include "app/web_path_store.h"
#include "net/device_simulator.h"
#include "soak/soak_support.h"
#include "support/test_support.h"
#include "transfer/upload_sequencer.h"
#include "ui/folder_chooser.h"
#include "ui/ip_address_edit.h"
#include "ui/main_window.h"
#include "ui/text_progress_bar.h"

namespace {

constexpr int kWindowUploads = 50;

class FixedPathStore : public app::WebPathStore {
  public:
    explicit FixedPathStore(std::string path) : path_(std::move(path)) {}
    std::string LoadWebPath() override { return path_; }
    void SaveWebPath(const std::string& path) override { path_ = path; }

  private:
    std::string path_;
};

class NoChooser : public ui::FolderChooser {
  public:
    std::optional<std::string> ChooseFolder(QWidget*, const std::string&,
                                            const std::string&) override {
        return std::nullopt;
    }
};

TEST(WindowSoakTest, FiftyStartsInARowSucceedWithoutGrowth) {
    testing_support::TempDir web;
    web.Write("index.htm", soak::FileContent());
    packer::PackLimits limits;
    limits.maxFileCount = soak::kEntries;
    const std::vector<std::uint8_t> expected = soak::PackedImage(web.path().string(), limits);
    ASSERT_FALSE(expected.empty());

    net::DeviceSimulatorOptions deviceOptions;
    deviceOptions.listenAddresses = {"127.0.0.1"};
    deviceOptions.port = 0;
    net::DeviceSimulator device(deviceOptions);
    std::string error;
    ASSERT_TRUE(device.Start(error)) << error;
    int finished = 0;
    int exactImages = 0;
    QObject::connect(&device, &net::DeviceSimulator::UploadFinished, [&](bool ok) {
        ++finished;
        if (ok && device.LastResult().image == expected) {
            ++exactImages;
        }
    });

    FixedPathStore store(web.path().string());
    NoChooser chooser;
    testing_support::FakeMessageBox messages;
    transfer::SystemClock clock;
    ui::MainWindow window(ui::MainWindowContext{
        .limits = limits,
        .webPathStore = store,
        .logPipe = nullptr,
        .messages = messages,
        .folderChooser = chooser,
        .applicationName = "vellumix",
        .clock = clock,
        .newDeviceLink = {},
    });
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    window.AddressControl().setText("127.0.0.1");
    window.findChild<QLineEdit*>("portEdit")->setText(QString::number(device.Port()));
    auto* start = window.findChild<QPushButton*>("startButton");
    ASSERT_NE(start, nullptr);

    int failures = 0;
    soak::GrowthWatch watch;
    for (int i = 0; i < kWindowUploads; ++i) {
        messages.shown.clear();
        start->click();
        const bool settled =
            soak::PumpUntil([&] { return !messages.shown.empty() && finished == i + 1; });
        if (!settled || messages.Texts() != std::vector<std::string>{"Web Server Update OK!"} ||
            window.ProgressBar().DisplayText() != "100.00%") {
            ++failures;
            ADD_FAILURE() << "upload " << i << ": "
                          << (messages.shown.empty() ? "no message" : messages.shown.front().text)
                          << ", device finished " << finished;
            if (failures > 3) {
                break;
            }
        }
        watch.Note(i + 1, soak::Measure());
    }
    window.close();
    const soak::Figures last = soak::Measure();

    EXPECT_EQ(failures, 0);
    EXPECT_EQ(exactImages, kWindowUploads);
    EXPECT_FALSE(window.IsOpen());
    EXPECT_LE(watch.peak.descriptors, watch.baseline.descriptors) << "descriptors leak";
    EXPECT_LE(watch.peak.rssKiB - watch.baseline.rssKiB, soak::kRssSlackKiB) << "memory grows";
    std::cout << "window soak: " << kWindowUploads << " uploads, " << failures
              << " failures; VmRSS " << watch.baseline.rssKiB << " kB after warm-up, peak "
              << watch.peak.rssKiB << " kB, end " << last.rssKiB << " kB; descriptors "
              << watch.baseline.descriptors << " after warm-up, peak " << watch.peak.descriptors
              << ", end " << last.descriptors << std::endl;
    RecordProperty("rss_kib_baseline", std::to_string(watch.baseline.rssKiB));
    RecordProperty("rss_kib_peak", std::to_string(watch.peak.rssKiB));
    RecordProperty("descriptors_baseline", std::to_string(watch.baseline.descriptors));
    RecordProperty("descriptors_peak", std::to_string(watch.peak.descriptors));
}

}  // namespace
