#pragma once

#include <cstring>
#include <string>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace testing_support {

// A Unix-socket listener at `path` that takes connections into its queue but never accepts or
// reads until asked: the program's lines pile up in the connection.
class SilentListener {
  public:
    explicit SilentListener(const std::string& path) : path_(path) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        descriptor_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (bind(descriptor_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            listen(descriptor_, 4) != 0) {
            close(descriptor_);
            descriptor_ = -1;
        }
    }
    ~SilentListener() {
        if (descriptor_ >= 0) {
            close(descriptor_);
            unlink(path_.c_str());
        }
    }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    bool Listening() const { return descriptor_ >= 0; }

    // Accepts the waiting connection and reads everything it holds (the writer has gone).
    std::string TakeEverything() {
        const int client = accept4(descriptor_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0) {
            return {};
        }
        std::string bytes;
        char chunk[65536];
        for (ssize_t count; (count = recv(client, chunk, sizeof chunk, 0)) > 0;) {
            bytes.append(chunk, static_cast<std::size_t>(count));
        }
        close(client);
        return bytes;
    }

  private:
    std::string path_;
    int descriptor_ = -1;
};

}  // namespace testing_support
