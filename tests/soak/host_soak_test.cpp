// 200 uploads in a row through the command-line tool's upload host, in one process, with the
// diagnostic listener attached: every upload succeeds, the device gets the exact image every
// time, no diagnostic line is lost, and neither memory nor open descriptors grow.

#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <QByteArray>
#include <QObject>

#include <gtest/gtest.h>

#include "app/log_pipe.h"
#include "net/device_simulator.h"
#include "platform/log_listener_qt.h"
#include "platform/pipe_client.h"
#include "soak/soak_support.h"
#include "support/test_support.h"
#include "support/upload_host.h"

namespace {

constexpr int kHostUploads = 200;
// Write lines for the magic, length and data frames, Read lines for two answers, the close.
constexpr long kLinesPerUpload = 6;

TEST(HostSoakTest, TwoHundredUploadsInARowSucceedWithoutGrowth) {
    testing_support::TempDir web;
    web.Write("index.htm", soak::FileContent());
    packer::PackLimits limits;
    limits.maxFileCount = soak::kEntries;
    const std::vector<std::uint8_t> expected = soak::PackedImage(web.path().string(), limits);
    ASSERT_FALSE(expected.empty());
    ASSERT_LE(expected.size(), 1024u) << "one block per upload";

    // The diagnostic listener, in a runtime folder of the test's own.
    testing_support::TempDir runtime;
    std::filesystem::permissions(runtime.path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
    soak::ScopedEnv runtimeEnv("XDG_RUNTIME_DIR", runtime.path().string());
    platform::LogListener listener(platform::LogPipePath());
    std::string error;
    ASSERT_TRUE(listener.Start(error)) << error;
    long lines = 0;
    QObject::connect(&listener, &platform::LogListener::LineReceived,
                     [&](const QByteArray&) { ++lines; });
    app::LogPipe pipe;
    ASSERT_EQ(pipe.Open(), 1);
    ASSERT_TRUE(soak::PumpUntil([&] { return listener.HasClient(); }));

    net::DeviceSimulatorOptions deviceOptions;
    deviceOptions.listenAddresses = {"127.0.0.1"};
    deviceOptions.port = 0;
    net::DeviceSimulator device(deviceOptions);
    ASSERT_TRUE(device.Start(error)) << error;
    int finished = 0;
    int exactImages = 0;
    QObject::connect(&device, &net::DeviceSimulator::UploadFinished, [&](bool ok) {
        ++finished;
        if (ok && device.LastResult().image == expected) {
            ++exactImages;
        }
    });

    testing_support::UploadHost::Options options;
    options.folder = web.path().string();
    options.address = "127.0.0.1";
    options.port = device.Port();
    options.limits = limits;
    testing_support::FakeMessageBox messages;
    std::unique_ptr<testing_support::UploadHost> host;
    int failures = 0;
    soak::GrowthWatch watch;
    for (int i = 0; i < kHostUploads; ++i) {
        // The first half repeats Start on one host, as the window does; the second half makes a
        // host per upload, as one command per upload does.
        if (!host || i >= kHostUploads / 2) {
            host.reset();
            host = std::make_unique<testing_support::UploadHost>(options, &pipe, messages);
        }
        messages.shown.clear();
        const bool ok = host->Run();
        const bool settled = soak::PumpUntil(
            [&] { return finished == i + 1 && lines >= (i + 1) * kLinesPerUpload; });
        if (!ok || messages.Texts() != std::vector<std::string>{"Web Server Update OK!"} ||
            !settled) {
            ++failures;
            ADD_FAILURE() << "upload " << i << ": " << (ok ? "ok" : "failed") << ", "
                          << (messages.shown.empty() ? "no message" : messages.shown.front().text)
                          << ", device finished " << finished << ", lines " << lines;
            if (failures > 3) {
                break;
            }
        }
        watch.Note(i + 1, soak::Measure());
    }
    host.reset();
    const soak::Figures last = soak::Measure();

    EXPECT_EQ(failures, 0);
    EXPECT_EQ(exactImages, kHostUploads);
    EXPECT_EQ(lines, kHostUploads * kLinesPerUpload) << "diagnostic lines lost or doubled";
    EXPECT_EQ(pipe.DroppedLines(), 0);
    EXPECT_LE(watch.peak.descriptors, watch.baseline.descriptors) << "descriptors leak";
    EXPECT_LE(watch.peak.rssKiB - watch.baseline.rssKiB, soak::kRssSlackKiB) << "memory grows";
    std::cout << "host soak: " << kHostUploads << " uploads, " << failures << " failures; VmRSS "
              << watch.baseline.rssKiB << " kB after warm-up, peak " << watch.peak.rssKiB
              << " kB, end " << last.rssKiB << " kB; descriptors " << watch.baseline.descriptors
              << " after warm-up, peak " << watch.peak.descriptors << ", end " << last.descriptors
              << std::endl;
    RecordProperty("rss_kib_baseline", std::to_string(watch.baseline.rssKiB));
    RecordProperty("rss_kib_peak", std::to_string(watch.peak.rssKiB));
    RecordProperty("descriptors_baseline", std::to_string(watch.baseline.descriptors));
    RecordProperty("descriptors_peak", std::to_string(watch.peak.descriptors));
}

}  // namespace
