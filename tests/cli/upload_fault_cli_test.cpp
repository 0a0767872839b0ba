// vellumix-cli upload against devices on 127.0.0.1 that misbehave (scripts on a thread of the
// test) and diagnostic listeners that stop reading or go away. The tool must end in every case,
// in bounded time, with the message the upload rules give.

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "support/silent_listener.h"
#endif
#include "support/device_faults.h"
#include "support/scripted_device.h"
#include "support/skip_on_windows.h"
#include "support/test_support.h"

namespace {

using testing_support::BackgroundProcess;
using testing_support::CliPath;
using testing_support::DeviceFault;
using testing_support::FaultEnd;
using testing_support::GoodDevice;
using testing_support::PrivateLogPipe;
using testing_support::RunProcess;
using testing_support::ScriptedDevice;
#ifndef _WIN32
using testing_support::SilentListener;
#endif
using testing_support::TempDir;

constexpr int kAckTimeoutMs = 3000;
constexpr int kTimerPeriodMs = 150;
constexpr int kBlockBytes = 1024;
constexpr int kProcessTimeoutMs = 60000;
constexpr int kStartMs = 10000;
// Process start, image build and a tick or two beyond a time-out, on a busy machine.
constexpr int kSlackMs = 3000;
// Enough 1024-byte data frames that their hex lines (about 3 KB each) overfill the diagnostic
// pipe of a listener that reads nothing.
constexpr int kBlocksThatOverfillThePipe = 56;

const std::string kUpdateOk = "Web Server Update OK!\n";
const std::string kUpdateError = "Web Server Update ERROR!\n";

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class UploadFaultCli : public ::testing::Test {
  protected:
    UploadFaultCli() { ini_ = dir_.Write("Vellumix.ini", "[DEFAULT]\r\n").string(); }

    // A web folder of one file of `bytes` bytes; with 4 directory entries the image is 128
    // bytes longer.
    std::string FolderWithFileOf(std::size_t bytes) {
        std::string content(bytes, 'x');
        dir_.Write("web/index.htm", content);
        return (dir_.path() / "web").string();
    }

    std::vector<std::string> UploadArgs(const std::string& folder, int port) const {
        return {CliPath(),
                "upload",
                folder,
                "--device",
                "127.0.0.1",
                "--port",
                std::to_string(port),
                "--ini",
                ini_,
                "--max-files",
                "4"};
    }

    testing_support::ProcessResult Upload(const std::string& folder, int port,
                                          const std::map<std::string, std::string>& env = {}) {
        const auto start = Clock::now();
        auto result = RunProcess(UploadArgs(folder, port), "", env, kProcessTimeoutMs);
        elapsedMs_ = MillisecondsSince(start);
        return result;
    }

    TempDir dir_;
    std::string ini_;
    long long elapsedMs_ = 0;
};

// `vellumix-cli device` on 127.0.0.1 and a free port, with the given fault options.
class Simulator {
  public:
    explicit Simulator(std::vector<std::string> options) : process_(Args(std::move(options))) {
        std::smatch match;
        if (process_.WaitForOutput("\n", kStartMs)) {
            const std::string output = process_.Output();
            if (std::regex_search(output, match, std::regex("listening on [0-9.]+:(\\d+)\n"))) {
                port_ = std::stoi(match[1]);
            }
        }
    }
    int Port() const { return port_; }
    BackgroundProcess& Process() { return process_; }

  private:
    static std::vector<std::string> Args(std::vector<std::string> options) {
        std::vector<std::string> args = {CliPath(), "device", "--port", "0"};
        args.insert(args.end(), options.begin(), options.end());
        return args;
    }

    BackgroundProcess process_;
    int port_ = 0;
};

// Under Wine an abortive close (SO_LINGER 0) arrives as an orderly end.
#ifdef _WIN32
constexpr const char* kResetMidBlockCause =
    "frame 3 of 9: (connection lost: Connection reset by peer|the device closed the connection)\n";
#else
constexpr const char* kResetMidBlockCause =
    "frame 3 of 9: connection lost: Connection reset by peer\n";
#endif

// What follows "vellumix-cli: 127.0.0.1:PORT: " after each fault of the catalogue (a pattern).
const std::map<std::string, std::string>& CauseOfEachFault() {
    static const std::map<std::string, std::string> causes = {
        {"AcceptsAndNeverReads", "frame 1 of 9: no answer within 3000 ms\n"},
        {"NeverAccepts", "frame 1 of 9: no answer within 3000 ms\n"},
        {"ReadsButNeverAnswers", "frame 1 of 9: no answer within 3000 ms\n"},
        {"StopsAnsweringAtTheSecondBlock", "frame 5 of 9: no answer within 3000 ms\n"},
        {"AcceptsAndClosesAtOnce", "frame 1 of 9: the device closed the connection\n"},
        {"ClosesAfterAnsweringTheMagic", "frame [0-9]+ of 9: the device closed the connection\n"},
        {"AcceptsAndResetsAtOnce",
         "frame 1 of 9: ((connection lost|send): Connection reset by peer|the device closed the "
         "connection)\n"},
        {"ResetsMidBlock", kResetMidBlockCause},
        // Windows may report the reset at the next send before the close event, and Wine as an
        // orderly end.
        {"ResetsAfterTheFirstBlock",
         "frame [0-9]+ of 9: ((connection lost|send): |the device closed the connection\n)"},
        {"AnswersGarbage", "frame 1 of 9: the device answered \"\\\\0\\\\xFFOK\" \\(not OK\\)\n"},
        // A reply that is not exactly OK is named, never taken for no answer.
        {"AnswersOkInTwoSegments", "frame 1 of 9: the device answered \"O\" \\(not OK\\)\n"},
        {"AnswersOkWithAnEchoOfTheFrame",
         "frame 1 of 9: the device answered \"OKKXHTMLUPGRADE\" \\(not OK\\)\n"},
        {"AnswersOkCrLf", "frame 1 of 9: the device answered \"OK\\\\r\\\\n\" \\(not OK\\)\n"},
        {"AnswersOkTwice", "frame 1 of 9: the device answered \"OKOK\" \\(not OK\\)\n"},
        {"AnswersOkX", "frame 1 of 9: the device answered \"OKX\" \\(not OK\\)\n"},
        {"AnswersALongReply",
         "frame 1 of 9: the device answered \"Q{32}\"\\.\\.\\. \\(40 bytes, not OK\\)\n"},
        {"FloodsAFrameWithReplies", "frame 1 of 9: the device answered \"(XY)+\" \\(not OK\\)\n"},
        {"AnswersLaterThanTheTimeout", "frame 1 of 9: no answer within 3000 ms\n"},
    };
    return causes;
}

class DeviceFaultCli : public UploadFaultCli, public ::testing::WithParamInterface<DeviceFault> {
  protected:
    // Uploads to the device on `port`, playing the fault, and checks the end the fault calls for.
    void ExpectTheFaultsEnd(int port) {
        const std::string folder = FolderWithFileOf(3 * kBlockBytes);
        const auto result = Upload(folder, port);
        EXPECT_LT(elapsedMs_, kAckTimeoutMs + kSlackMs);
        if (GetParam().end == FaultEnd::kSucceeds) {
            EXPECT_EQ(result.exitCode, 0) << result.err;
            ASSERT_GE(result.out.size(), kUpdateOk.size());
            EXPECT_EQ(result.out.substr(result.out.size() - kUpdateOk.size()), kUpdateOk);
            return;
        }
        EXPECT_EQ(result.exitCode, 1) << result.out;
        if (GetParam().mayEndAtTheConnect && result.err.starts_with("Socket Connect ERROR!\n")) {
            return;
        }
        const auto cause = CauseOfEachFault().find(GetParam().name);
        ASSERT_NE(cause, CauseOfEachFault().end()) << "no cause written for the fault";
        const std::string causeLine =
            "vellumix-cli: 127.0.0.1:" + std::to_string(port) + ": " + cause->second;
        EXPECT_TRUE(std::regex_search(result.err, std::regex("^" + kUpdateError + causeLine)))
            << result.err;
        EXPECT_EQ(result.out.find("Web Server Update OK!"), std::string::npos);
    }
};

TEST_P(DeviceFaultCli, EndsAsTheFaultSaysNamingTheCause) {
    ScriptedDevice device(GetParam().script, 0, GetParam().accept);
    ExpectTheFaultsEnd(device.Port());
}

INSTANTIATE_TEST_SUITE_P(Catalogue, DeviceFaultCli,
                         ::testing::ValuesIn(testing_support::DeviceFaultsEnding(
                             {FaultEnd::kUpdateError, FaultEnd::kSucceeds})),
                         testing_support::DeviceFaultTestName);

// `vellumix-cli device` plays the faults it has options for as the script does.
class SimulatorFaultCli : public DeviceFaultCli {};

TEST_P(SimulatorFaultCli, EndsAsTheScriptedFaultDoes) {
    Simulator device(GetParam().simulator);
    ASSERT_GT(device.Port(), 0) << device.Process().Output();
    ExpectTheFaultsEnd(device.Port());
    EXPECT_NE(device.Process().WaitForExit(kStartMs), 0);
}

std::vector<DeviceFault> FaultsTheSimulatorPlays() {
    std::vector<DeviceFault> faults;
    for (const DeviceFault& fault : testing_support::DeviceFaults()) {
        if (!fault.simulator.empty()) {
            faults.push_back(fault);
        }
    }
    return faults;
}

INSTANTIATE_TEST_SUITE_P(Catalogue, SimulatorFaultCli,
                         ::testing::ValuesIn(FaultsTheSimulatorPlays()),
                         testing_support::DeviceFaultTestName);

// A listener that never reads: the tool's lines fill the pipe, one line waits its bounded time,
// the rest are dropped, and the upload succeeds in about the time it needs anyway. What the
// listener finally reads is whole lines only.
TEST_F(UploadFaultCli, ListenerThatNeverReadsDoesNotHoldTheUploadUp) {
    VELLUMIX_SKIP_ON_WINDOWS(
        "the silent listener is a Unix-domain socket; Windows has a named pipe");
#ifndef _WIN32
    const std::string runtime = (dir_.path() / "run").string();
    std::filesystem::create_directories(runtime);
    SilentListener listener(runtime + "/quillTest");
    ASSERT_TRUE(listener.Listening());
    const std::string folder = FolderWithFileOf(kBlocksThatOverfillThePipe * kBlockBytes - 128);
    ScriptedDevice device(GoodDevice());

    const auto result = Upload(folder, device.Port(), {{"XDG_RUNTIME_DIR", runtime}});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    const int frames = 1 + 2 * kBlocksThatOverfillThePipe;
    EXPECT_LT(elapsedMs_, (frames + 1) * kTimerPeriodMs + 1000 + kSlackMs);

    const std::string log = listener.TakeEverything();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.rfind("socket Write 13: 4B 58 48 54 4D 4C 55 50 47 52 41 44 45 \r\n", 0), 0u);
    EXPECT_EQ(log.back(), '\n') << "the listener got half a line";
    std::size_t lines = 0;
    std::size_t start = 0;
    for (std::size_t end; (end = log.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = log.substr(start, end - start);
        ++lines;
        const bool dump =
            line.rfind("socket Write ", 0) == 0 || line.rfind("socket Read  ", 0) == 0;
        EXPECT_TRUE(dump || line == "Socket::Close(index=0)\r") << line.substr(0, 60);
        if (dump) {
            // Prefix with the count, 3 characters per byte, then the CR.
            const std::size_t colon = line.find(": ");
            ASSERT_NE(colon, std::string::npos);
            const std::size_t count = std::stoul(line.substr(13, colon - 13));
            EXPECT_EQ(line.size(), colon + 2 + 3 * count + 1) << line.substr(0, 60);
        }
    }
    // A Write line per frame, a Read line per acknowledged frame, and the close line.
    const int written = frames + (kBlocksThatOverfillThePipe + 1) + 1;
    EXPECT_LT(lines, static_cast<std::size_t>(written))
        << "no line was dropped: the pipe never filled";
#endif
}

// The diagnostic listener is killed in the middle of an upload: the tool carries on and
// succeeds.
TEST_F(UploadFaultCli, ListenerKilledMidRunDoesNotHurtTheUpload) {
    const std::string runtime = (dir_.path() / "run").string();
    std::filesystem::create_directories(runtime);
    auto listener = std::make_unique<BackgroundProcess>(std::vector<std::string>{CliPath(), "log"},
                                                        PrivateLogPipe(runtime));
    ASSERT_TRUE(listener->WaitForOutput("\n", kStartMs)) << listener->Output();

    const std::string folder = FolderWithFileOf(8 * kBlockBytes);
    ScriptedDevice device(GoodDevice());
    BackgroundProcess upload(UploadArgs(folder, device.Port()), PrivateLogPipe(runtime));
    ASSERT_TRUE(listener->WaitForOutput("socket Write 1024", kStartMs)) << listener->Output();
    listener.reset();  // killed

    EXPECT_EQ(upload.WaitForExit(kProcessTimeoutMs), 0) << upload.Output();
    EXPECT_NE(upload.Output().find("Web Server Update OK!"), std::string::npos) << upload.Output();
}

// Ctrl+C or a termination request ends the diagnostic listener through its event loop: it
// exits normally and removes its socket file, so the next listener finds no stale one.
TEST_F(UploadFaultCli, ListenerStoppedBySignalExitsNormallyAndRemovesItsSocket) {
    VELLUMIX_SKIP_ON_WINDOWS(
        "Windows has no signals to send to a program, nor a socket file to remove");
#ifndef _WIN32
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(signal));
        const auto runtime = dir_.path() / ("run-" + std::to_string(signal));
        std::filesystem::create_directories(runtime);
        BackgroundProcess listener({CliPath(), "log"}, {{"XDG_RUNTIME_DIR", runtime.string()}});
        ASSERT_TRUE(listener.WaitForOutput("listening on", kStartMs)) << listener.Output();
        ASSERT_TRUE(std::filesystem::exists(runtime / "quillTest"));
        listener.Signal(signal);
        EXPECT_EQ(listener.WaitForExit(kStartMs), 0) << listener.Output();
        EXPECT_FALSE(std::filesystem::exists(runtime / "quillTest"));
    }
#endif
}

// Ctrl+C or a termination request while the device has not answered yet: the connection is
// closed at once, the run says so, and the status is the one a shell gives for the signal.
TEST_F(UploadFaultCli, SignalMidUploadClosesTheConnectionAndEndsWithItsStatus) {
    VELLUMIX_SKIP_ON_WINDOWS("Windows has no signals to send to a program");
#ifndef _WIN32
    const std::string folder = FolderWithFileOf(kBlockBytes);
    struct Case {
        const char* name;
        int signal;
        int exitCode;
        std::vector<std::string> extra;
        const char* said;
        const char* recorded;  // the ledger's result, and the state status derives from it
        const char* state;
    };
    // No frame was answered: an interruption leaves the controller as it was, while a killed
    // upload leaves an unfinished row that may have changed it.
    const Case cases[] = {
        {"SIGINT", SIGINT, 130, {}, "upload interrupted\n", "interrupted", "unknown"},
        {"SIGTERM", SIGTERM, 143, {}, "upload interrupted\n", "interrupted", "unknown"},
        {"SIGINT with --json",
         SIGINT,
         130,
         {"--json"},
         "\"interrupted\":true",
         "interrupted",
         "unknown"},
        {"SIGKILL", SIGKILL, -1, {}, "", "unfinished", "incomplete"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Simulator silent({"--no-answer-after", "0"});
        ASSERT_GT(silent.Port(), 0) << silent.Process().Output();
        std::vector<std::string> args = UploadArgs(folder, silent.Port());
        const std::string book = (dir_.path() / (std::string(c.name) + ".sqlite")).string();
        args.insert(args.end(), {"--ack-timeout", "60000", "--ledger", book});
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        BackgroundProcess upload(args);
        ASSERT_TRUE(upload.WaitForOutput("progress", kStartMs)) << upload.Output();
        const auto signalled = Clock::now();
        upload.Signal(c.signal);
        EXPECT_EQ(upload.WaitForExit(kStartMs), c.exitCode) << upload.Output();
        EXPECT_LT(MillisecondsSince(signalled), kSlackMs);
        const std::string output = upload.Output();
        EXPECT_NE(output.find(c.said), std::string::npos) << output;
        EXPECT_EQ(output.find("Web Server Update"), std::string::npos) << output;
        EXPECT_TRUE(silent.Process().WaitForOutput("closed by the client", kStartMs))
            << silent.Process().Output();
        if (!c.extra.empty()) {
            const std::size_t last = output.rfind("{\"");
            ASSERT_NE(last, std::string::npos) << output;
            EXPECT_NE(output.find("\"event\":\"result\"", last), std::string::npos) << output;
            EXPECT_NE(output.find("\"interrupted\":true", last), std::string::npos) << output;
        }
        const auto history = RunProcess({CliPath(), "history", "--ledger", book, "--csv"});
        EXPECT_NE(history.out.find(std::string(",") + c.recorded + ","), std::string::npos)
            << history.out << history.err;
        const auto status =
            RunProcess({CliPath(), "status", folder, "--ini", ini_, "--ledger", book, "--device",
                        "127.0.0.1:" + std::to_string(silent.Port()), "--json"});
        EXPECT_EQ(status.exitCode, 1);
        EXPECT_NE(status.out.find(std::string("\"state\":\"") + c.state), std::string::npos)
            << status.out << status.err;
    }
#endif
}

// A signal while the folder is still being packed ends the upload as one during the upload
// does; a SIGINT ignored from the start (a background job) stays ignored. The folder is a web of
// folder links that keeps the scan busy up to its bound.
TEST_F(UploadFaultCli, SignalWhilePackingEndsAsAnInterruptedUpload) {
    VELLUMIX_SKIP_ON_WINDOWS("Windows has no signals to send to a program");
#ifndef _WIN32
    constexpr int kLevels = 17;  // 2^17 paths, beyond the scan's 50000 folders
    std::filesystem::create_directories(dir_.path() / ("l" + std::to_string(kLevels)));
    for (int level = 0; level < kLevels; ++level) {
        const auto folder = dir_.path() / ("l" + std::to_string(level));
        std::filesystem::create_directories(folder);
        for (const char* name : {"a", "b"}) {
            std::filesystem::create_directory_symlink("../l" + std::to_string(level + 1),
                                                      folder / name);
        }
    }
    const std::string result =
        "{\"devices\":1,\"event\":\"result\",\"failed\":1,\"interrupted\":true,"
        "\"message\":\"upload interrupted\",\"ok\":false,\"schema\":1,\"succeeded\":0}";
    const std::tuple<const char*, int, int, std::string> cases[] = {
        {"exec \"$@\"", SIGINT, 130, "\nupload interrupted\n" + result},
        {"exec \"$@\"", SIGTERM, 143, "\nupload interrupted\n" + result},
        {"trap '' INT; exec \"$@\"", SIGINT, 1, "the scan stopped after 50000 folders"},
    };
    for (const auto& [script, signal, exitCode, said] : cases) {
        SCOPED_TRACE(std::string(script) + " " + strsignal(signal));
        BackgroundProcess upload({"/bin/sh", "-c", script, "sh", CliPath(), "upload",
                                  (dir_.path() / "l0").string(), "--device", "127.0.0.1", "--ini",
                                  (dir_.path() / "none.ini").string(), "--json"});
        ASSERT_TRUE(upload.WaitForOutput("none.ini not found", kStartMs)) << upload.Output();
        upload.Signal(signal);
        EXPECT_EQ(upload.WaitForExit(kProcessTimeoutMs), exitCode) << upload.Output();
        EXPECT_NE(upload.Output().find(said), std::string::npos) << upload.Output();
    }
#endif
}

// A device that stops answering at block 2: each failed try is reported and the next starts
// over with a new connection and the magic frame, after a pause that doubles from 1 s; the last
// failure is the result.
TEST_F(UploadFaultCli, RetriesStartOverAfterADoublingPauseAndReportEachTry) {
    const std::string folder = FolderWithFileOf(3 * kBlockBytes);
    Simulator device({"--no-answer-after", "2"});
    ASSERT_GT(device.Port(), 0) << device.Process().Output();
    std::vector<std::string> args = UploadArgs(folder, device.Port());
    args.insert(args.end(), {"--retries", "2", "--ack-timeout", "300"});
    const auto start = Clock::now();
    const auto result = RunProcess(args, "", {}, kProcessTimeoutMs);
    const auto tookMs = MillisecondsSince(start);
    EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
    const std::string target = "vellumix-cli: 127.0.0.1:" + std::to_string(device.Port()) + ": ";
    const std::string failure =
        "Web Server Update ERROR!\n" + target + "frame 5 of 9: no answer within 300 ms\n" + target;
    EXPECT_NE(result.err.find(failure + "try 2 of 3 in 1.0 s\n"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(failure + "try 3 of 3 in 2.0 s\n"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("try 4"), std::string::npos) << result.err;
    EXPECT_GE(tookMs, 3000) << "the pauses of 1 s and 2 s";
    const std::string seen = device.Process().Output();
    std::size_t magics = 0;
    for (std::size_t at = 0; (at = seen.find("magic ok", at)) != std::string::npos; ++at) {
        ++magics;
    }
    EXPECT_EQ(magics, 3u) << seen;
}

// A pace below the contract's only suits a device that takes it: firmware that needs a gap
// between frames, or that takes each read as one frame, refuses the frames --pace 0 sends back
// to back, says which, and the upload fails naming the frame; a paced upload passes both.
TEST_F(UploadFaultCli, PaceTooFastForTheFirmwareFailsNamingTheFrame) {
    const std::string folder = FolderWithFileOf(3 * kBlockBytes);
    const std::tuple<std::vector<std::string>, const char*, int> cases[] = {
        {{"--one-frame-per-read"}, "0", 1},
        {{"--min-gap", "100"}, "0", 1},
        {{}, "0", 0},
        {{"--min-gap", "100", "--one-frame-per-read"}, "300", 0},
    };
    for (const auto& [options, pace, exitCode] : cases) {
        SCOPED_TRACE(std::string("--pace ") + pace + " against " +
                     ::testing::PrintToString(options));
        Simulator device(options);
        ASSERT_GT(device.Port(), 0) << device.Process().Output();
        std::vector<std::string> args = UploadArgs(folder, device.Port());
        args.insert(args.end(), {"--pace", pace, "--ack-timeout", "1000"});
        const auto result = RunProcess(args, "", {}, kProcessTimeoutMs);
        EXPECT_EQ(result.exitCode, exitCode) << result.err << device.Process().Output();
        if (exitCode != 0) {
            EXPECT_TRUE(std::regex_search(
                result.err, std::regex(kUpdateError + "vellumix-cli: 127.0.0.1:[0-9]+: frame "
                                                      "[0-9]+ of 9: (the device closed|connection "
                                                      "lost)")))
                << result.err;
            EXPECT_TRUE(device.Process().WaitForOutput("upload failed: rejected: the ", kStartMs));
        }
    }
}

// A client that connects to the simulator and says nothing would hold its one upload slot: it
// is dropped after --idle-timeout, with a line saying so, and the next upload goes through.
TEST_F(UploadFaultCli, SimulatorDropsASilentClientSoTheNextUploadGoesThrough) {
    Simulator simulator({"--idle-timeout", "0.3"});
    ASSERT_GT(simulator.Port(), 0) << simulator.Process().Output();
    const int silent = testing_support::ConnectWithin(simulator.Port(), kStartMs);
    ASSERT_GE(silent, 0);
    // Well under the default of 10 s.
    EXPECT_TRUE(simulator.Process().WaitForOutput("for 300 ms, connection dropped", 5000))
        << simulator.Process().Output();
    testing_support::CloseSocket(silent);
    const auto result = Upload(FolderWithFileOf(kBlockBytes), simulator.Port());
    EXPECT_EQ(result.exitCode, 0) << result.err;
}

// A device that floods a frame with replies: -v gives the first reply and one line counting the
// rest, and the trace keeps 16 replies and counts the others, instead of growing with the flood.
TEST_F(UploadFaultCli, FloodOfRepliesLeavesVerboseOutputAndTraceBounded) {
    const std::string folder = FolderWithFileOf(kBlockBytes);
    ScriptedDevice device(testing_support::DeviceFaultNamed("FloodsAFrameWithReplies").script);
    std::vector<std::string> args = UploadArgs(folder, device.Port());
    args.insert(args.begin() + 1, "-v");
    args.insert(args.end(), {"--trace", "--json"});
    const auto result = RunProcess(args, "", {}, kProcessTimeoutMs);
    EXPECT_EQ(result.exitCode, 1) << result.err;
    EXPECT_TRUE(std::regex_search(result.err, std::regex("frame 1: reply \"(XY)+\" is not OK\n")))
        << result.err;
    EXPECT_TRUE(std::regex_search(
        result.err, std::regex("\nframe 1: [0-9]+ more replies, 0 of them OK, the first \"XY")))
        << result.err;
    EXPECT_LT(std::count(result.err.begin(), result.err.end(), '\n'), 12) << result.err;
    std::smatch trace;
    ASSERT_TRUE(std::regex_search(result.out, trace,
                                  std::regex("[^\n]*\"event\":\"trace\",\"frame\":1,[^\n]*")))
        << result.out;
    const std::string line = trace.str();
    EXPECT_TRUE(std::regex_search(line, std::regex("\"more_replies\":[1-9]"))) << line;
    int kept = 0;
    for (auto at = line.find("\"ms\":"); at != std::string::npos;
         at = line.find("\"ms\":", at + 1)) {
        ++kept;
    }
    EXPECT_EQ(kept, 16) << line;
}

// The refused connect's reason reaches the cause line also through the links that watch the
// connection for --trace and -v.
TEST_F(UploadFaultCli, ConnectCauseSurvivesTheTraceAndStepLinks) {
    int port = 0;
    {
        Simulator gone({});
        port = gone.Port();
    }
    ASSERT_GT(port, 0);
    const std::string folder = FolderWithFileOf(kBlockBytes);
    for (const char* option : {"--trace", "-v"}) {
        SCOPED_TRACE(option);
        std::vector<std::string> args = UploadArgs(folder, port);
        if (std::string(option) == "-v") {
            args.insert(args.begin() + 1, option);  // the tool's option, before the command
        } else {
            args.push_back(option);
        }
        const auto result = RunProcess(args, "", {}, kProcessTimeoutMs);
        EXPECT_EQ(result.exitCode, 1) << result.err;
        EXPECT_NE(result.err.find("vellumix-cli: 127.0.0.1:" + std::to_string(port) +
                                  ": connect: Connection refused\n"),
                  std::string::npos)
            << result.err;
    }
}

}  // namespace
