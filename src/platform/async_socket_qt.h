#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QSocketNotifier;

namespace platform {

struct SocketError;
enum class SocketWaitFor;

// Event mask bits of a socket, numbered as the original platform numbers them.
inline constexpr long kFdRead = 1;
inline constexpr long kFdWrite = 2;
inline constexpr long kFdOob = 4;
inline constexpr long kFdAccept = 8;
inline constexpr long kFdConnect = 16;
inline constexpr long kFdClose = 32;
inline constexpr long kFdAllEvents = 63;

inline constexpr int kSockStream = 1;    // the only socket type supported
inline constexpr int kSocketError = -1;  // what Send and Receive return on failure

// A blocking call wakes this often to call OnMessagePending.
inline constexpr int kBlockingWakeMs = 2000;
// A blocking call with a wait hook wakes at least this often to call it.
inline constexpr int kWaitHookPeriodMs = 100;
// How long a connection attempt may take before Connect gives up; the original platform's
// network stack gave up after about 21 s (three SYNs), Linux would wait two minutes.
inline constexpr int kConnectTimeoutMs = 21000;
// How long Send waits for the peer to take another byte before it fails. A device that stops
// reading while it still answers would otherwise hold the program in the send for ever (nothing
// else is handled meanwhile); one that reads takes a frame at once, so it never waits this long.
// As long as the device may take to answer a frame.
inline constexpr int kSendStallTimeoutMs = 3000;

// Whether a connection may be made to this IPv4 address (host order): false for 0.x.x.x (this
// host, which Linux would quietly connect to), for multicast 224-239.x.x.x and for the reserved
// 240-255.x.x.x, which holds the broadcast address 255.255.255.255.
bool IsUnicastHostAddress(std::uint32_t address);

// The IPv4 address (host order) of a dotted address or a host name; false when it does not
// resolve.
bool ResolveHostAddress(const std::string& text, std::uint32_t& address);
// The dotted address `text` resolves to, or `text` in lower case when it does not resolve: one
// name for a device however it was written (127.1, localhost, 127.0.0.1).
std::string ResolvedAddressText(const std::string& text);

// A TCP socket (IPv4) whose events are delivered on the thread's Qt event loop, with blocking
// Connect and Send that do NOT run that loop while they wait.
//
// Events, outside blocking calls:
//   - bytes waiting on a connected socket -> OnReceive(0); raised again after each Receive while
//     bytes remain (no further OnReceive until Receive has been called);
//   - the peer closed (0) or reset (errno) the connection -> OnClose(errorCode), once;
//   - a connection waits on a listening socket -> OnAccept(0); raised again after each Accept.
// Events are raised only when their bit is in the event mask given to Create.
//
// While Connect or Send waits, no Qt event of the thread (timer, posted event, socket
// notification, input) is handled: they stay queued until the call returns, and are then
// handled in their order. The wait wakes every kBlockingWakeMs to call OnMessagePending, which
// may CancelBlockingCall or Close, and, when a wait hook is set, at least every
// kWaitHookPeriodMs to call the hook, which repaints the owner's window.
//
// Every handler may delete the socket.
class AsyncSocket {
  public:
    AsyncSocket();
    // Closes a socket that is still open, without calling the virtual Close.
    virtual ~AsyncSocket();
    AsyncSocket(const AsyncSocket&) = delete;
    AsyncSocket& operator=(const AsyncSocket&) = delete;

    // Makes the socket and, when a port or an address is given, binds it (null address = any).
    // False when the socket is already open, the type is not kSockStream, the address is not a
    // dotted IPv4 address, or the system refuses; a failed bind closes through the virtual Close.
    bool Create(unsigned localPort = 0, int socketType = kSockStream, long eventMask = kFdAllEvents,
                const char* localAddress = nullptr);
    // Starts listening on a created socket. False on failure.
    bool Listen(int backlog = 5);
    // Takes one waiting connection into `connected`, which must not be open. False on failure.
    bool Accept(AsyncSocket& connected);
    // Blocking connect to a dotted IPv4 address or a host name. True once connected; false when
    // the name does not resolve, the address is not a unicast host address (no attempt is made),
    // the attempt is refused or fails, the connect time-out passes, or the call is cancelled.
    bool Connect(const std::string& address, int port);
    // Blocking send of all `length` bytes. Returns `length`, or kSocketError when a send fails,
    // the peer closes the connection while the call waits, the peer takes no byte for
    // kSendStallTimeoutMs (LastError ETIMEDOUT), or the call is cancelled.
    int Send(const void* data, int length);
    // One receive of at most `length` bytes without waiting. Returns the count, 0 when the peer
    // has closed, kSocketError on an error (also when no byte was waiting).
    int Receive(void* buffer, int length);
    // If open: cancels a blocking call in progress, stops the events and closes the socket.
    // Otherwise does nothing.
    virtual void Close();
    // Makes the blocking call in progress return failure at its next wake-up.
    void CancelBlockingCall();

    virtual void OnReceive(int errorCode);
    virtual void OnClose(int errorCode);
    virtual void OnAccept(int errorCode);
    // Called at every wake-up of a blocking call; the default does nothing and returns false.
    virtual bool OnMessagePending();

    bool IsOpen() const { return descriptor_ >= 0; }
    bool IsBlocking() const { return inBlockingCall_; }
    // Bound local port, 0 when unknown.
    int LocalPort() const;
    // errno of the last failed operation (EINTR after a cancelled blocking call).
    int LastError() const { return lastError_; }
    // Why the last operation failed, in words: the system's text for LastError, or what this
    // class found itself ("timed out after 21 s", "address 0.0.0.0 is not a unicast host
    // address", the resolver's reason for a name). Empty after a success.
    std::string LastErrorText() const;
    // Called at each wake-up of a blocking call (at least every kWaitHookPeriodMs while it
    // waits). It may paint and may Close this socket; it must not delete it, nor run the event
    // loop (that would let timer ticks, input and posted messages in). Empty: none.
    void SetWaitHook(std::function<void()> hook) { waitHook_ = std::move(hook); }
    // How long Connect waits for an answer (kConnectTimeoutMs unless changed); 0 or less keeps
    // the default.
    void SetConnectTimeoutMs(int milliseconds) {
        connectTimeoutMs_ = milliseconds > 0 ? milliseconds : kConnectTimeoutMs;
    }
    // Sets the system's send buffer of an open socket (tests that need a send to wait soon).
    // False when the socket is not open or the system refuses.
    bool SetSendBufferSize(int bytes);

  private:
    enum class WaitResult { kReady, kPeerClosed, kCancelled, kTimedOut, kFailed };

    void Attach(int descriptor, long eventMask);
    void Release();
    void WatchEvents();
    void ResumeEvents();
    void StopEvents();
    void DispatchEvent();
    WaitResult WaitFor(SocketWaitFor what, int timeoutMs);
    // Records a failure: errno `error`, and `text` when the system's text would not say it.
    void Fail(int error, std::string text = {});
    // Records the outcome of a socket call: its errno value and the system's own text, or
    // success when `error` holds none.
    void Fail(const SocketError& error);

    int descriptor_ = -1;
    long eventMask_ = 0;
    bool listening_ = false;
    bool connected_ = false;
    bool closeReported_ = false;
    bool inBlockingCall_ = false;
    bool cancelRequested_ = false;
    int lastError_ = 0;
    std::string lastErrorText_;  // overrides the system's text for lastError_ when set
    int connectTimeoutMs_ = kConnectTimeoutMs;
    std::function<void()> waitHook_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace platform
