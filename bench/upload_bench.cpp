// Uploads a full 192 KiB image (385 frames) with vellumix-cli to an in-process peer on
// 127.0.0.1 and reports the pacing: total time against the ideal of one frame per 150 ms tick
// plus the tick that finds the queue empty, the gaps between frames as the device sees them,
// and the uploader's CPU time over the run.
//
// Usage: upload_bench [PATH-TO-vellumix-cli]   (takes about one minute)

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kImageBytes = 196608;
constexpr int kDirectoryBytes = 40 * 32;
constexpr int kBlocks = kImageBytes / 1024;
constexpr int kFrames = 1 + 2 * kBlocks;
constexpr double kTickMs = 150.0;

bool ReadExactly(int fd, unsigned char* buffer, int count) {
    int got = 0;
    while (got < count) {
        const ssize_t n = recv(fd, buffer + got, static_cast<size_t>(count - got), 0);
        if (n <= 0) {
            return false;
        }
        got += static_cast<int>(n);
    }
    return true;
}

// A device that answers "OK" at once and notes when each frame was complete.
struct Peer {
    int listener = -1;
    int port = 0;
    std::vector<Clock::time_point> frameTimes;
    std::atomic<bool> done{false};

    bool Listen() {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener, 1) != 0) {
            return false;
        }
        socklen_t length = sizeof address;
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        return true;
    }

    void Serve() {
        const int fd = accept(listener, nullptr, nullptr);
        unsigned char buffer[1024];
        if (fd >= 0 && ReadExactly(fd, buffer, 13)) {
            frameTimes.push_back(Clock::now());
            send(fd, "OK", 2, MSG_NOSIGNAL);
            while (ReadExactly(fd, buffer, 2)) {
                frameTimes.push_back(Clock::now());
                const int n = buffer[0] | (buffer[1] << 8);
                if (n < 1 || n > 1024 || !ReadExactly(fd, buffer, n)) {
                    break;
                }
                frameTimes.push_back(Clock::now());
                send(fd, "OK", 2, MSG_NOSIGNAL);
            }
        }
        if (fd >= 0) {
            close(fd);
        }
        done = true;
    }
};

}  // namespace

int main(int argc, char** argv) {
    const std::string cli = argc > 1 ? argv[1] : VELLUMIX_CLI_PATH;
    const auto folder = std::filesystem::temp_directory_path() /
                        ("vellumix-upload-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder / "web");
    {
        // One file that fills the image exactly: 32 x 40 directory bytes + contents = 192 KiB.
        std::ofstream out(folder / "web" / "big.bin", std::ios::binary);
        std::string content(kImageBytes - kDirectoryBytes, 'x');
        out << content;
        std::ofstream ini(folder / "Vellumix.ini");
        ini << "[DEFAULT]\r\n";
    }

    Peer peer;
    if (!peer.Listen()) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1\n");
        return 1;
    }
    std::thread server([&peer] { peer.Serve(); });

    const std::string port = std::to_string(peer.port);
    const std::string web = (folder / "web").string();
    const std::string ini = (folder / "Vellumix.ini").string();
    std::vector<std::string> args = {cli,      "upload", web,     "--device", "127.0.0.1",
                                     "--port", port,     "--ini", ini};
    std::vector<char*> argvChild;
    for (auto& arg : args) {
        argvChild.push_back(arg.data());
    }
    argvChild.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const auto started = Clock::now();
    pid_t child = 0;
    if (posix_spawn(&child, cli.c_str(), &actions, nullptr, argvChild.data(), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", cli.c_str());
        return 1;
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const auto ended = Clock::now();
    server.join();
    close(peer.listener);
    std::filesystem::remove_all(folder);

    const double wallMs = std::chrono::duration<double, std::milli>(ended - started).count();
    const double cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
                         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    const double idealMs = (2.0 * kBlocks + 2.0) * kTickMs;

    std::vector<double> gaps;
    for (std::size_t i = 1; i < peer.frameTimes.size(); ++i) {
        gaps.push_back(
            std::chrono::duration<double, std::milli>(peer.frameTimes[i] - peer.frameTimes[i - 1])
                .count());
    }
    std::sort(gaps.begin(), gaps.end());

    const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::printf("upload result      : %s (exit %d)\n", ok ? "ok" : "FAILED",
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    std::printf("frames received    : %zu of %d\n", peer.frameTimes.size(), kFrames);
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
