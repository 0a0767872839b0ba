#pragma once

// A minimal blocking HTTP/1.0 client for tests: one request to 127.0.0.1, every wait bounded.

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testing_support {

struct HttpReply {
    int status = -1;  // -1: no complete reply within the time
    std::string contentType;
    std::string body;
};

// Sends `method path` to 127.0.0.1:port and reads the reply: the header, then the body by its
// Content-Length (or up to the end of the connection when there is none).
inline HttpReply HttpRequest(int port, const std::string& method, const std::string& path,
                             int timeoutMs = 5000) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto msLeft = [&] {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return left > 0 ? static_cast<int>(left) : 0;
    };
    HttpReply reply;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return reply;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string request =
        method + " " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size())) {
        close(fd);
        return reply;
    }
    std::string received;
    std::size_t headerEnd = std::string::npos;
    std::size_t wanted = std::string::npos;  // header + body, once known
    for (;;) {
        if (headerEnd == std::string::npos) {
            headerEnd = received.find("\r\n\r\n");
            if (headerEnd != std::string::npos) {
                const std::string header = received.substr(0, headerEnd);
                const auto length = header.find("\r\nContent-Length: ");
                if (length != std::string::npos) {
                    wanted =
                        headerEnd + 4 + std::strtoul(header.c_str() + length + 18, nullptr, 10);
                }
            }
        }
        if (wanted != std::string::npos && received.size() >= wanted) {
            break;
        }
        pollfd readable{fd, POLLIN, 0};
        if (poll(&readable, 1, msLeft()) <= 0) {
            close(fd);
            return reply;
        }
        char buffer[65536];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (headerEnd == std::string::npos || wanted != std::string::npos) {
                close(fd);
                return reply;  // ended before the reply was complete
            }
            break;  // no length given: the body runs to the end
        }
        received.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    if (received.rfind("HTTP/1.", 0) != 0 || received.size() < 12) {
        return reply;
    }
    const std::string header = received.substr(0, headerEnd);
    const auto type = header.find("\r\nContent-Type: ");
    if (type != std::string::npos) {
        const auto end = header.find("\r\n", type + 2);
        reply.contentType = header.substr(
            type + 16, end == std::string::npos ? std::string::npos : end - (type + 16));
    }
    reply.body = received.substr(
        headerEnd + 4, wanted == std::string::npos ? std::string::npos : wanted - (headerEnd + 4));
    reply.status = std::atoi(received.c_str() + 9);
    return reply;
}

inline HttpReply HttpGet(int port, const std::string& path, int timeoutMs = 5000) {
    return HttpRequest(port, "GET", path, timeoutMs);
}

}  // namespace testing_support
