#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/local_time.h"
#include "platform/window_messages.h"
#include "transfer/device_link.h"
#include "transfer/failure_cause.h"
#include "transfer/frame_queue.h"

namespace transfer {

inline constexpr unsigned kUploadTimerId = 1;
inline constexpr int kTimerPeriodMs = 150;
inline constexpr std::uint32_t kAckTimeoutMs = 3000;
inline constexpr int kUploadSucceeded = 1;
inline constexpr int kUploadFailed = 2;

// The window that hosts an upload: the desktop program's main window or the command-line
// tool's headless stand-in. Every call happens on the host's one thread.
class SequencerHost {
  public:
    virtual ~SequencerHost() = default;

    // Moves the fields into the members (port, web folder); a refused field keeps its value.
    virtual void ExchangeFieldsToMembers() = 0;
    // Integer position 0 and a repaint.
    virtual void ResetProgress() = 0;
    // Float position 0..100 and a repaint with erase.
    virtual void SetProgressPercent(float percent) = 0;
    // Builds the image; 1 on success, 0 after the builder has shown its own message.
    virtual int BuildWebImage() = 0;
    virtual const std::uint8_t* ImageBytes() const = 0;
    virtual std::int32_t ImageLength() const = 0;
    // A new, uncreated connection object.
    virtual std::unique_ptr<DeviceLink> NewDeviceLink() = 0;
    // Target of the link's notifications and of WM_UPLOAD_DONE.
    virtual platform::MessageTarget& Window() = 0;
    // Text of the address field (dotted decimal) and the port member.
    virtual std::string AddressText() = 0;
    virtual int Port() = 0;
    virtual void SetTimer(unsigned timerId, int periodMs) = 0;
    virtual void KillTimer(unsigned timerId) = 0;
    virtual void MessageBox(const std::string& text, const std::string& caption,
                            unsigned style) = 0;
    // Caption of the success box.
    virtual std::string ApplicationName() = 0;
};

// Source of local wall-clock time; tests substitute fake time.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual platform::LocalTime Now() = 0;
};

// The wall clock of the platform.
class SystemClock : public Clock {
  public:
    platform::LocalTime Now() override { return platform::GetLocalTime(); }
};

// Milliseconds from `then` to `now`: 0 when now's year is earlier, 0xFFFFFFFF when it is two or
// more years later, else the calendar difference truncated to 32 bits and read unsigned (so a
// clock set back reads as a huge, late value).
std::uint32_t ElapsedMs(const platform::LocalTime& now, const platform::LocalTime& then);

// Runs one update of the device: build, connect, send one frame per timer tick under
// acknowledgement and time-out, report the result. Driven by the host's messages.
class UploadSequencer {
  public:
    explicit UploadSequencer(SequencerHost& host, Clock& clock);
    ~UploadSequencer();
    UploadSequencer(const UploadSequencer&) = delete;
    UploadSequencer& operator=(const UploadSequencer&) = delete;

    // Message handlers, called by the host.
    void OnStart();
    void OnTimer(unsigned timerId);
    void OnDeviceReceive(platform::WParam wParam, platform::LParam lParam);
    void OnDeviceClose(platform::WParam wParam, platform::LParam lParam);
    void OnUploadDone(platform::WParam wParam, platform::LParam lParam);
    // Routes a posted message to its handler; false when the message is not the sequencer's.
    bool HandleMessage(unsigned message, platform::WParam wParam, platform::LParam lParam);
    // The window is going away: drop the frames and close the connection, without a message.
    void OnDestroy();

    // True from a Start that armed the timer until the run has been reported or abandoned.
    bool RunInProgress() const { return running_ || finishing_; }
    // Result of the last run that was reported: kUploadSucceeded, kUploadFailed, or 0 when the
    // last Start has not been reported (still running, stopped early or abandoned).
    int LastResult() const { return lastResult_; }
    int TotalFrames() const { return totalFrames; }
    const FrameQueue& Frames() const { return frameQueue; }
    bool AwaitingAck() const { return awaitingAck != 0; }
    const DeviceLink* Link() const { return deviceSocket.get(); }
    // Why the last Start or run failed; kind kNone from each Start until a failure, and after a
    // success. Kept until the next Start.
    const FailureCause& LastFailure() const { return lastFailure_; }
    // The text of the message the last Start or run ended with ("Socket Connect ERROR!", "Web
    // Server Update OK!"); empty from each Start until one is shown. Kept until the next Start.
    const std::string& LastMessage() const { return lastMessage_; }
    // The acknowledgement time-out (kAckTimeoutMs unless changed; the device's contract). A
    // value of 0 is taken as kAckTimeoutMs.
    void SetAckTimeoutMs(std::uint32_t milliseconds) {
        ackTimeoutMs_ = milliseconds == 0 ? kAckTimeoutMs : milliseconds;
    }
    std::uint32_t AckTimeoutMs() const { return ackTimeoutMs_; }
    // The least time between two frames (kTimerPeriodMs unless changed; the device's contract):
    // a frame goes out at a tick of this period once the one before is acknowledged. 0 sends
    // with no tick at all: a length frame and its data frame back to back, and the next pair as
    // soon as the "OK" comes; the acknowledgement time-out is then checked every
    // kTimerPeriodMs. A negative value is taken as 0. Read at Start.
    void SetPaceMs(int milliseconds) { paceMs_ = milliseconds < 0 ? 0 : milliseconds; }
    int PaceMs() const { return paceMs_; }

  private:
    void StepUpload();
    void SendNextFrame();
    void UpdateProgress();
    void FinishRun(int result);
    void AbandonRun();
    // Records a failure of the link at the frame now sent or awaited (0 before the frames).
    void RecordFailure(FailureCause::Kind kind, std::uint32_t waitedMs = 0);
    // Shows the message through the host and keeps its text as LastMessage.
    void Show(const std::string& text, const std::string& caption, unsigned style);

    SequencerHost& host_;
    Clock& clock_;

    std::unique_ptr<DeviceLink> deviceSocket;
    FrameQueue frameQueue;
    std::int32_t totalFrames = 0;
    std::uint8_t sendBuffer[kFramePayloadCapacity] = {};
    std::int32_t sendLength = 0;
    std::int32_t awaitingAck = 0;
    platform::LocalTime lastSendTime;
    // The first reply other than "OK" to the frame awaited (cut to kShownReplyBytes) and its
    // length, 0 while none came: a frame that times out after one is named by it.
    std::vector<std::uint8_t> wrongReply_;
    std::int32_t wrongReplyLength_ = 0;

    bool running_ = false;    // timer armed for a run
    bool finishing_ = false;  // WM_UPLOAD_DONE posted and not yet handled
    int lastResult_ = 0;
    FailureCause lastFailure_;
    std::string lastMessage_;
    std::uint32_t ackTimeoutMs_ = kAckTimeoutMs;
    int paceMs_ = kTimerPeriodMs;
};

}  // namespace transfer
