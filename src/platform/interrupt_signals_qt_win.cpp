#include "platform/interrupt_signals_qt.h"

#include <atomic>

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QSocketNotifier>

#include <windows.h>

namespace platform {

namespace {

// The console's events arrive on a thread the system starts for them: they are handed to the
// event loop of the object's thread, where the handler runs. File scope because the console
// handler can reach nothing else.
InterruptSignals* current = nullptr;
QObject* receiver = nullptr;
std::atomic<int> firstCaught{0};

BOOL WINAPI OnConsoleEvent(DWORD event) {
    int status = 0;
    switch (event) {
        case CTRL_C_EVENT:
            status = kInterruptedStatus;
            break;
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            status = kTerminatedStatus;
            break;
        default:
            return FALSE;
    }
    if (receiver == nullptr) {
        return FALSE;
    }
    int none = 0;
    firstCaught.compare_exchange_strong(none, status);
    QMetaObject::invokeMethod(
        receiver,
        [status] {
            if (current != nullptr) {
                current->Deliver(status);
            }
        },
        Qt::QueuedConnection);
    return TRUE;
}

}  // namespace

struct InterruptSignals::System {
    std::unique_ptr<QObject> receiver;  // where console events are queued
};

InterruptSignals::InterruptSignals(Handler handler)
    : handler_(std::move(handler)), system_(std::make_unique<System>()) {
    if (current != nullptr) {
        return;
    }
    firstCaught = 0;
    system_->receiver = std::make_unique<QObject>();
    receiver = system_->receiver.get();
    current = this;
    active_ = SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != 0;
    if (!active_) {
        current = nullptr;
        receiver = nullptr;
    }
}

InterruptSignals::~InterruptSignals() {
    if (!active_) {
        return;
    }
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    current = nullptr;
    receiver = nullptr;
}

void InterruptSignals::Deliver(int exitStatus) {
    if (handler_) {
        handler_(exitStatus);
    }
}

int InterruptSignals::Caught() const {
    return firstCaught;
}

}  // namespace platform
