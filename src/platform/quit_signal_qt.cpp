#include "platform/quit_signal_qt.h"

#include <csignal>

#include <QCoreApplication>
#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

int quitSignalWriteEnd = -1;

// Only an async-signal-safe write here; the event loop reads the byte and quits.
void OnQuitSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto ignored = write(quitSignalWriteEnd, &byte, 1);
}

}  // namespace

QuitOnSignal::QuitOnSignal() {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends_) != 0) {
        return;
    }
    quitSignalWriteEnd = ends_[1];
    notifier_ = std::make_unique<QSocketNotifier>(ends_[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated,
                     [] { QCoreApplication::quit(); });
    std::signal(SIGINT, OnQuitSignal);
    std::signal(SIGTERM, OnQuitSignal);
}

QuitOnSignal::~QuitOnSignal() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    notifier_.reset();
    for (int end : ends_) {
        if (end >= 0) {
            close(end);
        }
    }
    quitSignalWriteEnd = -1;
}

}  // namespace platform
