#pragma once

// The system's socket declarations, for the socket-call files only: Winsock on Windows, the BSD
// socket headers elsewhere. Both declare the address calls alike, so those live once, in
// socket_calls_common.cpp.

#include <cstdint>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace platform {

// The socket address of an IPv4 address and a port, both in host order.
sockaddr_in Ipv4SocketAddress(std::uint32_t address, int port);

}  // namespace platform
