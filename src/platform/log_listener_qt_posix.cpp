#include "platform/log_listener_qt.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <QSocketNotifier>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

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
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return false;
    }
    const bool listening =
        connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
        errno == EAGAIN;
    close(probe);
    return listening;
}

}  // namespace

LogListener::LogListener(std::string path, QObject* parent)
    : QObject(parent), path_(std::move(path)) {}

LogListener::~LogListener() {
    clientNotifier_.reset();
    DropClient();
    acceptNotifier_.reset();
    if (listener_ >= 0) {
        close(listener_);
        unlink(path_.c_str());
    }
}

bool LogListener::Start(std::string& error) {
    sockaddr_un address{};
    if (listener_ >= 0) {
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

    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        error = SystemError("socket");
        return false;
    }
    // Created closed to others from the start, not opened up and then narrowed.
    const mode_t previousMask = umask(kSocketUmask);
    const bool bound =
        bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    const int bindError = errno;
    umask(previousMask);
    if (!bound || chmod(path_.c_str(), kSocketMode) != 0 ||
        listen(listener_, kLogListenBacklog) != 0) {
        errno = bound ? errno : bindError;
        error = SystemError("cannot serve " + path_);
        if (bound) {
            unlink(path_.c_str());
        }
        close(listener_);
        listener_ = -1;
        return false;
    }
    acceptNotifier_ = std::make_unique<QSocketNotifier>(listener_, QSocketNotifier::Read);
    connect(acceptNotifier_.get(), &QSocketNotifier::activated, this, &LogListener::OnAcceptReady);
    return true;
}

void LogListener::OnAcceptReady() {
    if (client_ >= 0) {
        acceptNotifier_->setEnabled(false);  // the next client waits its turn
        return;
    }
    const int client = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client < 0) {
        return;
    }
    client_ = client;
    acceptNotifier_->setEnabled(false);
    clientNotifier_ = std::make_unique<QSocketNotifier>(client_, QSocketNotifier::Read);
    connect(clientNotifier_.get(), &QSocketNotifier::activated, this,
            &LogListener::OnClientReadable);
    emit ClientConnected();
}

void LogListener::OnClientReadable() {
    char chunk[kReadChunk];
    for (;;) {
        const ssize_t count = read(client_, chunk, sizeof chunk);
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
        if (acceptNotifier_) {
            acceptNotifier_->setEnabled(true);
        }
        return;
    }
}

void LogListener::DropClient() {
    if (client_ < 0) {
        return;
    }
    if (clientNotifier_) {
        clientNotifier_->setEnabled(false);
        // Called from the notifier's own activation: let Qt finish with it first.
        clientNotifier_.release()->deleteLater();
    }
    close(client_);
    client_ = -1;
}

}  // namespace platform
