// Uploads a full 192 KiB image (385 frames) with vellumix-cli to an in-process peer on
// 127.0.0.1 and reports the pacing: total time against the ideal of one frame per 150 ms tick
// plus the tick that finds the queue empty, the gaps between frames as the device sees them,
// and the uploader's CPU time over the run.
//
// Usage: upload_bench [PATH-TO-vellumix-cli]   (takes about one minute)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>

#include "bench_support.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kImageBytes = 196608;
constexpr int kDirectoryBytes = 40 * 32;
constexpr int kBlocks = kImageBytes / 1024;
constexpr int kFrames = 1 + 2 * kBlocks;
constexpr double kTickMs = 150.0;

}  // namespace

int main(int argc, char** argv) {
    const std::string cli = argc > 1 ? argv[1] : VELLUMIX_CLI_PATH;
    const auto folder = bench::MakeWorkFolder("upload-bench");
    std::filesystem::create_directories(folder / "web");
    {
        // One file that fills the image exactly: 32 x 40 directory bytes + contents = 192 KiB.
        std::ofstream out(folder / "web" / "big.bin", std::ios::binary);
        std::string content(kImageBytes - kDirectoryBytes, 'x');
        out << content;
    }

    bench::LoopbackDevice peer;
    if (!peer.Listen()) {
        return 1;
    }

    const auto started = Clock::now();
    const pid_t child =
        bench::Spawn({cli, "upload", (folder / "web").string(), "--device", "127.0.0.1", "--port",
                      std::to_string(peer.Port()), "--ini", (folder / "Vellumix.ini").string()},
                     "/dev/null", false);
    if (child < 0) {
        std::fprintf(stderr, "cannot start %s\n", cli.c_str());
        return 1;
    }
    // When each frame was whole, as the device saw it.
    std::vector<Clock::time_point> frameTimes;
    std::thread server([&] {
        peer.Serve([&frameTimes](bench::Frame) {
            frameTimes.push_back(Clock::now());
            return true;
        });
    });
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const auto ended = Clock::now();
    peer.Stop();
    server.join();
    std::filesystem::remove_all(folder);

    const double wallMs = std::chrono::duration<double, std::milli>(ended - started).count();
    const double cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
                         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    const double idealMs = (2.0 * kBlocks + 2.0) * kTickMs;

    std::vector<double> gaps;
    for (std::size_t i = 1; i < frameTimes.size(); ++i) {
        gaps.push_back(
            std::chrono::duration<double, std::milli>(frameTimes[i] - frameTimes[i - 1]).count());
    }
    std::sort(gaps.begin(), gaps.end());

    const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::printf("upload result      : %s (exit %d)\n", ok ? "ok" : "FAILED",
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    std::printf("frames received    : %zu of %d\n", frameTimes.size(), kFrames);
    std::printf("total time         : %.0f ms, ideal %.0f ms, off by %+.2f%%\n", wallMs, idealMs,
                (wallMs - idealMs) / idealMs * 100.0);
    if (!gaps.empty()) {
        std::printf("inter-frame gaps   : min %.1f ms, median %.1f ms, max %.1f ms\n", gaps.front(),
                    gaps[gaps.size() / 2], gaps.back());
    }
    std::printf("uploader CPU time  : %.0f ms = %.2f%% of the wall time\n", cpuMs,
                cpuMs / wallMs * 100.0);
    return ok ? 0 : 1;
}
