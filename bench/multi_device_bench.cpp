// Uploads one image (examples/web) with vellumix-cli to 1 device and then to many at once
// (1000 and 10,000 by default), each a simulated device on its own loopback address (127.0.1.1
// onwards, all served by one simulator process, vellumix-cli device --listen-range), and prints
// per fleet size the ratio of its wall time to the one device's, the peak resident memory of the
// upload and the uploader's CPU time per frame sent (beyond what the one device's upload took,
// which is start-up, the image and the summary). Targets: a ratio of at most 1.05 for 1000
// devices and 1.5 for 10,000, with the per-device pacing unchanged (every run sends one frame per
// 150 ms tick); under 128 MiB at 10,000; under 20 us of CPU per frame.
//
// Usage: multi_device_bench [PATH-TO-vellumix-cli [WEB-FOLDER [COUNTS [ROUNDS]]]]
//   COUNTS: fleet sizes separated by commas (default 1000,10000); ROUNDS: runs per size (1).
//   Each round is printed; the targets are judged on the medians over the rounds (a single
//   round swings with whatever else the machine runs), which the last lines give.
//   VELLUMIX_BENCH_DEVICE_CLI: another vellumix-cli to run the simulator with (to time an
//   uploader whose simulator takes fewer addresses).
// Run it in a loopback-only namespace: unshare -n bash -c 'ip link set lo up; ...'.

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

constexpr double kTargetRatioAt1000 = 1.05;
constexpr double kTargetRatioAt10000 = 1.5;
constexpr long kTargetPeakKiB = 128 * 1024;
constexpr double kTargetCpuPerFrameUs = 20.0;
constexpr int kStartMs = 60000;
constexpr int kRunMs = 300000;
constexpr int kFirstHost = (127 << 24) | (1 << 8) | 1;  // 127.0.1.1

std::string Dotted(int address) {
    return std::to_string((address >> 24) & 255) + "." + std::to_string((address >> 16) & 255) +
           "." + std::to_string((address >> 8) & 255) + "." + std::to_string(address & 255);
}

// Addresses 127.0.1.1 onwards (1000 of them end at 127.0.4.232, 10,000 at 127.0.40.16); all of
// 127/8 is this host.
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

// What an upload process used.
struct Usage {
    long peakKiB = 0;
    double cpuSeconds = 0.0;  // user and system
};

// Waits at most timeoutMs for the child; its exit code, or -1 (then it is killed). What it used
// goes to `used` when asked.
int WaitFor(pid_t child, int timeoutMs, Usage* used = nullptr) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        int status = 0;
        rusage usage{};
        if (wait4(child, &status, WNOHANG, &usage) == child) {
            if (used != nullptr) {
                used->peakKiB = usage.ru_maxrss;
                used->cpuSeconds =
                    static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                    static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
            }
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return -1;
}

// The middle value (the mean of the two middle ones for an even count); sorts `values`.
double Median(std::vector<double>& values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
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
                  const std::filesystem::path& log, Usage& used) {
    args.insert(args.begin(), {cli, "upload"});
    const auto started = Clock::now();
    const pid_t child = bench::Spawn(args, log, true);
    const int exitCode = child > 0 ? WaitFor(child, kRunMs, &used) : -1;
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
    return exitCode == 0 ? ms : -1.0;
}

// Frames one upload sends, from the summary's "image sha256: ... (N bytes)"; 0 when not found.
long FramesPerDevice(const std::filesystem::path& log) {
    std::smatch match;
    const std::string text = ReadAll(log);
    if (!std::regex_search(text, match, std::regex("image sha256: [0-9a-f]+ \\((\\d+) bytes\\)"))) {
        return 0;
    }
    const long bytes = std::stol(match[1]);
    return 1 + 2 * ((bytes + 1023) / 1024);
}

struct Figures {
    int devices = 0;
    double ms = 0.0;
    Usage used;
    long frames = 0;
};

// One upload to `count` devices (1: 127.0.0.1) served by one simulator; ms < 0 when it failed.
Figures RunFleet(const std::string& cli, const std::string& deviceCli,
                 const std::filesystem::path& web, const std::filesystem::path& folder,
                 const std::string& ini, int count) {
    Figures figures;
    figures.devices = count;
    const std::string name = std::to_string(count);
    const std::vector<std::string> hosts =
        count == 1 ? std::vector<std::string>{"127.0.0.1"} : DeviceHosts(count);
    Simulator devices(deviceCli, count == 1 ? "--listen" : "--listen-range",
                      count == 1 ? hosts.front() : hosts.front() + "-" + hosts.back(), count,
                      folder / ("devices-" + name + ".log"));
    if (devices.port.empty()) {
        figures.ms = -1.0;
        return figures;
    }
    std::ofstream list(folder / "devices.txt");
    for (const auto& host : hosts) {
        list << host << ":" << devices.port << "\n";
    }
    list.close();
    const auto log = folder / ("upload-" + name + ".log");
    figures.ms = TimeUpload(
        cli, {web.string(), "--ini", ini, "--devices", (folder / "devices.txt").string()}, log,
        figures.used);
    figures.frames = FramesPerDevice(log) * count;
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string cli = argc > 1 ? argv[1] : VELLUMIX_CLI_PATH;
    const std::filesystem::path web =
        argc > 2 ? std::filesystem::path(argv[2])
                 : std::filesystem::path(__FILE__).parent_path().parent_path() / "examples" / "web";
    std::vector<int> counts;
    {
        std::stringstream list(argc > 3 ? argv[3] : "1000,10000");
        for (std::string item; std::getline(list, item, ',');) {
            counts.push_back(std::clamp(std::atoi(item.c_str()), 2, 60000));
        }
    }
    const int rounds = std::max(1, argc > 4 ? std::atoi(argv[4]) : 1);
    const char* otherDeviceCli = std::getenv("VELLUMIX_BENCH_DEVICE_CLI");
    const std::string deviceCli = otherDeviceCli != nullptr ? otherDeviceCli : cli;
    const auto folder = bench::MakeWorkFolder("multi-device-bench");
    const std::string ini = (folder / "Vellumix.ini").string();
    // The simulator needs a descriptor per device, two while it has enough (a listener and its
    // connection; short of them, an address stops listening while it serves); the upload one
    // per device (both raise their own soft limit to the hard one).
    const int most = *std::max_element(counts.begin(), counts.end());
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_max != RLIM_INFINITY &&
        files.rlim_max < static_cast<rlim_t>(most + 32)) {
        std::fprintf(stderr, "the open-file limit (%llu) is too low for %d devices\n",
                     static_cast<unsigned long long>(files.rlim_max), most);
        return 1;
    }

    // Per fleet size, each round's figures: a single round swings with the machine's other load.
    struct Rounds {
        std::vector<double> ratios;
        std::vector<double> cpuPerFrameUs;
        double largestPeakKiB = 0.0;
    };
    std::vector<Rounds> byCount(counts.size());
    for (int round = 1; round <= rounds; ++round) {
        const Figures one = RunFleet(cli, deviceCli, web, folder, ini, 1);
        if (one.ms < 0) {
            std::fprintf(stderr, "round %d: the upload to 1 device failed; logs in %s\n", round,
                         folder.c_str());
            return 1;
        }
        std::printf("round %d: 1 device %.0f ms, peak %.1f MiB, CPU %.2f s\n", round, one.ms,
                    one.used.peakKiB / 1024.0, one.used.cpuSeconds);
        for (std::size_t c = 0; c < counts.size(); ++c) {
            const int count = counts[c];
            const Figures many = RunFleet(cli, deviceCli, web, folder, ini, count);
            if (many.ms < 0) {
                std::fprintf(stderr, "round %d: the upload to %d devices failed; logs in %s\n",
                             round, count, folder.c_str());
                return 1;
            }
            const double ratio = many.ms / one.ms;
            // What one upload costs whatever its size (start, image, summary) is not per frame.
            const double cpuPerFrameUs = many.frames > one.frames
                                             ? (many.used.cpuSeconds - one.used.cpuSeconds) * 1e6 /
                                                   static_cast<double>(many.frames - one.frames)
                                             : 0.0;
            const double target =
                count <= 1000 ? kTargetRatioAt1000 : kTargetRatioAt10000;  // ~10,000
            const bool ratioMet = ratio <= target;
            const bool peakMet = count < 9000 || many.used.peakKiB < kTargetPeakKiB;
            const bool cpuMet = cpuPerFrameUs < kTargetCpuPerFrameUs;
            byCount[c].ratios.push_back(ratio);
            byCount[c].cpuPerFrameUs.push_back(cpuPerFrameUs);
            byCount[c].largestPeakKiB =
                std::max(byCount[c].largestPeakKiB, static_cast<double>(many.used.peakKiB));
            std::printf(
                "round %d: %d devices %.0f ms, ratio %.3f (target <= %.2f: %s), peak %.1f MiB%s, "
                "CPU %.2f s, %.1f us per frame beyond the one device's (target < %.0f: %s)\n",
                round, count, many.ms, ratio, target, ratioMet ? "met" : "NOT MET",
                many.used.peakKiB / 1024.0,
                count < 10000 ? ""
                              : (peakMet ? " (target < 128: met)" : " (target < 128: NOT MET)"),
                many.used.cpuSeconds, cpuPerFrameUs, kTargetCpuPerFrameUs,
                cpuMet ? "met" : "NOT MET");
            std::fflush(stdout);
        }
    }
    // The targets are judged on the medians over the rounds (and the largest peak).
    bool met = true;
    for (std::size_t c = 0; c < counts.size(); ++c) {
        const int count = counts[c];
        Rounds& figures = byCount[c];
        const double target = count <= 1000 ? kTargetRatioAt1000 : kTargetRatioAt10000;
        const double ratio = Median(figures.ratios);
        const double cpu = Median(figures.cpuPerFrameUs);
        const bool peakMet = count < 9000 || figures.largestPeakKiB < kTargetPeakKiB;
        met = met && ratio <= target && cpu < kTargetCpuPerFrameUs && peakMet;
        std::printf(
            "%d devices over %d rounds: median ratio %.3f (%.3f to %.3f; target <= %.2f: %s), "
            "median CPU %.1f us per frame (target < %.0f: %s), largest peak %.1f MiB%s\n",
            count, rounds, ratio, figures.ratios.front(), figures.ratios.back(), target,
            ratio <= target ? "met" : "NOT MET", cpu, kTargetCpuPerFrameUs,
            cpu < kTargetCpuPerFrameUs ? "met" : "NOT MET", figures.largestPeakKiB / 1024.0,
            count < 9000 ? "" : (peakMet ? " (target < 128: met)" : " (target < 128: NOT MET)"));
    }
    std::filesystem::remove_all(folder);
    return met ? 0 : 1;
}
