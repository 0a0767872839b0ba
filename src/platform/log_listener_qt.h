#pragma once

#include <memory>
#include <string>

#include <QByteArray>
#include <QObject>

namespace platform {

// Longest line kept whole; a client that sends more without a line feed gets it cut here.
inline constexpr int kMaxLogLineBytes = 64 * 1024;
// Clients that may wait while another one is served.
inline constexpr int kLogListenBacklog = 4;

// Serves the diagnostic pipe (pipe_client.h): a Unix-domain stream socket that only
// the current user can reach (mode 0600 in a folder that others cannot tamper with); on Windows
// the named pipe itself, open to the current user only. Serves one client at a time and takes
// the next after it leaves. Lives on the thread of its event loop.
class LogListener : public QObject {
    Q_OBJECT

  public:
    explicit LogListener(std::string path, QObject* parent = nullptr);
    // Stops serving and removes the socket file.
    ~LogListener() override;

    // Checks the folder, removes a stale socket file of ours, binds and listens. False with
    // `error` set when the folder is unsafe, the path is taken (by another listener, another
    // user or something that is not a socket) or the system refuses.
    bool Start(std::string& error);
    const std::string& Path() const { return path_; }
    bool HasClient() const;
    // Whether Start found and removed a stale socket file.
    bool RemovedStaleSocket() const { return removedStale_; }

  signals:
    // One line as it arrived, without its "\r\n" or "\n".
    void LineReceived(const QByteArray& line);
    void ClientConnected();
    void ClientDisconnected();

  private:
    // What serves the pipe: the listening socket and its client, or the named pipe's server
    // (log_listener_qt_posix.cpp, log_listener_qt_win.cpp).
    struct System;

    void OnAcceptReady();
    void OnClientReadable();
    void EmitLines();
    // Emits what is left of the last line, drops the client and says so.
    void EndClient();
    void DropClient();

    std::string path_;
    bool removedStale_ = false;
    QByteArray pending_;  // bytes of a line not yet ended
    std::unique_ptr<System> system_;
};

}  // namespace platform
