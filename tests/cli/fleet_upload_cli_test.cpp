// vellumix-cli upload to several devices at once, and its acknowledgement trace, against
// simulators (vellumix-cli device) on loopback addresses. Each test takes its own 127.0.N.x
// block so that tests running side by side do not meet.

#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "json_lines_check.h"
#include "support/skip_on_windows.h"
#include "support/test_support.h"

namespace {

using testing_support::BackgroundProcess;
using testing_support::CliPath;
using testing_support::ExamplesPath;
using testing_support::ParseJsonLines;
using testing_support::ProcessResult;
using testing_support::ReadFile;
using testing_support::RunProcess;
using testing_support::TempDir;

constexpr int kStartMs = 10000;
constexpr int kUploadMs = 60000;

// `vellumix-cli device --once` on the addresses of `range` (or one --listen address), sharing
// one free port read from its first line; each good image is saved as "<save>.<address>".
class Devices {
  public:
    Devices(const std::string& listen, std::vector<std::string> extra, const TempDir& dir)
        : save_((dir.path() / ("received-" + listen)).string()),
          process_(MakeArgs(listen, std::move(extra), save_)) {
        if (process_.WaitForOutput("listening on", kStartMs)) {
            std::smatch match;
            const std::string output = process_.Output();
            if (std::regex_search(output, match, std::regex("listening on [0-9.]+:(\\d+)\n"))) {
                port_ = match[1];
            }
        }
    }

    const std::string& Port() const { return port_; }
    std::string Saved(const std::string& address) const { return save_ + "." + address; }
    BackgroundProcess& Process() { return process_; }

  private:
    static std::vector<std::string> MakeArgs(const std::string& listen,
                                             std::vector<std::string> extra,
                                             const std::string& save) {
        const bool range = listen.find('-') != std::string::npos;
        std::vector<std::string> args = {
            CliPath(), "device", "--once", range ? "--listen-range" : "--listen", listen, "--port",
            "0",       "--save", save};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    std::string save_;
    BackgroundProcess process_;
    std::string port_;
};

class FleetUploadCli : public ::testing::Test {
  protected:
    FleetUploadCli() { ini_ = dir_.Write("Vellumix.ini", "[DEFAULT]\r\n").string(); }

    ProcessResult Upload(std::vector<std::string> extra) {
        std::vector<std::string> args = {CliPath(), "upload", (ExamplesPath() / "web").string(),
                                         "--ini", ini_};
        args.insert(args.end(), extra.begin(), extra.end());
        return RunProcess(args, "", {}, kUploadMs);
    }

    std::string PackedExamples() {
        const std::string packed = (dir_.path() / "packed.img").string();
        const auto pack = RunProcess(
            {CliPath(), "pack", (ExamplesPath() / "web").string(), "-o", packed, "--ini", ini_});
        EXPECT_EQ(pack.exitCode, 0) << pack.err;
        return ReadFile(packed);
    }

    TempDir dir_;
    std::string ini_;
};

// The line of the summary table for a device, or "" when there is none.
std::string SummaryLine(const std::string& out, const std::string& device) {
    const std::size_t table = out.find("\ndevice ");
    if (table == std::string::npos) {
        return "";
    }
    const std::size_t line = out.find("\n" + device + " ", table);
    if (line == std::string::npos) {
        return "";
    }
    return out.substr(line + 1, out.find('\n', line + 1) - line - 1);
}

TEST_F(FleetUploadCli, FiveDevicesAtOnceEachGetTheSameImageAndAreTracedApart) {
    Devices devices("127.0.1.2-6", {}, dir_);
    ASSERT_FALSE(devices.Port().empty()) << devices.Process().Output();
    std::vector<std::string> args = {"--port", devices.Port(), "--trace"};
    for (int host = 2; host <= 6; ++host) {
        args.insert(args.end(), {"--device", "127.0.1." + std::to_string(host)});
    }
    const auto result = Upload(args);
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_NE(result.out.find("5 devices: 5 succeeded, 0 failed"), std::string::npos) << result.out;
    EXPECT_EQ(devices.Process().WaitForExit(kStartMs), 0) << devices.Process().Output();
    EXPECT_NE(devices.Process().Output().find("5 of 5 uploads complete"), std::string::npos);

    const std::string packed = PackedExamples();
    for (int host = 2; host <= 6; ++host) {
        const std::string address = "127.0.1." + std::to_string(host);
        const std::string device = address + ":" + devices.Port();
        SCOPED_TRACE(device);
        EXPECT_EQ(ReadFile(devices.Saved(address)), packed);
        EXPECT_NE(SummaryLine(result.out, device).find("Web Server Update OK!  13/13"),
                  std::string::npos)
            << result.out;
        EXPECT_NE(result.out.find("trace of " + device + " (ms since Start)"), std::string::npos);
    }
    std::size_t traces = 0;
    for (std::size_t at = 0;
         (at = result.out.find("(7 of 7 frames answered)", at)) != std::string::npos; ++at) {
        ++traces;
    }
    EXPECT_EQ(traces, 5u);
}

TEST_F(FleetUploadCli, SilentDeviceFailsAloneAndTheOthersFinishFirst) {
    Devices good("127.0.2.2-5", {}, dir_);
    Devices silent("127.0.2.9", {"--no-answer-after", "0"}, dir_);
    ASSERT_FALSE(good.Port().empty()) << good.Process().Output();
    ASSERT_FALSE(silent.Port().empty()) << silent.Process().Output();
    const std::string silentDevice = "127.0.2.9:" + silent.Port();
    // The silent one first, and named with its own port in a devices file with comments.
    const std::string list = dir_.Write("devices.txt", "# the plant's line 2\n" + silentDevice +
                                                           "   # never answers\n\n"
                                                           "127.0.2.2\n127.0.2.3\r\n"
                                                           "127.0.2.4\n127.0.2.5\n")
                                 .string();
    const auto result = Upload({"--port", good.Port(), "--devices", list});
    EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
    EXPECT_EQ(result.err, silentDevice + ": Web Server Update ERROR!\nvellumix-cli: " +
                              silentDevice + ": frame 1 of 13: no answer within 3000 ms\n");
    EXPECT_NE(result.out.find("5 devices: 4 succeeded, 1 failed"), std::string::npos) << result.out;
    EXPECT_EQ(good.Process().WaitForExit(kStartMs), 0) << good.Process().Output();

    // Not held up: every other device's result came before the silent device timed out.
    const std::size_t failure = result.out.find(silentDevice + ": Web Server Update ERROR!");
    ASSERT_NE(failure, std::string::npos) << result.out;
    for (int host = 2; host <= 5; ++host) {
        const std::string device = "127.0.2." + std::to_string(host) + ":" + good.Port();
        SCOPED_TRACE(device);
        const std::size_t done = result.out.find(device + ": Web Server Update OK!");
        ASSERT_NE(done, std::string::npos) << result.out;
        EXPECT_LT(done, failure);
    }
    EXPECT_NE(SummaryLine(result.out, silentDevice).find("Web Server Update ERROR!  1/13"),
              std::string::npos)
        << result.out;
}

TEST_F(FleetUploadCli, FailFastStopsTheOthersAtTheFirstFailure) {
    Devices good("127.0.3.2-4", {}, dir_);
    ASSERT_FALSE(good.Port().empty()) << good.Process().Output();
    // Nothing listens on 127.0.3.9: its connect is refused at once, while the others still send.
    const auto result =
        Upload({"--port", good.Port(), "--device", "127.0.3.2", "--device", "127.0.3.9", "--device",
                "127.0.3.3", "--device", "127.0.3.4", "--fail-fast", "--json"});
    EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
    const std::string refused = "127.0.3.9:" + good.Port();
    const auto events = ParseJsonLines(result.out);
    std::map<std::string, QJsonObject> results;
    for (const auto& event : events) {
        if (event.value("event").toString() == "device_result") {
            results[event.value("device").toString().toStdString()] = event;
        }
    }
    ASSERT_EQ(results.size(), 4u) << result.out;
    EXPECT_EQ(results[refused].value("message").toString(), "Socket Connect ERROR!");
    EXPECT_EQ(results[refused].value("cause").toString(), "connect: Connection refused");
    EXPECT_EQ(results[refused].value("frames_taken").toInt(), 0);
    for (int host : {2, 3, 4}) {
        const std::string device = "127.0.3." + std::to_string(host) + ":" + good.Port();
        SCOPED_TRACE(device);
        EXPECT_FALSE(results[device].value("ok").toBool());
        EXPECT_TRUE(results[device].value("stopped").toBool());
        EXPECT_NE(result.err.find(device + ": stopped"), std::string::npos) << result.err;
    }
    const auto& last = events.back();
    EXPECT_FALSE(last.value("ok").toBool());
    EXPECT_EQ(last.value("devices").toInt(), 4);
    EXPECT_EQ(last.value("failed").toInt(), 4);
    EXPECT_EQ(last.value("message").toString(), "4 of 4 devices failed");
    EXPECT_NE(result.err.find(refused + ": Socket Connect ERROR!\nvellumix-cli: " + refused +
                              ": connect: Connection refused\n"),
              std::string::npos)
        << result.err;
}

// A build that fails sends nothing and still ends the JSON with a result that says why.
TEST_F(FleetUploadCli, PackFailureEndsTheJsonWithAResult) {
    const std::string missing = (dir_.path() / "missing").string();
    const auto result = RunProcess({CliPath(), "upload", missing, "--ini", ini_, "--device",
                                    "127.0.6.2:9", "--device", "127.0.6.3:9", "--json"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err,
              "web server path is empty!\nvellumix-cli: " + missing + ": no such folder\n");
    const auto events = ParseJsonLines(result.out);
    ASSERT_EQ(events.size(), 1u) << result.out;
    EXPECT_EQ(events[0].value("message").toString(), "web server path is empty!");
    EXPECT_EQ(events[0].value("cause").toString().toStdString(), missing + ": no such folder");
    EXPECT_EQ(events[0].value("devices").toInt(), 2);
}

TEST_F(FleetUploadCli, BadDeviceListsAreRefusedBeforeAnyConnection) {
    const std::string badLine = dir_.Write("bad.txt", "127.0.0.2\n127.0.0.3:notaport\n").string();
    const std::string twice = dir_.Write("twice.txt", "127.0.0.2\n127.0.0.2:8001\n").string();
    struct Case {
        const char* what;
        std::vector<std::string> args;
        int exitCode;
        const char* error;
    };
    const Case cases[] = {
        {"bad line", {"--devices", badLine}, 2, "line 2: bad port"},
        {"device twice", {"--devices", twice}, 2, "device listed twice: 127.0.0.2:8001"},
        {"twice across both", {"--device", "127.0.0.2", "--devices", twice}, 2, "twice"},
        {"missing file", {"--devices", (dir_.path() / "none.txt").string()}, 1, "cannot open"},
        // Read by type first: a folder (or a FIFO) never blocks the upload.
        {"folder", {"--devices", dir_.path().string()}, 1, "cannot open"},
        {"bad --device", {"--device", "127.0.0.2:0", "--device", "127.0.0.3"}, 2, "bad port"},
        {"shorthand --device", {"--device", "127.1"}, 2, "not an IPv4 address: \"127.1\""},
        {"zero-padded twins",
         {"--device", "127.0.0.010", "--device", "127.0.0.10"},
         2,
         "device listed twice: 127.0.0.10:8001 (the same device as 127.0.0.010:8001)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto result = Upload(c.args);
        EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
        EXPECT_NE(result.err.find(c.error), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
    }
}

// The simulator's addresses follow the same rule: refused with the reason before listening.
TEST_F(FleetUploadCli, SimulatorRefusesAddressesThatAreNotFourDecimalFields) {
    for (const char* option : {"--listen", "--listen-range"}) {
        SCOPED_TRACE(option);
        const auto result =
            RunProcess({CliPath(), "device", option, "127.0.0.0x2-3"}, "", {}, kStartMs);
        EXPECT_EQ(result.exitCode, 2) << result.out;
        EXPECT_NE(result.err.find("not an IPv4 address: 127.0.0.0x2"), std::string::npos)
            << result.err;
    }
}

// Under an open-file limit that cannot be raised (soft = hard), too many devices are refused as
// a whole before any connection, instead of failing one by one.
TEST_F(FleetUploadCli, MoreDevicesThanTheOpenFileLimitAllowsAreRefusedBeforeConnecting) {
    VELLUMIX_SKIP_ON_WINDOWS("Windows sets no open-file limit on sockets");
    std::string list;
    for (int host = 1; host <= 40; ++host) {
        list += "127.0.7." + std::to_string(host) + "\n";
    }
    const std::string devices = dir_.Write("forty.txt", list).string();
    const auto result =
        RunProcess({"/bin/sh", "-c", "ulimit -n 32 && exec \"$0\" \"$@\"", CliPath(), "upload",
                    (ExamplesPath() / "web").string(), "--ini", ini_, "--devices", devices});
    EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
    EXPECT_NE(result.err.find("40 devices need 40 sockets; the open-file limit allows "),
              std::string::npos)
        << result.err;
    EXPECT_EQ(result.err.find("Socket Connect ERROR!"), std::string::npos) << result.err;
}

TEST_F(FleetUploadCli, TraceShowsThatASilentDeviceNeverAnsweredTheFrame) {
    Devices device("127.0.5.2", {"--no-answer-after", "1"}, dir_);
    ASSERT_FALSE(device.Port().empty()) << device.Process().Output();
    const auto result = Upload({"--device", "127.0.5.2:" + device.Port(), "--trace"});
    EXPECT_EQ(result.exitCode, 1);
    // The failure reads as before, and the line after it says which frame went unanswered.
    EXPECT_EQ(result.err, "Web Server Update ERROR!\nvellumix-cli: 127.0.5.2:" + device.Port() +
                              ": frame 3 of 13: no answer within 3000 ms\n");
    EXPECT_NE(result.out.find("trace of 127.0.5.2:" + device.Port() +
                              " (ms since Start)\n"
                              "connect: ok at "),
              std::string::npos)
        << result.out;
    EXPECT_TRUE(std::regex_search(result.out,
                                  std::regex("\n +1 +[0-9]+ +13  OK after [0-9]+ ms\n"
                                             " +2 +[0-9]+ +2  -\n"
                                             " +3 +[0-9]+ +1024  none \\(waited [0-9]+ ms\\)\n")))
        << result.out;
    EXPECT_TRUE(std::regex_search(result.out,
                                  std::regex("acknowledgement delay: min [0-9]+ ms, median [0-9]+ "
                                             "ms, max [0-9]+ ms \\(1 of 2 frames answered\\)")))
        << result.out;
}

// 127.0.5.010 is 127.0.5.10 as in the window, never the octal 127.0.5.8.
TEST_F(FleetUploadCli, ZeroPaddedAddressReachesTheDeviceItNamesInDecimal) {
    Devices device("127.0.5.10", {}, dir_);
    ASSERT_FALSE(device.Port().empty()) << device.Process().Output();
    const auto result = Upload({"--device", "127.0.5.010:" + device.Port()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(device.Process().WaitForOutput("upload complete", kStartMs))
        << device.Process().Output();
}

TEST_F(FleetUploadCli, TraceShowsWhatAWrongAnswerSaid) {
    Devices device("127.0.5.3", {"--answer", "OK\\r\\n"}, dir_);
    ASSERT_FALSE(device.Port().empty()) << device.Process().Output();
    const auto result = Upload({"--device", "127.0.5.3:" + device.Port(), "--trace"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "Web Server Update ERROR!\nvellumix-cli: 127.0.5.3:" + device.Port() +
                              ": frame 1 of 13: the device answered \"OK\\r\\n\" (not OK)\n");
    EXPECT_TRUE(std::regex_search(
        result.out, std::regex("\n +1 +[0-9]+ +13  wrong: \"OK\\\\r\\\\n\" after [0-9]+ ms\n")))
        << result.out;
    EXPECT_NE(result.out.find("acknowledgement delay: no acknowledgement (0 of 1 frames answered)"),
              std::string::npos)
        << result.out;
}

}  // namespace

// The ledger's tests need SQLite, which a Windows build may be made without.
#if __has_include(<sqlite3.h>)
namespace {

// The states each device of a JSON status output is in, by device.
std::map<std::string, std::string> States(const std::string& out) {
    std::map<std::string, std::string> states;
    for (const auto& event : ParseJsonLines(out)) {
        if (event.value("event").toString() == "device_status") {
            states[event.value("device").toString().toStdString()] =
                event.value("state").toString().toStdString();
        }
    }
    return states;
}

// A rollout where two controllers were unreachable: status tells which, and the rerun with
// --skip-current sends to those two only, so the others' pages are not rewritten.
TEST_F(FleetUploadCli, SkipCurrentAfterAPartialFailureSendsOnlyWhatIsMissing) {
    const std::string book = (dir_.path() / "ledger.sqlite").string();
    std::string port;
    std::vector<std::string> all;
    {
        Devices first("127.0.8.2-4", {}, dir_);
        ASSERT_FALSE(first.Port().empty()) << first.Process().Output();
        port = first.Port();
        for (int host = 2; host <= 6; ++host) {
            all.insert(all.end(), {"--device", "127.0.8." + std::to_string(host)});
        }
        std::vector<std::string> args = {"--port", port, "--ledger", book};
        args.insert(args.end(), all.begin(), all.end());
        const auto result = Upload(args);
        EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
        EXPECT_NE(result.out.find("5 devices: 3 succeeded, 2 failed"), std::string::npos);
        EXPECT_EQ(first.Process().WaitForExit(kStartMs), 0) << first.Process().Output();
    }
    std::vector<std::string> status = {CliPath(), "status", (ExamplesPath() / "web").string(),
                                       "--ini",   ini_,     "--ledger",
                                       book,      "--port", port,
                                       "--json"};
    status.insert(status.end(), all.begin(), all.end());
    auto states = RunProcess(status);
    EXPECT_EQ(states.exitCode, 1) << states.err;
    const auto label = [&](int host) { return "127.0.8." + std::to_string(host) + ":" + port; };
    EXPECT_EQ(States(states.out), (std::map<std::string, std::string>{{label(2), "current"},
                                                                      {label(3), "current"},
                                                                      {label(4), "current"},
                                                                      {label(5), "unknown"},
                                                                      {label(6), "unknown"}}));

    // Every controller listens now, on the same port as before.
    const std::string save = (dir_.path() / "second").string();
    BackgroundProcess second(
        {CliPath(), "device", "--listen-range", "127.0.8.2-6", "--port", port, "--save", save});
    ASSERT_TRUE(second.WaitForOutput("listening on", kStartMs)) << second.Output();
    std::vector<std::string> args = {"--port", port, "--ledger", book, "--skip-current", "--json"};
    args.insert(args.end(), all.begin(), all.end());
    const auto rerun = Upload(args);
    EXPECT_EQ(rerun.exitCode, 0) << rerun.out << rerun.err;
    int skipped = 0;
    for (const auto& event : ParseJsonLines(rerun.out)) {
        skipped += event.value("skipped").toBool() ? 1 : 0;
    }
    EXPECT_EQ(skipped, 3) << rerun.out;
    EXPECT_EQ(ReadFile(save + ".127.0.8.5"), PackedExamples());
    EXPECT_EQ(ReadFile(save + ".127.0.8.6"), PackedExamples());
    EXPECT_FALSE(std::filesystem::exists(save + ".127.0.8.2"));
    states = RunProcess(status);
    EXPECT_EQ(states.exitCode, 0) << states.out << states.err;
}

// Several uploads at once, each a process of its own writing to one ledger: every controller's
// start and end is there, none lost to a busy database.
TEST_F(FleetUploadCli, ConcurrentUploadsLoseNoRecord) {
    constexpr int kProcesses = 8;
    constexpr int kDevicesEach = 20;
    const std::string book = (dir_.path() / "ledger.sqlite").string();
    std::vector<std::unique_ptr<BackgroundProcess>> uploads;
    for (int p = 0; p < kProcesses; ++p) {
        // Nothing listens on port 1 there: each connect is refused at once, and recorded.
        std::vector<std::string> args = {CliPath(), "upload", (ExamplesPath() / "web").string(),
                                         "--ini",   ini_,     "--ledger",
                                         book,      "--port", "1",
                                         "--pace",  "40"};
        for (int d = 0; d < kDevicesEach; ++d) {
            args.insert(args.end(), {"--device", "127.0.9." + std::to_string(d + 1)});
        }
        uploads.push_back(std::make_unique<BackgroundProcess>(args));
    }
    for (auto& upload : uploads) {
        EXPECT_EQ(upload->WaitForExit(kUploadMs), 1) << upload->Output();
        EXPECT_EQ(upload->Output().find("ledger"), std::string::npos) << upload->Output();
    }
    const auto history = RunProcess({CliPath(), "history", "--ledger", book, "--json"});
    const auto events = ParseJsonLines(history.out);
    ASSERT_FALSE(events.empty()) << history.err;
    EXPECT_EQ(events.back().value("uploads").toInt(), kProcesses * kDevicesEach);
    for (const auto& event : events) {
        if (event.value("event").toString() == "upload") {
            EXPECT_EQ(event.value("result").toString(), "failed");
            EXPECT_EQ(event.value("pace_ms").toInt(), 40);
        }
    }
}

}  // namespace
#endif
