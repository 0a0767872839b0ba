// vellumix-cli upload against the bundled simulator (vellumix-cli device) on 127.0.0.1. The
// listener prints each diagnostic line with a plain line feed.

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
// The ledger's tests need SQLite, which a Windows build may be made without.
#if __has_include(<sqlite3.h>)
#include <sqlite3.h>

#include "ledger/ledger.h"
#define VELLUMIX_TEST_LEDGER 1
#endif

#include "json_lines_check.h"
#include "support/skip_on_windows.h"
#include "support/test_support.h"

namespace {

using testing_support::BackgroundProcess;
using testing_support::CliPath;
using testing_support::ExamplesPath;
using testing_support::ParseJsonLines;
using testing_support::PrivateLogPipe;
using testing_support::ReadFile;
using testing_support::RunProcess;
using testing_support::TempDir;

constexpr int kStartMs = 10000;
constexpr int kUploadMs = 60000;

// A simulator on a free loopback port; the port is read from its first line.
class Simulator {
  public:
    explicit Simulator(std::vector<std::string> extra, const TempDir& dir)
        : imagePath_((dir.path() / "received.img").string()),
          process_(MakeArgs(std::move(extra), imagePath_)) {
        if (process_.WaitForOutput("\n", kStartMs)) {
            std::smatch match;
            const std::string output = process_.Output();
            if (std::regex_search(output, match,
                                  std::regex("listening on 127\\.0\\.0\\.1:(\\d+)"))) {
                port_ = match[1];
            }
        }
    }

    const std::string& Port() const { return port_; }
    const std::string& ImagePath() const { return imagePath_; }
    BackgroundProcess& Process() { return process_; }

  private:
    static std::vector<std::string> MakeArgs(std::vector<std::string> extra,
                                             const std::string& image) {
        std::vector<std::string> args = {CliPath(), "device", "--once", "--listen", "127.0.0.1",
                                         "--port",  "0",      "--save", image};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    std::string imagePath_;
    BackgroundProcess process_;
    std::string port_;
};

class UploadCli : public ::testing::Test {
  protected:
    UploadCli() { ini_ = dir_.Write("Vellumix.ini", "[DEFAULT]\r\n").string(); }

    testing_support::ProcessResult Upload(const std::string& port,
                                          std::vector<std::string> extra = {},
                                          const std::string& folder = "") {
        std::vector<std::string> args = {
            CliPath(),  "upload",    folder.empty() ? (ExamplesPath() / "web").string() : folder,
            "--device", "127.0.0.1", "--port",
            port,       "--ini",     ini_};
        args.insert(args.end(), extra.begin(), extra.end());
        return RunProcess(args, "", {}, kUploadMs);
    }

    TempDir dir_;
    std::string ini_;
};

TEST_F(UploadCli, UploadsExamplesAndTheDeviceGetsExactlyThePackedImage) {
    Simulator device({}, dir_);
    ASSERT_FALSE(device.Port().empty()) << device.Process().Output();

    const auto result = Upload(device.Port());
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    ASSERT_GE(result.out.size(), 22u);
    EXPECT_EQ(result.out.substr(result.out.size() - 22), "Web Server Update OK!\n");
    EXPECT_NE(result.out.find("progress 100.00% (13/13 frames"), std::string::npos) << result.out;
    EXPECT_EQ(device.Process().WaitForExit(kStartMs), 0) << device.Process().Output();

    const std::string packed = (dir_.path() / "packed.img").string();
    const auto pack = RunProcess(
        {CliPath(), "pack", (ExamplesPath() / "web").string(), "-o", packed, "--ini", ini_});
    ASSERT_EQ(pack.exitCode, 0) << pack.err;
    const std::string received = ReadFile(device.ImagePath());
    EXPECT_FALSE(received.empty());
    EXPECT_EQ(received, ReadFile(packed));
}

TEST_F(UploadCli, LateButTimelyAnswersStillSucceed) {
    Simulator device({"--delay-ms", "400"}, dir_);
    ASSERT_FALSE(device.Port().empty());
    const auto result = Upload(device.Port());
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(device.Process().WaitForExit(kStartMs), 0);
}

TEST_F(UploadCli, NoListenerGivesConnectError) {
    // Take a free port from a simulator, then stop it so nothing listens there.
    std::string port;
    {
        Simulator device({}, dir_);
        port = device.Port();
    }
    ASSERT_FALSE(port.empty());
    const auto result = Upload(port);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "Socket Connect ERROR!\nvellumix-cli: 127.0.0.1:" + port +
                              ": connect: Connection refused\n");
}

TEST_F(UploadCli, BuildFailuresStopBeforeConnecting) {
    const auto empty = RunProcess({CliPath(), "upload", dir_.path().string() + "/nothing-here",
                                   "--device", "127.0.0.1", "--port", "9", "--ini", ini_});
    EXPECT_EQ(empty.exitCode, 1);
    EXPECT_EQ(empty.err, "web server path is empty!\nvellumix-cli: " + dir_.path().string() +
                             "/nothing-here: no such folder\n");

    dir_.Write("web/this-name-is-far-too-long.htm", "x");
    const auto longName = RunProcess({CliPath(), "upload", (dir_.path() / "web").string(),
                                      "--device", "127.0.0.1", "--port", "9", "--ini", ini_});
    EXPECT_EQ(longName.exitCode, 1);
    EXPECT_EQ(longName.err,
              "The File [/this-name-is-far-too-long.htm] name is bigger than 24,please confirm "
              "it!\n");
}

TEST_F(UploadCli, JsonFollowsTheSchemaWithOneResultNamingTheImage) {
    Simulator device({}, dir_);
    ASSERT_FALSE(device.Port().empty());
    const auto result = Upload(device.Port(), {"--json"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    const auto events = ParseJsonLines(result.out);
    ASSERT_EQ(events.size(), 15u) << result.out;  // 13 frames taken, the device, the result
    const std::string label = "127.0.0.1:" + device.Port();
    EXPECT_EQ(events[0].value("event").toString(), "progress");
    EXPECT_EQ(events[0].value("estimated_ms_left").toInt(), 1950);
    EXPECT_EQ(events[12].value("frames_taken").toInt(), 13);
    EXPECT_EQ(events[13].value("event").toString(), "device_result");
    EXPECT_EQ(events[13].value("device").toString().toStdString(), label);
    EXPECT_EQ(events[13].value("attempts").toInt(), 1);
    EXPECT_TRUE(events[13].value("ok").toBool());
    const auto& last = events[14];
    EXPECT_TRUE(last.value("ok").toBool());
    EXPECT_EQ(last.value("message").toString(), "Web Server Update OK!");
    EXPECT_EQ(last.value("devices").toInt(), 1);
    EXPECT_EQ(last.value("succeeded").toInt(), 1);
    EXPECT_EQ(last.value("image_bytes").toInt(), 5792);
    EXPECT_EQ(last.value("sha256").toString().size(), 64);
}

// Each failed try that --retries repeats is one "attempt" event, before the device's result.
TEST_F(UploadCli, JsonReportsEachFailedTryAsAnAttempt) {
    Simulator device({"--no-answer-after", "0"}, dir_);
    ASSERT_FALSE(device.Port().empty());
    const auto result = Upload(device.Port(), {"--json", "--retries", "1", "--ack-timeout", "300"});
    EXPECT_EQ(result.exitCode, 1) << result.err;
    const auto events = ParseJsonLines(result.out);
    ASSERT_GE(events.size(), 3u) << result.out;
    std::vector<QJsonObject> attempts;
    for (const auto& event : events) {
        if (event.value("event").toString() == "attempt") {
            attempts.push_back(event);
        }
    }
    ASSERT_EQ(attempts.size(), 1u) << result.out;
    EXPECT_EQ(attempts[0].value("attempt").toInt(), 1);
    EXPECT_EQ(attempts[0].value("attempts").toInt(), 2);
    EXPECT_EQ(attempts[0].value("pause_ms").toInt(), 1000);
    EXPECT_EQ(attempts[0].value("message").toString(), "Web Server Update ERROR!");
    EXPECT_EQ(attempts[0].value("cause").toString(), "frame 1 of 13: no answer within 300 ms");
    const auto& deviceResult = events[events.size() - 2];
    EXPECT_EQ(deviceResult.value("event").toString(), "device_result");
    EXPECT_EQ(deviceResult.value("attempts").toInt(), 2);
    EXPECT_FALSE(events.back().value("ok").toBool());
}

// The image file of `pack -o` goes out byte for byte, from a path or from standard input, and
// what `list` refuses (or what exceeds --max-rom) is refused before any connection.
TEST_F(UploadCli, ImageFilesAreSentExactlyOrRefusedBeforeConnecting) {
    VELLUMIX_SKIP_ON_WINDOWS("Windows has no FIFOs");
#ifndef _WIN32
    const std::string packed = (dir_.path() / "web.img").string();
    ASSERT_EQ(RunProcess({CliPath(), "pack", (ExamplesPath() / "web").string(), "-o", packed,
                          "--ini", ini_})
                  .exitCode,
              0);
    const std::string image = ReadFile(packed);
    std::string duplicate = image;  // the second entry's name made equal to the first's
    std::copy(duplicate.begin(), duplicate.begin() + 24, duplicate.begin() + 32);
    const std::string twice = dir_.Write("twice.img", duplicate).string();
    const std::string cut = dir_.Write("cut.img", image.substr(0, 100)).string();
    const std::string zeros = dir_.Write("zeros.img", std::string(196608, '\0')).string();
    const std::string fifo = (dir_.path() / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    struct Case {
        const char* what;
        std::string source;
        std::string input;
        std::vector<std::string> extra;
        int exitCode;
        std::string err;  // start of stderr
    };
    const Case cases[] = {
        {"a file", packed, "", {}, 0, ""},
        {"standard input", "-", image, {}, 0, ""},
        {"malformed", cut, "", {}, 1, "upload: malformed image " + cut + ": directory"},
        {"duplicate names", twice, "", {}, 1, "upload: image " + twice + " cannot be extracted"},
        {"no file", zeros, "", {}, 1, "upload: malformed image " + zeros + ": no file in"},
        {"larger than --max-rom",
         packed,
         "",
         {"--max-rom", "4"},
         1,
         "upload: image " + packed + " is larger than the device's capacity: 5792 bytes"},
        {"a FIFO", fifo, "", {}, 1, "upload: " + fifo + ": not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Simulator device({}, dir_);
        ASSERT_FALSE(device.Port().empty());
        std::vector<std::string> args = {CliPath(),   "upload", c.source,      "--device",
                                         "127.0.0.1", "--port", device.Port(), "--ini",
                                         ini_,        "--json"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const auto result = RunProcess(args, c.input, {}, kUploadMs);
        EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
        EXPECT_EQ(result.err.rfind(c.err, 0), 0u) << result.err;
        const auto events = ParseJsonLines(result.out);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back().value("ok").toBool(), c.exitCode == 0);
        if (c.exitCode == 0) {
            EXPECT_EQ(device.Process().WaitForExit(kStartMs), 0);
            EXPECT_EQ(ReadFile(device.ImagePath()), image);
            EXPECT_EQ(
                events.back().value("sha256"),
                ParseJsonLines(RunProcess({CliPath(), "pack", (ExamplesPath() / "web").string(),
                                           "--ini", ini_, "--json"})
                                   .out)
                    .back()
                    .value("sha256"));
        } else {
            EXPECT_FALSE(events.back().value("message").toString().isEmpty());
            EXPECT_FALSE(device.Process().WaitForOutput("connection from", 200));
        }
    }
#endif
}

// upload - read up to 256 MiB of standard input before refusing an image larger than R.
TEST_F(UploadCli, StandardInputIsReadNoFurtherThanTheCapacity) {
    VELLUMIX_SKIP_ON_WINDOWS("needs a POSIX shell");
    const auto result = RunProcess({"/bin/sh", "-c", "\"$0\" \"$@\"; wc -c | tr -d ' '", CliPath(),
                                    "upload", "-", "--dry-run", "--max-rom", "4", "--ini", ini_},
                                   std::string(10000, 'x'));
    EXPECT_EQ(result.err,
              "upload: image standard input is larger than the device's capacity: more than "
              "4096 bytes (--max-rom)\n");
    EXPECT_EQ(result.out, std::to_string(10000 - 4097) + "\n");  // left unread
}

// -q prints nothing on success; -v every step of the connection.
TEST_F(UploadCli, QuietPrintsNothingAndVerboseEveryStep) {
    for (const char* level : {"-q", "-v"}) {
        SCOPED_TRACE(level);
        Simulator device({}, dir_);
        ASSERT_FALSE(device.Port().empty());
        const auto result =
            RunProcess({CliPath(), level, "upload", (ExamplesPath() / "web").string(), "--device",
                        "127.0.0.1", "--port", device.Port(), "--ini", ini_},
                       "", {}, kUploadMs);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.err, "");
        if (std::string(level) == "-q") {
            EXPECT_EQ(result.out, "");
        } else {
            for (const std::string& step : std::vector<std::string>{
                     "image sha256: ", "\nconnect to 127.0.0.1:" + device.Port() + "\nconnected\n",
                     "\nframe 1 of 13 sent (13 bytes)\n", "\nframe 1 acknowledged\n",
                     "\nframe 13 of 13 sent (672 bytes)\n", "\nWeb Server Update OK!\n"}) {
                EXPECT_NE(result.out.find(step), std::string::npos) << step << result.out;
            }
        }
    }
}

TEST_F(UploadCli, DryRunReportsWithoutConnectingAndDeviceIsRequiredOtherwise) {
    const auto dry = RunProcess(
        {CliPath(), "upload", (ExamplesPath() / "web").string(), "--dry-run", "--ini", ini_});
    EXPECT_EQ(dry.exitCode, 0) << dry.err;
    EXPECT_NE(dry.out.find("entries: 6 of 40"), std::string::npos) << dry.out;

    const auto missing =
        RunProcess({CliPath(), "upload", (ExamplesPath() / "web").string(), "--ini", ini_});
    EXPECT_EQ(missing.exitCode, 2);
}

TEST_F(UploadCli, DiagnosticListenerSeesEveryFrameAndReply) {
    const std::string runtime = (dir_.path() / "run").string();
    std::filesystem::create_directories(runtime);
    BackgroundProcess listener({CliPath(), "log"}, PrivateLogPipe(runtime));
    ASSERT_TRUE(listener.WaitForOutput("\n", kStartMs)) << listener.Output();

    Simulator device({}, dir_);
    ASSERT_FALSE(device.Port().empty());
    std::vector<std::string> args = {CliPath(),     "upload",    (ExamplesPath() / "web").string(),
                                     "--device",    "127.0.0.1", "--port",
                                     device.Port(), "--ini",     ini_};
    const auto result = RunProcess(args, "", PrivateLogPipe(runtime), kUploadMs);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    ASSERT_TRUE(listener.WaitForOutput("Socket::Close(index=0)", kStartMs)) << listener.Output();
    const std::string log = listener.Output();
    EXPECT_NE(log.find("socket Write 13: 4B 58 48 54 4D 4C 55 50 47 52 41 44 45 \n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("socket Write 02: 00 04 \n"), std::string::npos);
    EXPECT_NE(log.find("socket Read  02: 4F 4B \n"), std::string::npos);
    std::size_t writes = 0;
    for (std::size_t at = 0; (at = log.find("socket Write ", at)) != std::string::npos; ++at) {
        ++writes;
    }
    EXPECT_EQ(writes, 13u);
}

}  // namespace

#ifdef VELLUMIX_TEST_LEDGER
namespace {

// Ledgers that cannot be written: the upload goes on with one warning, and the file is left
// exactly as it was; --require-ledger refuses before any connection.
TEST_F(UploadCli, UnwritableLedgerWarnsAndTheUploadGoesOn) {
    const std::string garbage(4096, '\x5a');
    const std::string corrupt = dir_.Write("corrupt.sqlite", garbage).string();
    const std::string newer = (dir_.path() / "newer.sqlite").string();
    const std::string locked = (dir_.path() / "locked.sqlite").string();
    const std::string readOnly = (dir_.path() / "read-only.sqlite").string();
    ASSERT_FALSE(ledger::Ledger().Open(readOnly, ledger::Ledger::Access::kRecord));
    std::filesystem::permissions(readOnly, std::filesystem::perms::owner_read);
    const bool readOnlyBinds = !std::ofstream(readOnly, std::ios::app);  // not for root
    sqlite3* newerDb = nullptr;
    ASSERT_EQ(sqlite3_open(newer.c_str(), &newerDb), SQLITE_OK);
    sqlite3_exec(newerDb, "PRAGMA user_version=99", nullptr, nullptr, nullptr);
    sqlite3_close(newerDb);
    // A ledger whose write lock this test's process holds throughout, as another program would.
    {
        ledger::Ledger book;
        ASSERT_FALSE(book.Open(locked, ledger::Ledger::Access::kRecord));
    }
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(locked.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE; INSERT INTO images VALUES ('x', 0, 0);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    struct Case {
        const char* what;
        std::string file;
        const char* reason;
    };
    std::vector<Case> cases = {
        {"corrupt", corrupt, "file is not a database (the file is left as it is)"},
        {"a folder", dir_.path().string(), "not a regular file"},
        {"newer schema", newer, "written by a newer Vellumix (schema 99"},
        {"locked by another process", locked, "database is locked"},
    };
    if (readOnlyBinds) {
        cases.push_back({"read-only", readOnly, "the file is read-only"});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // Closing any descriptor of the locked file would drop this process's locks on it.
        const bool compare = c.file != locked;
        const std::string before = compare ? ReadFile(c.file) : "";
        for (const bool required : {false, true}) {
            Simulator device({}, dir_);
            ASSERT_FALSE(device.Port().empty());
            std::vector<std::string> args = {
                CliPath(),     "upload",    (ExamplesPath() / "web").string(),
                "--device",    "127.0.0.1", "--port",
                device.Port(), "--ini",     ini_,
                "--ledger",    c.file,      "-q"};
            if (required) {
                args.push_back("--require-ledger");
            }
            const auto result = RunProcess(args, "", {}, kUploadMs);
            const std::string warning = "vellumix-cli: ledger " + c.file + ": " + c.reason;
            EXPECT_EQ(result.err.rfind(warning, 0), 0u) << result.err;
            if (required) {
                EXPECT_EQ(result.exitCode, 1);
                EXPECT_NE(result.err.find("; --require-ledger: nothing is uploaded unrecorded\n"),
                          std::string::npos)
                    << result.err;
                EXPECT_FALSE(device.Process().WaitForOutput("connection from", 200));
            } else {
                EXPECT_EQ(result.exitCode, 0) << result.err;
                EXPECT_NE(result.err.find("; this upload is not recorded\n"), std::string::npos);
                EXPECT_EQ(device.Process().WaitForExit(kStartMs), 0);
            }
        }
        EXPECT_TRUE(!compare || ReadFile(c.file) == before) << "the file was changed";
    }
    sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    std::filesystem::permissions(readOnly, std::filesystem::perms::owner_all);  // removable
}

}  // namespace
#endif
