#pragma once

#include <memory>

class QSocketNotifier;

namespace platform {

// While it exists, Ctrl+C and a termination request (SIGINT/SIGTERM; on Windows the console's
// Ctrl+C, Ctrl+Break and close events) quit the running QCoreApplication event loop instead of
// ending the process, so that destructors run. One at a time per process.
class QuitOnSignal {
  public:
    QuitOnSignal();
    ~QuitOnSignal();
    QuitOnSignal(const QuitOnSignal&) = delete;
    QuitOnSignal& operator=(const QuitOnSignal&) = delete;

  private:
    int ends_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace platform
