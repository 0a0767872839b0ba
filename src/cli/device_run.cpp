#include "cli/device_run.h"

#include <algorithm>

#include "cli/engine_link.h"
#include "cli/step_link.h"
#include "platform/message_box.h"
#include "transfer/ack_trace_link.h"
#include "transfer/failure_cause.h"

namespace cli {

DeviceRun::DeviceRun(asio::io_context& loop, int index, Settings settings, UploadEvents& events)
    : index_(index),
      settings_(std::move(settings)),
      events_(events),
      loop_(loop),
      retryTimer_(loop),
      window_(loop),
      sequencer_(*this, clock_) {
    report_.device = settings_.device;
    if (settings_.trace) {
        report_.trace = std::make_shared<transfer::AckTrace>();
    }
    sequencer_.SetAckTimeoutMs(settings_.ackTimeoutMs);
    sequencer_.SetPaceMs(settings_.paceMs);
    window_.SetMessageHandler(
        [this](unsigned message, platform::WParam wParam, platform::LParam lParam) {
            sequencer_.HandleMessage(message, wParam, lParam);
            if (attemptRunning_ && !sequencer_.RunInProgress()) {
                AttemptEnded();
            }
        });
    window_.SetTimerHandler([this](unsigned timerId) { sequencer_.OnTimer(timerId); });
}

DeviceRun::~DeviceRun() {
    sequencer_.OnDestroy();
}

int DeviceRun::RetryPauseMs(int attempt) {
    return kFirstRetryPauseMs << std::clamp(attempt - 1, 0, kMostPauseDoublings);
}

void DeviceRun::Start() {
    started_ = std::chrono::steady_clock::now();
    StartAttempt();
}

void DeviceRun::StartAttempt() {
    if (done_) {
        return;
    }
    ++report_.attempts;
    lastTaken_ = -1;
    attemptRunning_ = true;
    connecting_ = std::make_unique<EngineLink>(loop_, settings_.journal);
    lost_ = connecting_->LostReason();
    connecting_->StartConnect(settings_.device.host, settings_.device.port,
                              settings_.connectTimeoutMs, [this] { OnConnected(); });
}

// The connection is made or has failed: the desktop program's Start, whose Create and Connect
// now only report that.
void DeviceRun::OnConnected() {
    sequencer_.OnStart();
    if (!sequencer_.RunInProgress()) {
        AttemptEnded();  // the connect failed and Start has shown its message
    }
}

std::unique_ptr<transfer::DeviceLink> DeviceRun::NewDeviceLink() {
    std::unique_ptr<transfer::DeviceLink> link = std::move(connecting_);
    if (events_.WantsSteps()) {
        link = std::make_unique<StepLink>(
            std::move(link), [this](const std::string& line) { events_.Step(index_, line); },
            [this] { return sequencer_.TotalFrames(); });
    }
    if (report_.trace) {
        return std::make_unique<transfer::AckTraceLink>(std::move(link), *report_.trace);
    }
    return link;
}

void DeviceRun::AttemptEnded() {
    attemptRunning_ = false;
    const bool ok = sequencer_.LastResult() == transfer::kUploadSucceeded;
    report_.framesTaken = sequencer_.TotalFrames() - sequencer_.Frames().Size();
    report_.totalFrames = sequencer_.TotalFrames();
    report_.message = sequencer_.LastMessage();
    report_.cause = Cause();
    if (ok || report_.attempts > settings_.retries) {
        Finish(ok);
        return;
    }
    const int pauseMs = RetryPauseMs(report_.attempts);
    events_.Attempt(index_, report_.attempts, settings_.retries + 1, pauseMs, report_.message,
                    report_.cause);
    retryTimer_.expires_after(std::chrono::milliseconds(pauseMs));
    retryTimer_.async_wait([this](asio::error_code ec) {
        if (!ec && !done_) {
            StartAttempt();
        }
    });
}

// The explanation of the try's failure without the target, which every report names anyway:
// "connect: Connection refused", "frame 5 of 13: no answer within 3000 ms". When the device
// ended the connection, that is said instead of the failed send or the missing answer that
// followed, at the frame it happened: "frame 3 of 13: the device closed the connection".
std::string DeviceRun::Cause() const {
    const transfer::FailureCause& failure = sequencer_.LastFailure();
    if (lost_ && !lost_->empty()) {
        if (failure.frame > 0) {
            return "frame " + std::to_string(failure.frame) + " of " +
                   std::to_string(failure.totalFrames) + ": " + *lost_;
        }
        return *lost_;
    }
    const std::string label = settings_.device.Label();
    std::string cause = transfer::DescribeFailure(failure, label);
    if (cause.rfind(label + ": ", 0) == 0) {
        cause.erase(0, label.size() + 2);
    }
    return cause;
}

void DeviceRun::Stop(bool interrupted) {
    if (done_) {
        return;
    }
    retryTimer_.cancel();
    connecting_.reset();
    if (attemptRunning_) {
        report_.framesTaken = sequencer_.TotalFrames() - sequencer_.Frames().Size();
        report_.totalFrames = sequencer_.TotalFrames();
    }
    attemptRunning_ = false;
    sequencer_.OnDestroy();
    report_.stopped = !interrupted;
    report_.interrupted = interrupted;
    report_.message = interrupted ? kInterruptedText : "";
    report_.cause.clear();
    Finish(false);
}

void DeviceRun::Finish(bool ok) {
    done_ = true;
    report_.ok = ok;
    // A run stopped before it started took no time.
    report_.elapsedMs = started_ ? std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::now() - *started_)
                                       .count()
                                 : 0;
    events_.Finished(index_, report_);
}

void DeviceRun::SetProgressPercent(float percent) {
    const int total = sequencer_.TotalFrames();
    const int taken = total - sequencer_.Frames().Size();
    if (total > 0 && taken != lastTaken_) {
        lastTaken_ = taken;
        events_.Progress(index_, percent, taken, total);
    }
}

const std::uint8_t* DeviceRun::ImageBytes() const {
    return settings_.image->imageBuffer.data();
}

std::int32_t DeviceRun::ImageLength() const {
    return settings_.image->usedLength;
}

void DeviceRun::MessageBox(const std::string& text, const std::string& caption, unsigned style) {
    events_.Message(index_, text, caption, style);
}

}  // namespace cli
