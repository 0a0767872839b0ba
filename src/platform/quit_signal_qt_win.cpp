#include "platform/quit_signal_qt.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>

#include <windows.h>

namespace platform {

namespace {

// Runs on a thread of its own that the system starts: hand the quit to the event loop's thread.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            if (QCoreApplication* application = QCoreApplication::instance()) {
                QMetaObject::invokeMethod(application, &QCoreApplication::quit,
                                          Qt::QueuedConnection);
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace

QuitOnSignal::QuitOnSignal() {
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

QuitOnSignal::~QuitOnSignal() {
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
}

}  // namespace platform
