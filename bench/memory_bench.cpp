// Peak resident memory of `vellumix-cli upload` against the targets: at most R + 32 MiB for an
// image of capacity R, and under 40 MiB for examples/web with --max-rom 65536 (R = 64 MiB).
// Each case runs vellumix-cli upload as a child against an in-process device on 127.0.0.1 and
// reads the child's peak RSS from wait4. A full image of 64 MiB would take hours to send at one
// frame per 150 ms tick; the peak comes once the image is built and its frames are queued,
// before the first frame goes out, so those cases stop the child after its first data frame.
//
// Usage: memory_bench [PATH-TO-vellumix-cli] [PATH-TO-examples/web]   (about half a minute)

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include "bench_support.h"

namespace {

constexpr double kMiB = 1024.0 * 1024.0;

struct Case {
    std::string label;
    std::string folder;
    int maxRomKiB = 0;
    double limitMiB = 0;
    bool stopAfterFirstBlock = false;
};

// A folder of files of 8 MiB (the last one shorter) that fills an image of `romKiB` KiB up to
// `spareBytes` bytes.
std::string MakeFullFolder(const std::filesystem::path& root, int romKiB, int spareBytes) {
    const std::filesystem::path folder = root / ("full-" + std::to_string(romKiB));
    std::filesystem::create_directories(folder);
    long long left = static_cast<long long>(romKiB) * 1024 - 40 * 32 - spareBytes;
    const std::string chunk(8 << 20, 'x');
    for (int i = 0; left > 0; ++i) {
        const long long size = std::min<long long>(left, static_cast<long long>(chunk.size()));
        std::ofstream out(folder / ("f" + std::to_string(i) + ".bin"), std::ios::binary);
        out.write(chunk.data(), static_cast<std::streamsize>(size));
        left -= size;
    }
    return folder.string();
}

// Runs one upload; prints and returns whether the peak stayed within the case's limit.
bool Run(const std::string& cli, const std::string& ini, const Case& c) {
    bench::LoopbackDevice device;
    if (!device.Listen()) {
        return false;
    }
    const pid_t child = bench::Spawn(
        {cli, "upload", c.folder, "--device", "127.0.0.1", "--port", std::to_string(device.Port()),
         "--ini", ini, "--max-rom", std::to_string(c.maxRomKiB)},
        "/dev/null", false);
    if (child < 0) {
        std::fprintf(stderr, "cannot start %s\n", cli.c_str());
        return false;
    }
    // With `stopAfterFirstBlock` the uploader is killed once the first data frame is in (the
    // frames are all built by then).
    int blocks = 0;
    std::thread server([&] {
        blocks = device.Serve([&](bench::Frame frame) {
            if (frame == bench::Frame::kData && c.stopAfterFirstBlock) {
                kill(child, SIGKILL);
                return false;
            }
            return true;
        });
    });
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    device.Stop();
    server.join();

    const double peakMiB = static_cast<double>(usage.ru_maxrss) * 1024.0 / kMiB;
    const bool sent =
        c.stopAfterFirstBlock ? blocks == 1 : WIFEXITED(status) && WEXITSTATUS(status) == 0;
    const bool ok = sent && peakMiB <= c.limitMiB;
    std::printf("%-44s peak RSS %7.1f MiB, target <= %6.1f MiB, %d blocks sent: %s\n",
                c.label.c_str(), peakMiB, c.limitMiB, blocks, ok ? "ok" : "MISSED");
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string cli = argc > 1 ? argv[1] : VELLUMIX_CLI_PATH;
    const std::filesystem::path examples =
        argc > 2 ? std::filesystem::path(argv[2])
                 : std::filesystem::path(VELLUMIX_CLI_PATH).parent_path() / "../../../examples/web";
    const auto work = bench::MakeWorkFolder("memory-bench");
    const std::string ini = (work / "Vellumix.ini").string();

    const std::vector<Case> cases = {
        {"examples/web, --max-rom 65536 (whole upload)", examples.string(), 65536, 40.0, false},
        {"full 16 MiB image, --max-rom 16384", MakeFullFolder(work, 16384, 100), 16384, 16 + 32.0,
         true},
        {"full 64 MiB image, --max-rom 65536", MakeFullFolder(work, 65536, 100), 65536, 64 + 32.0,
         true},
    };
    bool allOk = true;
    for (const Case& c : cases) {
        allOk = Run(cli, ini, c) && allOk;
    }
    std::filesystem::remove_all(work);
    return allOk ? 0 : 1;
}
