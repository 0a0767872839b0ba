// Uploads to several devices in one process: each device's blocking calls hold up only its own
// thread, and a fail-fast stop reaches even a connect that is still waiting.

#include "cli/fleet_upload.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QTimer>
#include "cli/fleet_printer.h"
#include "net/device_simulator.h"
#include "net/net_test_support.h"
#include "platform/async_socket_qt.h"
#include "support/fake_message_box.h"
#include "support/skip_on_windows.h"
#include "support/test_support.h"

namespace {

using cli::DeviceAddress;
using cli::DeviceRunReport;

#ifndef _WIN32
// An address whose connects never complete: a listener that accepts nothing, with its accept
// queue already full, so that the SYNs of later clients are dropped and they keep waiting.
class BlackHole {
  public:
    explicit BlackHole(const std::string& address) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        inet_pton(AF_INET, address.c_str(), &at.sin_addr);
        socklen_t size = sizeof at;
        if (bind(listener_, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
            listen(listener_, 0) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
            return;
        }
        port_ = ntohs(at.sin_port);
        for (int i = 0; i < kFillers; ++i) {
            const int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            connect(filler, reinterpret_cast<const sockaddr*>(&at), sizeof at);
            fillers_.push_back(filler);
        }
    }
    ~BlackHole() {
        for (const int filler : fillers_) {
            close(filler);
        }
        close(listener_);
    }
    int Port() const { return port_; }

  private:
    static constexpr int kFillers = 4;
    int listener_ = -1;
    int port_ = 0;
    std::vector<int> fillers_;
};
#endif

std::unique_ptr<net::DeviceSimulator> StartDevice(const std::string& address, int noAnswerAfter) {
    net::DeviceSimulatorOptions options;
    options.listenAddresses = {address};
    options.port = 0;
    options.noAnswerAfter = noAnswerAfter;
    auto device = std::make_unique<net::DeviceSimulator>(options);
    std::string error;
    EXPECT_TRUE(device->Start(error)) << error;
    return device;
}

// A fleet upload whose lines are kept in `out` and `err`.
struct FleetRun {
    explicit FleetRun(const cli::FleetUpload::Options& options)
        : printer(cli::FleetPrinter::Mode::Lines, options.devices, cli::CommandContext(out, err)),
          fleet(options, printer) {}
    std::ostringstream out;
    std::ostringstream err;
    cli::FleetPrinter printer;
    cli::FleetUpload fleet;
};

std::shared_ptr<const packer::WebImage> ExamplesImage(const packer::PackLimits& limits) {
    auto image = std::make_shared<packer::WebImage>();
    packer::WebFileTable table(limits.maxFileCount);
    testing_support::FakeMessageBox messages;
    EXPECT_EQ(packer::BuildWebImage((testing_support::ExamplesPath() / "web").string(), limits,
                                    table, *image, messages),
              1);
    EXPECT_EQ(messages.Texts(), std::vector<std::string>{});
    return image;
}

// The fleet's runs on the calling thread's loop alone, and dealt out over three loops (a large
// fleet's way), where stops, ends and time-outs cross threads.
class FleetUploadOnLoops : public ::testing::TestWithParam<std::size_t> {};
INSTANTIATE_TEST_SUITE_P(Loops, FleetUploadOnLoops, ::testing::Values(1, 3),
                         [](const auto& row) { return row.param == 1 ? "One" : "Three"; });

// Each device's events reach the printer whole and in their order, whichever loop ran it.
TEST_P(FleetUploadOnLoops, EveryDeviceGetsTheImageAndItsLinesInOrder) {
    std::vector<std::unique_ptr<net::DeviceSimulator>> simulators;
    cli::FleetUpload::Options options;
    for (int i = 0; i < 6; ++i) {
        simulators.push_back(StartDevice("127.0.0.1", net::kNoFrame));
        options.devices.push_back(DeviceAddress{"127.0.0.1", simulators.back()->Port()});
    }
    options.image = ExamplesImage(options.limits);
    options.paceMs = 0;
    options.loops = GetParam();
    FleetRun run(options);
    const std::vector<DeviceRunReport> reports = run.fleet.Run();

    ASSERT_EQ(reports.size(), options.devices.size());
    const std::string lines = run.out.str();
    for (std::size_t i = 0; i < reports.size(); ++i) {
        const std::string label = options.devices[i].Label();
        SCOPED_TRACE(label);
        EXPECT_EQ(reports[i].device.port, options.devices[i].port);
        EXPECT_TRUE(reports[i].ok) << reports[i].cause;
        EXPECT_LT(lines.find(label + " progress 7.69% (1/13 frames)"),
                  lines.find(label + " progress 53.85% (7/13 frames)"));
        EXPECT_LT(lines.find(label + " progress 100.00% (13/13 frames)"),
                  lines.find(label + ": Web Server Update OK!"));
        EXPECT_NE(lines.find(label + ": Web Server Update OK!"), std::string::npos) << lines;
    }
}

TEST_P(FleetUploadOnLoops, ConnectStuckOnAnUnreachableDeviceHoldsUpNobodyAndFailFastCancelsIt) {
    VELLUMIX_SKIP_ON_WINDOWS("a full accept queue leaves no connect waiting on Windows");
#ifndef _WIN32
    BlackHole unreachable("127.0.6.4");
    ASSERT_GT(unreachable.Port(), 0);
    const auto good = StartDevice("127.0.6.2", net::kNoFrame);
    const auto silent = StartDevice("127.0.6.3", 0);  // fails once the time-out has passed

    cli::FleetUpload::Options options;
    options.devices = {DeviceAddress{"127.0.6.4", unreachable.Port()},
                       DeviceAddress{"127.0.6.2", good->Port()},
                       DeviceAddress{"127.0.6.3", silent->Port()}};
    options.image = ExamplesImage(options.limits);
    options.loops = GetParam();
    options.failFast = true;
    FleetRun run(options);

    const auto started = std::chrono::steady_clock::now();
    const std::vector<DeviceRunReport> reports = run.fleet.Run();
    const auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - started)
                            .count();

    ASSERT_EQ(reports.size(), 3u);
    EXPECT_TRUE(reports[1].ok) << reports[1].message << "\n" << run.out.str();
    EXPECT_EQ(reports[1].framesTaken, reports[1].totalFrames);
    EXPECT_FALSE(reports[2].ok);
    EXPECT_FALSE(reports[2].stopped);
    EXPECT_EQ(reports[2].message, "Web Server Update ERROR!");
    EXPECT_FALSE(reports[0].ok);
    EXPECT_TRUE(reports[0].stopped) << reports[0].message;
    EXPECT_EQ(reports[0].totalFrames, 0) << "it never got past its connect";
    // The stuck connect ended by the stop, not by giving up on its own.
    EXPECT_LT(tookMs, platform::kConnectTimeoutMs);
    // The good device's result came while the unreachable one was still connecting.
    const std::string lines = run.out.str();
    EXPECT_LT(lines.find(reports[1].device.Label() + ": Web Server Update OK!"),
              lines.find(reports[0].device.Label() + ": stopped"))
        << lines;
#endif
}

// A signal mid-run ends every device's run at once, connecting or waiting for an answer, each
// reported as interrupted, with the signal's exit status; no device waits for its time-out.
TEST_P(FleetUploadOnLoops, InterruptEndsEveryRunAtOnceAndSaysSo) {
    VELLUMIX_SKIP_ON_WINDOWS(
        "a full accept queue leaves no connect waiting on Windows, and Ctrl+C there is "
        "no signal");
#ifndef _WIN32
    BlackHole unreachable("127.0.6.14");
    ASSERT_GT(unreachable.Port(), 0);
    const auto silent = StartDevice("127.0.6.12", 0);

    cli::FleetUpload::Options options;
    options.devices = {DeviceAddress{"127.0.6.12", silent->Port()},
                       DeviceAddress{"127.0.6.14", unreachable.Port()}};
    options.image = ExamplesImage(options.limits);
    options.loops = GetParam();
    options.ackTimeoutMs = 60000;
    FleetRun run(options);
    QTimer::singleShot(500, [] { std::raise(SIGINT); });

    const auto started = std::chrono::steady_clock::now();
    const std::vector<DeviceRunReport> reports = run.fleet.Run();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));

    EXPECT_EQ(run.fleet.InterruptStatus(), 130);
    ASSERT_EQ(reports.size(), 2u);
    for (const auto& report : reports) {
        SCOPED_TRACE(report.device.Label());
        EXPECT_FALSE(report.ok);
        EXPECT_TRUE(report.interrupted);
        EXPECT_FALSE(report.stopped);
        EXPECT_EQ(report.message, "upload interrupted");
        EXPECT_EQ(report.attempts, 1);
    }
    EXPECT_GT(reports[0].framesTaken, 0) << "the silent device got the magic frame";
    EXPECT_EQ(reports[1].totalFrames, 0) << "the unreachable device never connected";
#endif
}

// Among many devices on the one loop, one that stops answering (it reads nothing more) fails
// by its own time-out, while every other device, sending back to back, completes first.
TEST_P(FleetUploadOnLoops, DeviceThatStopsAnsweringAmongManyFailsAloneByItsTimeOut) {
#ifdef _WIN32
    GTEST_SKIP() << "the many loopback addresses are Linux's";
#else
    constexpr int kGood = 40;
    net::DeviceSimulatorOptions goodOptions;
    goodOptions.listenAddresses.clear();
    goodOptions.port = 0;
    for (int i = 1; i <= kGood; ++i) {
        goodOptions.listenAddresses.push_back("127.0.7." + std::to_string(i));
    }
    net::DeviceSimulator good(goodOptions);
    std::string error;
    ASSERT_TRUE(good.Start(error)) << error;
    constexpr int kUnanswered = 3;  // the data frame of block 3, frame 1 + 2 x 3 of the run
    const auto stalled = StartDevice("127.0.7.200", kUnanswered);

    cli::FleetUpload::Options options;
    options.devices.push_back(DeviceAddress{"127.0.7.200", stalled->Port()});
    for (const auto& address : goodOptions.listenAddresses) {
        options.devices.push_back(DeviceAddress{address, good.Port()});
    }
    options.image = ExamplesImage(options.limits);
    options.loops = GetParam();
    options.paceMs = 0;
    options.ackTimeoutMs = 2000;
    FleetRun run(options);
    const std::vector<DeviceRunReport> reports = run.fleet.Run();

    ASSERT_EQ(reports.size(), options.devices.size());
    EXPECT_FALSE(reports[0].ok);
    EXPECT_EQ(reports[0].cause, "frame " + std::to_string(1 + 2 * kUnanswered) + " of " +
                                    std::to_string(reports[0].totalFrames) +
                                    ": no answer within 2000 ms")
        << reports[0].cause;
    const std::string lines = run.out.str();
    const std::size_t stalledEnd = lines.find(reports[0].device.Label() + ": Web Server");
    for (std::size_t i = 1; i < reports.size(); ++i) {
        SCOPED_TRACE(reports[i].device.Label());
        EXPECT_TRUE(reports[i].ok) << reports[i].cause;
        EXPECT_LT(lines.find(reports[i].device.Label() + ": Web Server Update OK!"), stalledEnd);
    }
#endif
}

// Runs start a batch per turn of the loop, so a fail-fast stop can come before the last ones
// started: those end as stopped, having tried nothing and taken no time, not as a run of the
// machine's whole uptime.
TEST(FleetUploadTest, FailFastBeforeTheLastRunsStartedStopsThemUntried) {
#ifdef _WIN32
    GTEST_SKIP() << "the many loopback addresses are Linux's";
#else
    // Bound but not listening: every connect to it is refused at once.
    const int refusing = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.8.1", &at.sin_addr);
    socklen_t size = sizeof at;
    ASSERT_EQ(bind(refusing, reinterpret_cast<const sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(getsockname(refusing, reinterpret_cast<sockaddr*>(&at), &size), 0);

    cli::FleetUpload::Options options;
    options.devices.assign(8 * cli::FleetUpload::kStartsPerTurn,
                           DeviceAddress{"127.0.8.1", ntohs(at.sin_port)});
    options.image = ExamplesImage(options.limits);
    options.failFast = true;
    FleetRun run(options);
    const std::vector<DeviceRunReport> reports = run.fleet.Run();
    close(refusing);

    ASSERT_EQ(reports.size(), options.devices.size());
    EXPECT_FALSE(reports.front().ok);
    EXPECT_FALSE(reports.front().stopped) << "the first run failed by itself";
    const DeviceRunReport& last = reports.back();
    EXPECT_TRUE(last.stopped);
    EXPECT_EQ(last.attempts, 0);
    EXPECT_LT(last.elapsedMs, 10000);
#endif
}

TEST(FleetUploadTest, LargeFleetsAreDealtOutOverNoMoreLoopsThanProcessors) {
    constexpr std::size_t kPerLoop = cli::FleetUpload::kDevicesPerLoop;
    struct Row {
        std::size_t devices, processors, asked, loops;
    };
    for (const Row& row :
         {Row{1, 8, 0, 1}, Row{kPerLoop, 8, 0, 1}, Row{kPerLoop + 1, 8, 0, 2}, Row{10000, 2, 0, 2},
          Row{10000, 1, 0, 1}, Row{10000, 0, 0, 1},
          Row{100000, 64, 0, cli::FleetUpload::kMostLoops}, Row{5, 1, 3, 3}, Row{2, 8, 3, 2}}) {
        EXPECT_EQ(cli::FleetUpload::LoopCount(row.devices, row.processors, row.asked), row.loops)
            << row.devices << " devices, " << row.processors << " processors, " << row.asked
            << " asked";
    }
}

// Every share of up to 1000 frames, as the sequencer computes it, and values on a tie of the
// third decimal, read as printf reads them.
TEST(FleetPrinterTest, PercentTextRoundsAsPrintfDoes) {
    std::vector<float> shares = {0.125f, 0.375f, 12.625f, 99.995f, 100.0f, 0.0f, 0.005f};
    for (int total = 1; total <= 1000; ++total) {
        for (int taken = 0; taken <= total; ++taken) {
            shares.push_back(static_cast<float>(static_cast<double>(taken) / total * 100.0));
        }
    }
    for (const float share : shares) {
        char expected[32];
        std::snprintf(expected, sizeof expected, "%.2f%%", static_cast<double>(share));
        ASSERT_EQ(cli::PercentText(share), expected) << share;
    }
}

// Above kMostDrawnRows devices the terminal shows the count per state and the slowest devices
// instead of a row each, and redraws that block in place.
TEST(FleetPrinterTest, ManyDevicesAreSummarisedOnTheTerminal) {
    std::vector<DeviceAddress> devices;
    for (int i = 1; i <= 30; ++i) {
        devices.push_back(DeviceAddress{"127.0.0." + std::to_string(i), 8001});
    }
    std::ostringstream out;
    std::ostringstream err;
    cli::FleetPrinter printer(cli::FleetPrinter::Mode::Terminal, devices,
                              cli::CommandContext(out, err));
    for (int i = 0; i < 30; ++i) {
        printer.Progress(i, 50.0f + static_cast<float>(i), 10, 20);
    }
    DeviceRunReport done;
    done.ok = true;
    done.message = "Web Server Update OK!";
    printer.Finished(0, done);
    printer.Finished(1, DeviceRunReport{});
    printer.Attempt(2, 1, 2, 1000, "Socket Connect ERROR!", "");
    printer.Render();
    printer.Progress(29, 99.0f, 19, 20);  // not among the slowest: the same block again
    printer.Render();
    const std::string clear = "\r\x1b[2K";
    const std::string block =
        clear +
        "30 devices: 0 connecting, 27 sending, 1 waiting to retry, 1 succeeded, 1 failed\n" +
        clear + "slowest:\n" + clear + "127.0.0.3:8001   52.00%   waiting for try 2 of 2\n" +
        clear + "127.0.0.4:8001   53.00%   sending\n" + clear +
        "127.0.0.5:8001   54.00%   sending\n" + clear + "127.0.0.6:8001   55.00%   sending\n" +
        clear + "127.0.0.7:8001   56.00%   sending\n";
    EXPECT_EQ(out.str(), block + "\x1b[7A" + block);
}

TEST(FleetPrinterTest, SummaryTableCountsAndRepeatsFailuresOnStderr) {
    const std::vector<DeviceAddress> devices = {{"127.0.0.2", 8001}, {"127.0.0.10", 8001}};
    std::ostringstream out;
    std::ostringstream err;
    cli::FleetPrinter printer(cli::FleetPrinter::Mode::Lines, devices,
                              cli::CommandContext(out, err));
    std::vector<DeviceRunReport> reports(2);
    reports[0].device = devices[0];
    reports[0].ok = true;
    reports[0].message = "Web Server Update OK!";
    reports[0].framesTaken = reports[0].totalFrames = 13;
    reports[0].elapsedMs = 2149;
    reports[1].device = devices[1];
    reports[1].message = "Socket Connect ERROR!";
    reports[1].elapsedMs = 3;
    printer.Summary(reports);
    EXPECT_EQ(out.str(),
              "device           result                 frames   time\n"
              "127.0.0.2:8001   Web Server Update OK!  13/13    2.1 s\n"
              "127.0.0.10:8001  Socket Connect ERROR!  0/0      0.0 s\n"
              "image sha256:  (0 bytes)\n"
              "2 devices: 1 succeeded, 1 failed\n");
    EXPECT_EQ(err.str(), "127.0.0.10:8001: Socket Connect ERROR!\n");
}

}  // namespace
