#pragma once

#include <cerrno>
#include <cstring>
#include <string>

#include <winsock2.h>

namespace platform {

// Winsock's error codes as the errno values the POSIX build reports, so that callers see the
// same numbers on both systems.
inline int ErrnoOf(int wsaError) {
    switch (wsaError) {
        case 0:
            return 0;
        case WSAEINTR:
            return EINTR;
        case WSAEWOULDBLOCK:
            return EWOULDBLOCK;
        case WSAEINPROGRESS:
        case WSAEALREADY:
            return EINPROGRESS;
        case WSAETIMEDOUT:
            return ETIMEDOUT;
        case WSAECONNREFUSED:
            return ECONNREFUSED;
        case WSAECONNRESET:
            return ECONNRESET;
        case WSAECONNABORTED:
            return ECONNABORTED;
        case WSAENETUNREACH:
        case WSAENETDOWN:
            return ENETUNREACH;
        case WSAEHOSTUNREACH:
            return EHOSTUNREACH;
        case WSAEADDRINUSE:
            return EADDRINUSE;
        case WSAEADDRNOTAVAIL:
            return EADDRNOTAVAIL;
        case WSAENOTCONN:
            return ENOTCONN;
        case WSAESHUTDOWN:
            return EPIPE;
        case WSAENOTSOCK:
            return EBADF;
        case WSAEINVAL:
        case WSAEFAULT:
            return EINVAL;
        default:
            return EIO;
    }
}

// The POSIX texts of the socket errno values above, which the Windows C library does not know
// ("Unknown error"), so that messages read the same on both systems; the C library's text
// for the rest.
inline std::string SocketErrnoText(int error) {
    switch (error) {
        case ECONNREFUSED:
            return "Connection refused";
        case ECONNRESET:
            return "Connection reset by peer";
        case ECONNABORTED:
            return "Software caused connection abort";
        case ETIMEDOUT:
            return "Connection timed out";
        case ENETUNREACH:
            return "Network is unreachable";
        case EHOSTUNREACH:
            return "No route to host";
        case EADDRINUSE:
            return "Address already in use";
        case EADDRNOTAVAIL:
            return "Cannot assign requested address";
        case ENOTCONN:
            return "Transport endpoint is not connected";
        case EPIPE:
            return "Broken pipe";
        case EWOULDBLOCK:
            return "Resource temporarily unavailable";
        case EINPROGRESS:
            return "Operation now in progress";
        case EISCONN:
            return "Transport endpoint is already connected";
        default:
            return std::strerror(error);
    }
}

}  // namespace platform
