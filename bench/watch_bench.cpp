// Times `vellumix-cli upload FOLDER --watch` against the bundled simulator (`vellumix-cli
// device`) on 127.0.0.1: from a file saved in a copy of examples/web to the round that reports
// the controller's last OK (the 300 ms quiet window, the build and the upload included). Several
// saves with --pace 0 (min and median; the aim is under 500 ms), and beside them the same at
// the contract's pace of 150 ms.
//
// Usage: watch_bench [PATH-TO-vellumix-cli]

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>

#include "bench_support.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFastSaves = 7;
constexpr int kPacedSaves = 3;
constexpr int kStartMs = 10000;
constexpr int kRoundMs = 30000;
constexpr double kAimMs = 500.0;

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Waits (at most timeoutMs) until `file` holds a match of `pattern`.
bool WaitFor(const std::filesystem::path& file, const std::regex& pattern, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!std::regex_search(ReadFile(file), pattern)) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A child process, ended with `signal` when this goes.
class Child {
  public:
    Child(std::vector<std::string> args, const std::filesystem::path& output, int signal)
        : pid_(bench::Spawn(std::move(args), output, true)), signal_(signal) {}
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, signal_);
            waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Started() const { return pid_ > 0; }

  private:
    pid_t pid_;
    int signal_;
};

struct Figures {
    double minMs = 0;
    double medianMs = 0;
};

// The milliseconds from each of `saves` saves to its round's OK; nullopt when one failed.
std::optional<Figures> TimeSaves(const std::string& cli, const std::filesystem::path& work,
                                 int paceMs, int saves) {
    const auto web = work / ("web-" + std::to_string(paceMs));
    std::filesystem::copy(std::string(VELLUMIX_SOURCE_DIR) + "/examples/web", web,
                          std::filesystem::copy_options::recursive);
    const auto deviceOut = work / "device.txt";
    Child device({cli, "device", "--port", "0"}, deviceOut, SIGTERM);
    std::smatch match;
    const std::regex listening("listening on 127\\.0\\.0\\.1:([0-9]+)");
    if (!device.Started() || !WaitFor(deviceOut, listening, kStartMs)) {
        std::fprintf(stderr, "the simulator did not start:\n%s\n", ReadFile(deviceOut).c_str());
        return std::nullopt;
    }
    const std::string said = ReadFile(deviceOut);
    std::regex_search(said, match, listening);
    const auto watchOut = work / "watch.txt";
    Child watch({cli, "upload", web.string(), "--device", "127.0.0.1", "--port", match[1].str(),
                 "--pace", std::to_string(paceMs), "--watch", "--json", "--no-ledger", "--ini",
                 (work / "Vellumix.ini").string()},
                watchOut, SIGINT);
    std::vector<double> times;
    for (int round = 1; round <= saves + 1; ++round) {
        const auto saved = Clock::now();
        if (round > 1) {
            std::ofstream(web / "index.htm", std::ios::app) << "<p>" << round << "</p>\n";
        }
        const std::regex done("\"ok\":true[^\n]*\"round\":" + std::to_string(round) + "[,}]");
        if (!WaitFor(watchOut, done, kRoundMs)) {
            std::fprintf(stderr, "round %d at --pace %d did not end in OK:\n%s\n", round, paceMs,
                         ReadFile(watchOut).c_str());
            return std::nullopt;
        }
        if (round > 1) {
            times.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - saved).count());
        }
    }
    std::sort(times.begin(), times.end());
    return Figures{times.front(), times[times.size() / 2]};
}

}  // namespace

int main(int argc, char** argv) {
    const std::string cli = argc > 1 ? argv[1] : VELLUMIX_CLI_PATH;
    const auto work = bench::MakeWorkFolder("watch-bench");
    const auto fast = TimeSaves(cli, work, 0, kFastSaves);
    const auto paced = TimeSaves(cli, work, 150, kPacedSaves);
    std::filesystem::remove_all(work);
    if (!fast) {
        std::printf("save to OK (examples/web): --pace 0 FAILED\n");
        return 1;
    }
    std::printf(
        "save to OK (examples/web): --pace 0 min %.1f ms, median %.1f ms (%d saves, aim "
        "< %.0f ms)",
        fast->minMs, fast->medianMs, kFastSaves, kAimMs);
    if (paced) {
        std::printf("; --pace 150 median %.0f ms (%d saves)", paced->medianMs, kPacedSaves);
    }
    std::printf("\n");
    return paced && fast->medianMs < kAimMs ? 0 : 1;
}
