#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The system's TCP socket calls (IPv4), one function a call, with what differs between POSIX
// sockets and Winsock kept here: an interrupted call is retried, "would block" is one value,
// and a failure is an errno value on both systems plus the system's own words for it.
//
// A socket is an int, -1 for none: a POSIX descriptor, or a Winsock handle (a kernel handle
// value, which the system keeps within 32 bits). Every socket made here is non-blocking and is
// not handed to child processes. Addresses and ports are in host order.

namespace platform {

// Why a socket call failed: `number` is the errno value (Winsock's codes are mapped onto the
// POSIX ones, so callers see the same numbers on both systems), `code` the system's own code.
// Both 0: no failure. A call that fails sets its `error`; one that succeeds leaves it alone.
struct SocketError {
    int number = 0;
    int code = 0;
};

// What SocketConnect, SocketSend, SocketReceive and SocketPeek return besides a count; `error`
// is set for both.
inline constexpr int kSocketFailed = -1;
inline constexpr int kSocketWouldBlock = -2;  // nothing to take, no room, or a connect going on

// Starts the process's socket layer before any socket exists. False when it cannot be started;
// POSIX sockets need no start-up, so there it always succeeds.
bool SocketLayerStartup();

// A new TCP socket; -1 with `error` when the system refuses (EMFILE: no descriptor left).
int SocketOpen(SocketError& error);
void SocketClose(int socket);
bool SocketBind(int socket, std::uint32_t address, int port, SocketError& error);
bool SocketListen(int socket, int backlog, SocketError& error);
// A connection waiting on a listening socket, as a socket of its own; -1 with `error`.
int SocketAccept(int socket, SocketError& error);
// Starts a connect: 0 when connected at once, kSocketWouldBlock while it goes on (its end is
// awaited with SocketWaitWritable, its outcome read with SocketPendingError), kSocketFailed.
int SocketConnect(int socket, std::uint32_t address, int port, SocketError& error);
// The bytes taken (1 or more, at most 2^30 a call), 0 when none were taken without a reason,
// kSocketWouldBlock or kSocketFailed. Never raises a signal for a closed peer.
int SocketSend(int socket, const void* data, std::size_t length, SocketError& error);
// The bytes read, 0 when the peer has closed, kSocketWouldBlock or kSocketFailed.
int SocketReceive(int socket, void* buffer, int length, SocketError& error);
// Whether a byte waits, leaving it there: 1, 0 when the peer has closed, kSocketWouldBlock or
// kSocketFailed.
int SocketPeek(int socket, SocketError& error);
// The outcome of a connect that has ended: no failure when it connected, else its reason (or
// the reason it cannot be read).
SocketError SocketPendingError(int socket);
// The bound local port, 0 when unknown.
int SocketLocalPort(int socket);
bool SocketSetSendBuffer(int socket, int bytes);
// Turns Nagle's algorithm off: each send goes out as it is, not held back to be merged with the
// next one. False when the system refuses.
bool SocketSetNoDelay(int socket);
// Makes the next close of `socket` (a system socket, as Qt's socketDescriptor() gives it) reset
// the connection instead of ending it in order (linger on, time 0). False when the system
// refuses.
bool SetAbortiveClose(std::intptr_t socket);
// Readies a socket (a system socket) that is about to be bound for listening, so that it may bind
// while connections of an earlier listener on its port wait out TIME_WAIT, and never onto an
// address and port another socket listens on. False when the system refuses.
bool PrepareListeningSocket(std::intptr_t socket);

// What SocketWaitWritable waits for.
enum class SocketWaitFor { kConnectEnd, kRoomToSend };
enum class SocketWaitResult {
    kTimedOut,
    kReady,   // writable, or a connect has ended (SocketPendingError tells how)
    kHungUp,  // the peer hung up or reset while we waited for room (POSIX only: Winsock
              // reports the socket writable and the send that follows fails)
    kFailed,  // `error` says why
};
// Waits at most `timeoutMs` (0: looks once) for `what`.
SocketWaitResult SocketWaitWritable(int socket, SocketWaitFor what, int timeoutMs,
                                    SocketError& error);
// How often a connect going on should be looked at with SocketWaitWritable besides its
// notifier, 0 for never: Wine does not always post the connect event of a refused connection.
int SocketConnectPollMs();

// The IPv4 address of a dotted address ("192.168.0.10", "192.168.000.010" alike: see
// transfer::ReadIpv4Text); false when `text` is not one.
bool ParseDottedAddress(const char* text, std::uint32_t& address);
// "A.B.C.D" for an IPv4 address, as failure texts show it.
std::string DottedAddressText(std::uint32_t address);
// "21 s" for whole seconds, else "1500 ms", as failure texts give a time-out.
std::string DurationText(int milliseconds);
// The first IPv4 address of a dotted address or a host name; false with the resolver's reason
// ("no IPv4 address" when it found none), or why a number is no address: only names go to the
// resolver.
bool LookUpHostAddress(const std::string& name, std::uint32_t& address, std::string& reason);

// The system's own words for a failure: strerror on POSIX, Winsock's text on Windows.
std::string SocketSystemText(const SocketError& error);
// The words for an errno value of these calls, the same on both systems ("Connection refused"):
// the Windows C library knows no socket errors.
std::string SocketErrnoText(int number);

}  // namespace platform
