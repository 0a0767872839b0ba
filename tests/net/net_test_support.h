#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/message_window_qt.h"

class QLocalServer;
class QLocalSocket;

// Peers and helpers for the socket tests. Every wait has a deadline.
namespace net_testing {

inline constexpr int kWaitMs = 5000;  // generous bound for things that happen at once

// Tests that depend on what Wine's sockets and pipes do not model skip themselves there.
inline constexpr const char* kNoResetsUnderWine =
    "connection resets: under Wine an abortive close (SO_LINGER 0) arrives as an orderly end";

// Runs the Qt event loop until `done` or the deadline; returns done().
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = kWaitMs);
// Runs the Qt event loop for about `milliseconds`.
void Pump(int milliseconds);

// Sets an environment variable for the life of the object, then restores it.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::optional<std::string> previous_;
};

// Waits until `descriptor` is readable; false after `timeoutMs`.
bool WaitReadable(int descriptor, int timeoutMs);
// Reads what arrives on `descriptor` until `length` bytes came, the peer closed, or the time is
// up.
std::string ReadBytes(int descriptor, std::size_t length, int timeoutMs = kWaitMs);
// Reads whatever is waiting without blocking.
std::string ReadAvailable(int descriptor);
// True when the peer closed (EOF or reset) within the time, with nothing else arriving.
bool SeesEnd(int descriptor, int timeoutMs = kWaitMs);

// Leaves a socket file at `path` that nobody listens on (bound, then closed); on Windows a pipe
// name leaves nothing behind, so there is nothing to make.
bool MakeStaleSocketFile(const std::string& path);

// The diagnostic listener's stand-in: a raw Unix-domain listener, on Windows a named-pipe
// server.
class PipeCapture {
  public:
    explicit PipeCapture(const std::string& path, int backlog = 4);
    ~PipeCapture();
    PipeCapture(const PipeCapture&) = delete;
    PipeCapture& operator=(const PipeCapture&) = delete;

    bool Listening() const;
    // Takes the next client; false after the time.
    bool Accept(int timeoutMs = kWaitMs);
    // Reads until `text` has arrived in full (true) or the time is up (false); what was read is
    // kept for Take().
    bool WaitFor(const std::string& text, int timeoutMs = kWaitMs);
    // Everything read and not yet taken, plus whatever is waiting now; clears it.
    std::string Take();
    void CloseClient();
    // The client's bytes, bypassing what WaitFor kept: readable within the time; what is
    // waiting now; up to `length` bytes within the time; true when the client closed.
    bool ClientReadable(int timeoutMs);
    std::string ReadClient();
    std::string ReadClientBytes(std::size_t length, int timeoutMs = kWaitMs);
    bool ClientSeesEnd(int timeoutMs = kWaitMs);
#ifndef _WIN32
    int ClientDescriptor() const {
        return client_;
    }
#endif

  private:
    std::string path_;
#ifdef _WIN32
    std::unique_ptr<QLocalServer> server_;
    QLocalSocket* pipeClient_ = nullptr;
#else
    int listener_ = -1;
    int client_ = -1;
#endif
    std::string captured_;
};

// A raw TCP server on 127.0.0.1 standing in for the device.
class LoopbackPeer {
  public:
    // `receiveBuffer` > 0 shrinks the accepted connection's receive buffer.
    explicit LoopbackPeer(int backlog = 4, int receiveBuffer = 0);
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    int Port() const { return port_; }
    bool Accept(int timeoutMs = kWaitMs);
    bool Send(const std::string& bytes);
    std::string Read(std::size_t length, int timeoutMs = kWaitMs);
    // Closes the accepted connection: gracefully, or with a reset (SO_LINGER 0).
    void CloseConnection(bool reset = false);
    int ListenerDescriptor() const { return listener_; }
    int ConnectionDescriptor() const { return connection_; }

  private:
    int listener_ = -1;
    int connection_ = -1;
    int port_ = 0;
};

// A blocking raw TCP client to 127.0.0.1 with time-outs; -1 when it cannot connect.
int ConnectLoopback(int port, int timeoutMs = kWaitMs);
// A loopback port on which nothing listens (bound, then released).
int UnusedLoopbackPort();
// Closes with a reset (SO_LINGER 0).
void ResetAndClose(int descriptor);
// Closes a raw socket.
void CloseSocket(int descriptor);

// A message window that records every message and timer tick it is given.
struct RecordedMessage {
    unsigned message = 0;
    platform::WParam wParam = 0;
    platform::LParam lParam = 0;
};

class RecordingWindow {
  public:
    RecordingWindow();
    platform::MessageWindow& Window() { return window_; }
    const std::vector<RecordedMessage>& Messages() const { return messages_; }
    const std::vector<unsigned>& Ticks() const { return ticks_; }
    // Called inside the handler before recording, e.g. to look at the log at that moment.
    void OnMessage(std::function<void(unsigned)> hook) { hook_ = std::move(hook); }

  private:
    platform::MessageWindow window_;
    std::vector<RecordedMessage> messages_;
    std::vector<unsigned> ticks_;
    std::function<void(unsigned)> hook_;
};

}  // namespace net_testing
