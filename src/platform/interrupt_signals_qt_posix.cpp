#include "platform/interrupt_signals_qt.h"

#include <atomic>
#include <cerrno>

#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace platform {

namespace {

// The self-pipe: the signal handler only writes the signal's number into it; the event loop
// reads it. File scope because a signal handler can reach nothing else.
int wakePipe[2] = {-1, -1};
struct sigaction previousInterrupt {};
struct sigaction previousTerminate {};
bool interruptCaught = false;
bool terminateCaught = false;
// Lock-free, and so safe to set inside the handler.
std::atomic<int> firstCaught{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnSignal(int number) {
    const int savedErrno = errno;
    int none = 0;
    firstCaught.compare_exchange_strong(none,
                                        number == SIGTERM ? kTerminatedStatus : kInterruptedStatus);
    const unsigned char byte = static_cast<unsigned char>(number);
    // A full pipe already holds a wake-up; the byte is not needed then.
    [[maybe_unused]] const ssize_t written = write(wakePipe[1], &byte, 1);
    errno = savedErrno;
}

// Installs `action` for `number` unless the process ignores that signal; true when installed.
bool CatchUnlessIgnored(int number, const struct sigaction& action, struct sigaction& previous) {
    if (sigaction(number, nullptr, &previous) != 0) {
        return false;
    }
    const bool ignored = (previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler == SIG_IGN;
    return !ignored && sigaction(number, &action, nullptr) == 0;
}

// Hands every signal number waiting in the pipe to the object's handler.
void Drain(InterruptSignals& owner) {
    unsigned char bytes[16];
    ssize_t count = 0;
    while ((count = read(wakePipe[0], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < count; ++i) {
            owner.Deliver(bytes[i] == SIGTERM ? kTerminatedStatus : kInterruptedStatus);
        }
    }
}

}  // namespace

struct InterruptSignals::System {
    std::unique_ptr<QSocketNotifier> notifier;  // watches the self-pipe
};

InterruptSignals::InterruptSignals(Handler handler)
    : handler_(std::move(handler)), system_(std::make_unique<System>()) {
    if (wakePipe[0] >= 0 || pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    firstCaught = 0;
    interruptCaught = CatchUnlessIgnored(SIGINT, action, previousInterrupt);
    terminateCaught = CatchUnlessIgnored(SIGTERM, action, previousTerminate);
    system_->notifier = std::make_unique<QSocketNotifier>(wakePipe[0], QSocketNotifier::Read);
    QSocketNotifier* notifier = system_->notifier.get();
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [this] { Drain(*this); });
    active_ = true;
}

InterruptSignals::~InterruptSignals() {
    if (!active_) {
        return;
    }
    if (interruptCaught) {
        sigaction(SIGINT, &previousInterrupt, nullptr);
    }
    if (terminateCaught) {
        sigaction(SIGTERM, &previousTerminate, nullptr);
    }
    system_->notifier.reset();
    close(wakePipe[0]);
    close(wakePipe[1]);
    wakePipe[0] = wakePipe[1] = -1;
}

int InterruptSignals::Caught() const {
    return firstCaught;
}

void InterruptSignals::Deliver(int exitStatus) {
    if (handler_) {
        handler_(exitStatus);
    }
}

}  // namespace platform
