// vellumix-cli upload against the bundled simulator (vellumix-cli device) on 127.0.0.1. The
// listener prints each diagnostic line with a plain line feed.

#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

using testing_support::BackgroundProcess;
using testing_support::CliPath;
using testing_support::ExamplesPath;
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

struct FaultCase {
    const char* name;
    std::vector<std::string> deviceOptions;
};

void PrintTo(const FaultCase& faultCase, std::ostream* out) { *out << faultCase.name; }

class UploadCliFault : public UploadCli, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(UploadCliFault, DeviceMisbehavingEndsInUpdateError) {
    Simulator device(GetParam().deviceOptions, dir_);
    ASSERT_FALSE(device.Port().empty()) << device.Process().Output();
    const auto result = Upload(device.Port());
    EXPECT_EQ(result.exitCode, 1) << result.out;
    EXPECT_EQ(result.err, "Web Server Update ERROR!\n");
    EXPECT_EQ(result.out.find("Web Server Update OK!"), std::string::npos);
    EXPECT_NE(device.Process().WaitForExit(kStartMs), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Simulator, UploadCliFault,
    ::testing::Values(FaultCase{"NoAnswerToMagic", {"--no-answer-after", "0"}},
                      FaultCase{"NoAnswerToSecondBlock", {"--no-answer-after", "2"}},
                      FaultCase{"AnswerWithLineEnd", {"--answer", "OK\\r\\n"}},
                      FaultCase{"AnswerSplitInTwo", {"--split-answer"}},
                      FaultCase{"CloseAfterMagic", {"--close-after", "0"}},
                      FaultCase{"ResetAfterFirstBlock", {"--reset-after", "1"}}),
    [](const ::testing::TestParamInfo<FaultCase>& caseInfo) { return caseInfo.param.name; });

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
    EXPECT_EQ(result.err, "Socket Connect ERROR!\n");
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

TEST_F(UploadCli, JsonPrintsOneObjectPerStepAndOneResult) {
    Simulator device({}, dir_);
    ASSERT_FALSE(device.Port().empty());
    const auto result = Upload(device.Port(), {"--json"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = result.out.find('\n', start)) != std::string::npos;
         start = end + 1) {
        lines.push_back(result.out.substr(start, end - start));
    }
    ASSERT_EQ(lines.size(), 14u) << result.out;  // 13 frames taken, then the result
    EXPECT_EQ(lines[0].rfind("{\"estimated_ms_left\":1950,\"event\":\"progress\"", 0), 0u)
        << lines[0];
    EXPECT_NE(lines[12].find("\"frames_taken\":13"), std::string::npos);
    EXPECT_NE(lines[13].find("\"event\":\"result\""), std::string::npos);
    EXPECT_NE(lines[13].find("\"message\":\"Web Server Update OK!\""), std::string::npos);
    EXPECT_NE(lines[13].find("\"ok\":true"), std::string::npos);
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
    BackgroundProcess listener({CliPath(), "log"}, {{"XDG_RUNTIME_DIR", runtime}});
    ASSERT_TRUE(listener.WaitForOutput("\n", kStartMs)) << listener.Output();

    Simulator device({}, dir_);
    ASSERT_FALSE(device.Port().empty());
    std::vector<std::string> args = {CliPath(),     "upload",    (ExamplesPath() / "web").string(),
                                     "--device",    "127.0.0.1", "--port",
                                     device.Port(), "--ini",     ini_};
    const auto result = RunProcess(args, "", {{"XDG_RUNTIME_DIR", runtime}}, kUploadMs);
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
