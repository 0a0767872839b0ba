// Uploads one image (examples/web) with vellumix-cli to 1 device and then to 1000 devices at
// once, each a simulated device (vellumix-cli device) on its own loopback address
// (127.0.1.1 to 127.0.4.232), and prints the ratio of the two wall times and the peak resident
// memory of the 1000-device upload. Targets: a ratio of at most 1.1, with the per-device pacing
// unchanged (both runs send one frame per 150 ms tick), and under 64 MiB.
//
// Usage: multi_device_bench [PATH-TO-vellumix-cli [WEB-FOLDER [DEVICES]]]   (about 30 s)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include "bench_support.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMostDevices = 1000;
constexpr int kRounds = 3;
constexpr double kTargetRatio = 1.1;
constexpr long kTargetPeakKiB = 64 * 1024;
constexpr int kStartMs = 30000;
constexpr int kRunMs = 120000;
constexpr int kFirstHost = (127 << 24) | (1 << 8) | 1;  // 127.0.1.1

std::string Dotted(int address) {
    return std::to_string((address >> 24) & 255) + "." + std::to_string((address >> 16) & 255) +
           "." + std::to_string((address >> 8) & 255) + "." + std::to_string(address & 255);
}

// Addresses 127.0.1.1 onwards (1000 of them end at 127.0.4.232); all of 127/8 is this host.
std::vector<std::string> DeviceHosts(int count) {
    std::vector<std::string> hosts;
    for (int i = 0; i < count; ++i) {
        hosts.push_back(Dotted(kFirstHost + i));
    }
    return hosts;
}

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Waits at most timeoutMs for the child; its exit code, or -1 (then it is killed). Its peak
// resident memory in KiB goes to `peakKiB` when asked.
int WaitFor(pid_t child, int timeoutMs, long* peakKiB = nullptr) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        int status = 0;
        rusage usage{};
        if (wait4(child, &status, WNOHANG, &usage) == child) {
            if (peakKiB != nullptr) {
                *peakKiB = usage.ru_maxrss;
            }
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return -1;
}

// A simulator on the given --listen or --listen-range; its port once all addresses listen.
struct Simulator {
    pid_t pid = -1;
    std::string port;

    Simulator(const std::string& cli, const std::string& option, const std::string& addresses,
              int count, const std::filesystem::path& log) {
        pid = bench::Spawn({cli, "device", "--once", option, addresses, "--port", "0"}, log, true);
        const auto deadline = Clock::now() + std::chrono::milliseconds(kStartMs);
        while (pid > 0 && Clock::now() < deadline) {
            const std::string text = ReadAll(log);
            int listening = 0;
            for (std::size_t at = 0; (at = text.find("listening on", at)) != std::string::npos;
                 ++at) {
                ++listening;
            }
            std::smatch match;
            if (listening >= count &&
                std::regex_search(text, match, std::regex("listening on [0-9.]+:(\\d+)"))) {
                port = match[1];
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~Simulator() {
        if (pid > 0 && WaitFor(pid, kStartMs) < 0) {
            std::fprintf(stderr, "simulator did not end by itself\n");
        }
    }
};

// Wall time of one vellumix-cli upload in ms, or a negative value when it failed.
double TimeUpload(const std::string& cli, std::vector<std::string> args,
                  const std::filesystem::path& log, long& peakKiB) {
    args.insert(args.begin(), {cli, "upload"});
    const auto started = Clock::now();
    const pid_t child = bench::Spawn(args, log, true);
    const int exitCode = child > 0 ? WaitFor(child, kRunMs, &peakKiB) : -1;
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
    return exitCode == 0 ? ms : -1.0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string cli = argc > 1 ? argv[1] : VELLUMIX_CLI_PATH;
    const std::filesystem::path web =
        argc > 2 ? std::filesystem::path(argv[2])
                 : std::filesystem::path(__FILE__).parent_path().parent_path() / "examples" / "web";
    const auto folder = bench::MakeWorkFolder("multi-device-bench");
    const std::string ini = (folder / "Vellumix.ini").string();
    const int deviceCount = std::clamp(argc > 3 ? std::atoi(argv[3]) : kMostDevices, 2, 60000);
    const std::vector<std::string> hosts = DeviceHosts(deviceCount);
    const std::string range = hosts.front() + "-" + hosts.back();
    // The simulator and the upload each need a descriptor per device (both raise their own soft
    // limit to the hard one at start).
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_max != RLIM_INFINITY &&
        files.rlim_max < static_cast<rlim_t>(2 * deviceCount + 64)) {
        std::fprintf(stderr, "the open-file limit (%llu) is too low for %d devices\n",
                     static_cast<unsigned long long>(files.rlim_max), deviceCount);
        return 1;
    }

    std::vector<double> ratios;
    std::vector<long> peaks;
    bool ok = true;
    for (int round = 1; round <= kRounds && ok; ++round) {
        double oneMs = -1.0;
        {
            Simulator device(cli, "--listen", "127.0.0.1", 1, folder / "one-device.log");
            long onePeakKiB = 0;
            oneMs = TimeUpload(cli,
                               {web.string(), "--ini", ini, "--device", "127.0.0.1:" + device.port},
                               folder / "one-upload.log", onePeakKiB);
        }
        double manyMs = -1.0;
        long peakKiB = 0;
        {
            Simulator devices(cli, "--listen-range", range, deviceCount, folder / "devices.log");
            std::ofstream list(folder / "devices.txt");
            for (const auto& host : hosts) {
                list << host << ":" << devices.port << "\n";
            }
            list.close();
            manyMs = TimeUpload(
                cli, {web.string(), "--ini", ini, "--devices", (folder / "devices.txt").string()},
                folder / "many-upload.log", peakKiB);
        }
        if (oneMs < 0 || manyMs < 0) {
            std::fprintf(stderr, "round %d: an upload failed; logs in %s\n", round, folder.c_str());
            ok = false;
            break;
        }
        ratios.push_back(manyMs / oneMs);
        peaks.push_back(peakKiB);
        std::printf("round %d: 1 device %.0f ms, %d devices %.0f ms, ratio %.3f, peak %.1f MiB\n",
                    round, oneMs, deviceCount, manyMs, manyMs / oneMs, peakKiB / 1024.0);
        std::fflush(stdout);
    }
    if (!ok) {
        return 1;
    }
    std::filesystem::remove_all(folder);
    std::sort(ratios.begin(), ratios.end());
    const double median = ratios[ratios.size() / 2];
    const long peak = *std::max_element(peaks.begin(), peaks.end());
    std::printf(
        "median ratio (time for %d devices / time for 1 device): %.3f, target <= %.2f: %s\n",
        deviceCount, median, kTargetRatio, median <= kTargetRatio ? "met" : "NOT MET");
    std::printf("peak resident memory of the %d-device upload: %.1f MiB, target < %ld MiB: %s\n",
                deviceCount, peak / 1024.0, kTargetPeakKiB / 1024,
                peak < kTargetPeakKiB ? "met" : "NOT MET");
    return median <= kTargetRatio && peak < kTargetPeakKiB ? 0 : 1;
}
