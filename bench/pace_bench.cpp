// Times `vellumix-cli upload --pace MS` against the bundled simulator (`vellumix-cli device`) on
// 127.0.0.1, from the start of the upload process to its exit (image build included): a full
// 192 KiB image (385 frames) and examples/web, each with --pace 0 (several runs: min and
// median) and once at the contract's pace of 150 ms, beside it. Prints the share of the paced
// time that --pace 0 takes.
//
// Usage: pace_bench [--no-paced-full] [PATH-TO-vellumix-cli]
// (the paced 192 KiB run takes about one minute; --no-paced-full leaves it out)

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>

#include "bench_support.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kImageBytes = 196608;
constexpr int kDirectoryBytes = 40 * 32;
constexpr int kFastRuns = 7;
constexpr int kSimulatorStartMs = 10000;

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A simulator on a free port of 127.0.0.1, ended when this goes.
class Simulator {
  public:
    Simulator(const std::string& cli, const std::filesystem::path& output) {
        pid_ = bench::Spawn({cli, "device", "--port", "0"}, output, true);
        const std::regex listening("listening on 127\\.0\\.0\\.1:([0-9]+)");
        const auto deadline = Clock::now() + std::chrono::milliseconds(kSimulatorStartMs);
        while (pid_ > 0 && port_ == 0 && Clock::now() < deadline) {
            std::smatch match;
            const std::string said = ReadFile(output);
            if (std::regex_search(said, match, listening)) {
                port_ = std::stoi(match[1]);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
    }
    ~Simulator() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    int Port() const { return port_; }

  private:
    pid_t pid_ = -1;
    int port_ = 0;
};

// Milliseconds of one upload from start to exit; nullopt when it failed.
std::optional<double> TimeUpload(const std::string& cli, const std::filesystem::path& work,
                                 const std::string& folder, int paceMs) {
    Simulator simulator(cli, work / "device.txt");
    if (simulator.Port() == 0) {
        std::fprintf(stderr, "the simulator did not start:\n%s\n",
                     ReadFile(work / "device.txt").c_str());
        return std::nullopt;
    }
    const auto started = Clock::now();
    const pid_t child =
        bench::Spawn({cli, "-q", "upload", folder, "--device", "127.0.0.1", "--port",
                      std::to_string(simulator.Port()), "--pace", std::to_string(paceMs), "--ini",
                      (work / "Vellumix.ini").string()},
                     work / "upload.txt", true);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) {
        return std::nullopt;
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "upload of %s at --pace %d failed:\n%s\n", folder.c_str(), paceMs,
                     ReadFile(work / "upload.txt").c_str());
        return std::nullopt;
    }
    return ms;
}

struct Figures {
    double minMs = 0;
    double medianMs = 0;
};

std::optional<Figures> TimeRuns(const std::string& cli, const std::filesystem::path& work,
                                const std::string& folder, int paceMs, int runs) {
    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
        const auto ms = TimeUpload(cli, work, folder, paceMs);
        if (!ms) {
            return std::nullopt;
        }
        times.push_back(*ms);
    }
    std::sort(times.begin(), times.end());
    return Figures{times.front(), times[times.size() / 2]};
}

// One line: the --pace 0 figures, the paced one beside them, and the share.
bool Report(const char* name, const std::optional<Figures>& fast,
            const std::optional<Figures>& paced) {
    if (!fast) {
        std::printf("%-18s: --pace 0 FAILED\n", name);
        return false;
    }
    std::printf("%-18s: --pace 0 min %.1f ms, median %.1f ms (%d runs)", name, fast->minMs,
                fast->medianMs, kFastRuns);
    if (paced) {
        std::printf("; --pace 150 %.0f ms; share %.2f%%", paced->medianMs,
                    fast->medianMs / paced->medianMs * 100.0);
    }
    std::printf("\n");
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool pacedFull = true;
    std::string cli = VELLUMIX_CLI_PATH;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--no-paced-full") {
            pacedFull = false;
        } else {
            cli = argument;
        }
    }
    const auto work = bench::MakeWorkFolder("pace-bench");
    const auto full = work / "full";
    std::filesystem::create_directories(full);
    {
        // One file that fills the image exactly: 32 x 40 directory bytes + contents = 192 KiB.
        std::ofstream out(full / "big.bin", std::ios::binary);
        out << std::string(kImageBytes - kDirectoryBytes, 'x');
    }
    const std::string examples = std::string(VELLUMIX_SOURCE_DIR) + "/examples/web";

    const auto fullFast = TimeRuns(cli, work, full.string(), 0, kFastRuns);
    const auto examplesFast = TimeRuns(cli, work, examples, 0, kFastRuns);
    const auto examplesPaced = TimeRuns(cli, work, examples, 150, 1);
    const auto fullPaced =
        pacedFull ? TimeRuns(cli, work, full.string(), 150, 1) : std::optional<Figures>{};
    std::filesystem::remove_all(work);

    const bool fullOk = Report("192 KiB image", fullFast, fullPaced);
    const bool examplesOk = Report("examples/web", examplesFast, examplesPaced);
    return fullOk && examplesOk && (fullPaced || !pacedFull) && examplesPaced ? 0 : 1;
}
