#include "platform/socket_layer.h"

#include <winsock2.h>

namespace platform {

// Windows Sockets 2.2, started once for the process and left running until it ends (the
// system releases it then).
bool SocketLayerStartup() {
    static const bool started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

}  // namespace platform
