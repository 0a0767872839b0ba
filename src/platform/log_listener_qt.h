#pragma once

#include <memory>
#include <string>

#include <QByteArray>
#include <QObject>

class QLocalServer;
class QLocalSocket;
class QSocketNotifier;

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
    bool HasClient() const { return client_ >= 0; }
    // Whether Start found and removed a stale socket file.
    bool RemovedStaleSocket() const { return removedStale_; }

  signals:
    // One line as it arrived, without its "\r\n" or "\n".
    void LineReceived(const QByteArray& line);
    void ClientConnected();
    void ClientDisconnected();

  private:
    void OnAcceptReady();
    void OnClientReadable();
    void EmitLines();
    // Emits what is left of the last line, drops the client and says so.
    void EndClient();
    void DropClient();

    std::string path_;
    int listener_ = -1;
    int client_ = -1;
    bool removedStale_ = false;
    std::unique_ptr<QSocketNotifier> acceptNotifier_;
    std::unique_ptr<QSocketNotifier> clientNotifier_;
    QByteArray pending_;  // bytes of a line not yet ended
#ifdef _WIN32
    void OnNewConnection();
    std::unique_ptr<QLocalServer> server_;
    QLocalSocket* clientSocket_ = nullptr;  // owned by server_
#endif
};

}  // namespace platform
