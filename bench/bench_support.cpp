#include "bench_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <unistd.h>

extern char** environ;

namespace bench {

namespace {

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

}  // namespace

std::filesystem::path MakeWorkFolder(const std::string& name) {
    const auto folder = std::filesystem::temp_directory_path() /
                        ("vellumix-" + name + "-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "Vellumix.ini") << "[DEFAULT]\r\n";
    // The children record their uploads in a ledger of the run's own (one given by the caller
    // is kept), never in the user's: a fleet benchmark would add thousands of rows to it.
    setenv("VELLUMIX_LEDGER", (folder / "ledger.sqlite").c_str(), 0);
    return folder;
}

pid_t Spawn(std::vector<std::string> args, const std::filesystem::path& output, bool errorsToo) {
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (errorsToo) {
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    }
    pid_t child = -1;
    if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        child = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return child;
}

LoopbackDevice::~LoopbackDevice() {
    if (listener_ >= 0) {
        close(listener_);
    }
}

bool LoopbackDevice::Listen() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 1) != 0) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1\n");
        return false;
    }
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    return true;
}

int LoopbackDevice::Serve(const std::function<bool(Frame)>& taken) {
    const int fd = accept(listener_, nullptr, nullptr);
    int blocks = 0;
    unsigned char buffer[1024];
    if (fd >= 0 && ReadExactly(fd, buffer, 13) && taken(Frame::kLogin)) {
        send(fd, "OK", 2, MSG_NOSIGNAL);
        while (ReadExactly(fd, buffer, 2) && taken(Frame::kLength)) {
            const int n = buffer[0] | (buffer[1] << 8);
            if (n < 1 || n > 1024 || !ReadExactly(fd, buffer, n)) {
                break;
            }
            ++blocks;
            if (!taken(Frame::kData)) {
                break;
            }
            send(fd, "OK", 2, MSG_NOSIGNAL);
        }
    }
    if (fd >= 0) {
        close(fd);
    }
    return blocks;
}

void LoopbackDevice::Stop() {
    shutdown(listener_, SHUT_RDWR);
}

}  // namespace bench
