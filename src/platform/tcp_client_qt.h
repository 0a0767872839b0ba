#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QObject;
class QSocketNotifier;
class QTimer;

namespace platform {

// A TCP client (IPv4) driven by the Qt event loop of the thread that made it, for programs that
// talk to many devices from one thread: no call waits. Connecting, sending and the peer's
// answers all complete later, in handlers called from the event loop (never from inside the
// call that started them), so a slow or silent peer holds up only its own connection.
//
//   Open -> ConnectAsync -> (connected) Send / Receive ... -> Close
//
// Every handler may destroy the object.
class TcpClient {
  public:
    // 0 once connected, else the system's error (ETIMEDOUT after the time-out, EADDRNOTAVAIL for
    // an address that is not a unicast host address, EHOSTUNREACH for a name that does not
    // resolve).
    using ConnectHandler = std::function<void(int error)>;
    using ReceiveHandler = std::function<void()>;
    // 0 when the peer closed the connection, else the error that ended it.
    using CloseHandler = std::function<void(int error)>;

    TcpClient();
    // Closes the socket if it is open; no handler is called afterwards.
    ~TcpClient();
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    // Makes the socket. False when it is already open or the system refuses (LastError: EMFILE
    // when the process has no descriptor left).
    bool Open();
    // Starts connecting to a dotted IPv4 address or a host name (resolved on a helper thread).
    // `done` is called exactly once, unless Close or the destructor comes first. Addresses that
    // are not unicast host addresses (0.x.x.x, multicast, 240 and above) fail without an attempt.
    void ConnectAsync(const std::string& address, int port, int timeoutMs, ConnectHandler done);
    // Hands `length` bytes to the connection. What the system does not take at once is kept in
    // order and written whenever the peer makes room. False when the socket is not connected or
    // the connection has failed (LastError); the bytes are then dropped.
    bool Send(const std::uint8_t* data, int length);
    // Bytes handed to Send and not yet taken by the system.
    std::size_t QueuedBytes() const { return queue_.size() - queueStart_; }
    // One read of at most `length` bytes without waiting: the count, 0 when the peer has closed,
    // -1 on an error or when no byte was there. The receive handler is called again only after
    // a Receive.
    int Receive(void* buffer, int length);

    // Bytes are waiting: called until they are read (once per Receive).
    void SetReceiveHandler(ReceiveHandler handler) { onReceive_ = std::move(handler); }
    // The peer closed or reset the connection: called once.
    void SetCloseHandler(CloseHandler handler) { onClose_ = std::move(handler); }

    // Stops every handler and closes the socket. Does nothing when it is not open.
    void Close();
    bool IsOpen() const { return descriptor_ >= 0; }
    bool IsConnected() const { return connected_; }
    int LastError() const { return lastError_; }

    // The last failure in words ("Connection refused", "timed out after 21 s", "address 0.0.0.0
    // is not a unicast host address"); empty when nothing failed.
    std::string LastErrorText() const;

  private:
    struct Resolution;

    void StartConnect(std::uint32_t address, int port);
    void FinishConnect(int error);
    void OnReadable();
    void OnWritable();
    bool Flush();
    void Fail(int error);

    int descriptor_ = -1;
    bool connected_ = false;
    bool closeReported_ = false;
    int lastError_ = 0;
    std::string lastErrorText_;  // when the error number alone does not say it
    int timeoutMs_ = 0;
    ConnectHandler onConnect_;
    ReceiveHandler onReceive_;
    CloseHandler onClose_;
    std::vector<std::uint8_t> queue_;
    std::size_t queueStart_ = 0;
    std::shared_ptr<bool> alive_;       // queued calls find it expired once the object is gone
    std::unique_ptr<QObject> context_;  // receives the results of name resolution
    std::shared_ptr<Resolution> resolution_;
    std::unique_ptr<QSocketNotifier> readNotifier_;
    std::unique_ptr<QSocketNotifier> writeNotifier_;
    std::unique_ptr<QTimer> connectTimer_;
};

}  // namespace platform
