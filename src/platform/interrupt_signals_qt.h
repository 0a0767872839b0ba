#pragma once

#include <functional>
#include <memory>
#include <utility>

namespace platform {

// Exit status of a program that a shell saw ended by SIGINT (Ctrl+C) or SIGTERM.
inline constexpr int kInterruptedStatus = 130;
inline constexpr int kTerminatedStatus = 143;

// While alive, an interrupt (SIGINT; Windows: the console's Ctrl+C) or a termination request
// (SIGTERM; Windows: the console's Ctrl+Break and close events) does not end the process: it is
// reported to the handler on the Qt event loop of the thread that made the object, with the
// status the program should exit with (kInterruptedStatus or kTerminatedStatus). The handler
// runs after the signal has arrived, never inside it; ending the event loop from it lets every
// destructor run. A signal that the process ignores when the object is made (SIGINT of a
// background job) stays ignored. At most one object exists at a time; its end restores the
// process's previous handling of both signals.
class InterruptSignals {
  public:
    using Handler = std::function<void(int exitStatus)>;

    explicit InterruptSignals(Handler handler);
    ~InterruptSignals();
    InterruptSignals(const InterruptSignals&) = delete;
    InterruptSignals& operator=(const InterruptSignals&) = delete;

    // False when the signals could not be caught (they then keep their previous handling).
    bool Active() const { return active_; }
    // Replaces the handler, for the signals still to be handed to the event loop.
    void SetHandler(Handler handler) { handler_ = std::move(handler); }
    // The exit status of the first signal caught so far, or 0. Set the moment the signal
    // arrives, so that work which does not run the event loop can ask between its steps.
    int Caught() const;

    // Runs the handler: the system part hands each caught signal over here, on the object's
    // thread.
    void Deliver(int exitStatus);

  private:
    // How the signals reach the event loop: a self-pipe and its notifier, or a receiver of the
    // console's events (interrupt_signals_qt_posix.cpp, interrupt_signals_qt_win.cpp).
    struct System;

    Handler handler_;
    bool active_ = false;
    std::unique_ptr<System> system_;
};

}  // namespace platform
