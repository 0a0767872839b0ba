#include "platform/log_listener_qt.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <QSocketNotifier>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/descriptor_posix.h"

namespace platform {

namespace {

constexpr mode_t kSocketMode = 0600;
constexpr mode_t kSocketUmask = 0177;
constexpr std::size_t kReadChunk = 4096;

std::string SystemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// Others must not be able to replace the socket file: the folder is ours (or root's) and
// either closed to others or sticky, as /tmp is.
bool CheckFolder(const std::string& folder, std::string& error) {
    struct stat info {};
    if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        error = "folder " + folder + " does not exist";
        return false;
    }
    const bool trustedOwner = info.st_uid == geteuid() || info.st_uid == 0;
    const bool othersMayWrite = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    const bool sticky = (info.st_mode & S_ISVTX) != 0;
    if (!trustedOwner || (othersMayWrite && !sticky)) {
        error = "folder " + folder + " can be changed by other users";
        return false;
    }
    return true;
}

bool FillAddress(const std::string& path, sockaddr_un& address) {
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool SomeoneListens(const sockaddr_un& address) {
    const UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return probe.IsOpen() && (connect(probe.Get(), reinterpret_cast<const sockaddr*>(&address),
                                      sizeof address) == 0 ||
                              errno == EAGAIN);
}

}  // namespace

// A Unix-domain socket file, with one client at a time.
struct LogListener::System {
    UniqueFd listener;
    UniqueFd client;
    std::unique_ptr<QSocketNotifier> acceptNotifier;
    std::unique_ptr<QSocketNotifier> clientNotifier;
};

LogListener::LogListener(std::string path, QObject* parent)
    : QObject(parent), path_(std::move(path)), system_(std::make_unique<System>()) {}

LogListener::~LogListener() {
    system_->clientNotifier.reset();
    DropClient();
    system_->acceptNotifier.reset();
    if (system_->listener.IsOpen()) {
        system_->listener.Reset();
        unlink(path_.c_str());
    }
}

bool LogListener::HasClient() const {
    return system_->client.IsOpen();
}

bool LogListener::Start(std::string& error) {
    sockaddr_un address{};
    UniqueFd& listener = system_->listener;
    if (listener.IsOpen()) {
        error = "already listening";
        return false;
    }
    if (!FillAddress(path_, address)) {
        error = "bad socket path " + path_;
        return false;
    }
    auto folder = std::filesystem::path(path_).parent_path().string();
    if (!CheckFolder(folder.empty() ? "." : folder, error)) {
        return false;
    }

    struct stat existing {};
    if (lstat(path_.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            error = path_ + " exists and is not a socket";
            return false;
        }
        if (existing.st_uid != geteuid()) {
            error = path_ + " belongs to another user";
            return false;
        }
        if (SomeoneListens(address)) {
            error = "another listener serves " + path_;
            return false;
        }
        if (unlink(path_.c_str()) != 0) {
            error = SystemError("cannot remove the stale " + path_);
            return false;
        }
        removedStale_ = true;
    }

    listener.Reset(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listener.IsOpen()) {
        error = SystemError("socket");
        return false;
    }
    // Created closed to others from the start, not opened up and then narrowed.
    const mode_t previousMask = umask(kSocketUmask);
    const bool bound =
        bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    const int bindError = errno;
    umask(previousMask);
    if (!bound || chmod(path_.c_str(), kSocketMode) != 0 ||
        listen(listener.Get(), kLogListenBacklog) != 0) {
        errno = bound ? errno : bindError;
        error = SystemError("cannot serve " + path_);
        if (bound) {
            unlink(path_.c_str());
        }
        listener.Reset();
        return false;
    }
    system_->acceptNotifier =
        std::make_unique<QSocketNotifier>(listener.Get(), QSocketNotifier::Read);
    connect(system_->acceptNotifier.get(), &QSocketNotifier::activated, this,
            &LogListener::OnAcceptReady);
    return true;
}

void LogListener::OnAcceptReady() {
    System& system = *system_;
    if (system.client.IsOpen()) {
        system.acceptNotifier->setEnabled(false);  // the next client waits its turn
        return;
    }
    UniqueFd client(accept4(system.listener.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!client.IsOpen()) {
        return;
    }
    system.client = std::move(client);
    system.acceptNotifier->setEnabled(false);
    system.clientNotifier =
        std::make_unique<QSocketNotifier>(system.client.Get(), QSocketNotifier::Read);
    connect(system.clientNotifier.get(), &QSocketNotifier::activated, this,
            &LogListener::OnClientReadable);
    emit ClientConnected();
}

void LogListener::OnClientReadable() {
    char chunk[kReadChunk];
    for (;;) {
        const ssize_t count = read(system_->client.Get(), chunk, sizeof chunk);
        if (count > 0) {
            pending_.append(chunk, static_cast<qsizetype>(count));
            EmitLines();
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        EndClient();
        if (system_->acceptNotifier) {
            system_->acceptNotifier->setEnabled(true);
        }
        return;
    }
}

void LogListener::DropClient() {
    if (!system_->client.IsOpen()) {
        return;
    }
    if (system_->clientNotifier) {
        system_->clientNotifier->setEnabled(false);
        // Called from the notifier's own activation: let Qt finish with it first.
        system_->clientNotifier.release()->deleteLater();
    }
    system_->client.Reset();
}

}  // namespace platform
