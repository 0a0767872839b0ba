#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli/device_run_report.h"
#include "cli/upload_events.h"

namespace cli {

// The UploadEvents of runs on another thread's loop: each event is queued as it comes, and
// Deliver, called on the target's thread every few milliseconds, hands every event queued so
// far to `target`, in the order the events came. Nothing wakes the target's thread for an
// event: thousands of progress steps a second cost it no wake-up each.
class EventRelay : public UploadEvents {
  public:
    // `wantsSteps` is the target's answer, asked once on the target's thread.
    EventRelay(UploadEvents& target, bool wantsSteps) : target_(target), wantsSteps_(wantsSteps) {}
    EventRelay(const EventRelay&) = delete;
    EventRelay& operator=(const EventRelay&) = delete;

    void Progress(int index, float percent, int framesTaken, int totalFrames) override;
    void Message(int index, const std::string& text, const std::string& caption,
                 unsigned style) override;
    void Attempt(int index, int attempt, int attempts, int pauseMs, const std::string& message,
                 const std::string& cause) override;
    void Finished(int index, const DeviceRunReport& report) override;
    bool WantsSteps() const override { return wantsSteps_; }
    void Step(int index, const std::string& line) override;
    // The target's own loop renders it.
    void Render() override {}

    // On the target's thread: hands the events queued so far to the target.
    void Deliver();

  private:
    enum class Kind { kProgress, kMessage, kAttempt, kFinished, kStep };
    struct Event {
        Kind kind = Kind::kProgress;
        int index = 0;
        float percent = 0;
        int first = 0;                              // framesTaken; attempt; style
        int second = 0;                             // totalFrames; attempts
        int third = 0;                              // pauseMs
        std::string text{};                         // message; step line
        std::string detail{};                       // caption; cause
        std::unique_ptr<DeviceRunReport> report{};  // Finished only
    };

    void Queue(Event event);
    void Hand(const Event& event);

    UploadEvents& target_;
    const bool wantsSteps_;
    std::mutex mutex_;
    std::vector<Event> queued_;      // guarded by mutex_
    std::vector<Event> delivering_;  // the target's thread only
};

}  // namespace cli
