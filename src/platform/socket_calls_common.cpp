#include "platform/socket_calls.h"
#include "platform/socket_system.h"
#include "transfer/ipv4_text.h"

// The address calls of the socket layer, which read the same with Winsock and POSIX sockets.
namespace platform {

sockaddr_in Ipv4SocketAddress(std::uint32_t address, int port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = htonl(address);
    result.sin_port = htons(static_cast<std::uint16_t>(port));
    return result;
}

std::string DottedAddressText(std::uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::string DurationText(int milliseconds) {
    return milliseconds % 1000 == 0 ? std::to_string(milliseconds / 1000) + " s"
                                    : std::to_string(milliseconds) + " ms";
}

bool ParseDottedAddress(const char* text, std::uint32_t& address) {
    const transfer::Ipv4Text read = transfer::ReadIpv4Text(text);
    if (read.kind != transfer::Ipv4Text::Kind::kAddress) {
        return false;
    }
    address = read.address;
    return true;
}

// Winsock's gai_strerror is its narrow gai_strerrorA here: this library is built without UNICODE.
bool LookUpHostAddress(const std::string& name, std::uint32_t& address, std::string& reason) {
    // The resolver would read a number by the C library's rules (127.1, a leading zero as
    // octal) and reach another host than the one meant: numbers never get there.
    const transfer::Ipv4Text read = transfer::ReadIpv4Text(name);
    if (read.kind == transfer::Ipv4Text::Kind::kAddress) {
        address = read.address;
        return true;
    }
    if (read.kind == transfer::Ipv4Text::Kind::kRefused) {
        reason = "not an IPv4 address (" + read.reason + ")";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int status = getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (status != 0 || found == nullptr) {
        reason = status != 0 ? gai_strerror(status) : "no IPv4 address";
        return false;
    }
    address = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(found);
    return true;
}

}  // namespace platform
