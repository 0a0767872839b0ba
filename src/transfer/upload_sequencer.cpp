#include "transfer/upload_sequencer.h"

#include <algorithm>
#include <cstring>

#include "platform/message_box.h"

namespace transfer {

namespace {

constexpr unsigned kSocketTypeStream = 1;
constexpr long kAllSocketEvents = 63;  // read, write, out-of-band, accept, connect, close
constexpr char kAckText[] = "OK";
constexpr char kErrorCaption[] = "ERR";

// Compares two zero-terminated texts, letters A-Z equal to a-z, nothing else folded.
bool EqualIgnoringAsciiCase(const char* left, const char* right) {
    auto fold = [](unsigned char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
    };
    for (;; ++left, ++right) {
        const unsigned char a = fold(static_cast<unsigned char>(*left));
        const unsigned char b = fold(static_cast<unsigned char>(*right));
        if (a != b) {
            return false;
        }
        if (a == 0) {
            return true;
        }
    }
}

}  // namespace

std::uint32_t ElapsedMs(const platform::LocalTime& now, const platform::LocalTime& then) {
    if (now.year < then.year) {
        return 0;
    }
    if (now.year - then.year >= 2) {
        return 0xFFFFFFFFu;
    }
    const std::int64_t seconds =
        platform::LocalTimeToEpochSeconds(now) - platform::LocalTimeToEpochSeconds(then);
    const std::int64_t milliseconds =
        seconds * 1000 + (static_cast<std::int64_t>(now.milliseconds) - then.milliseconds);
    // Keep the low 32 bits: a negative difference reads as a huge (late) value.
    return static_cast<std::uint32_t>(milliseconds);
}

UploadSequencer::UploadSequencer(SequencerHost& host, Clock& clock) : host_(host), clock_(clock) {}

UploadSequencer::~UploadSequencer() = default;

void UploadSequencer::OnStart() {
    // A Start that stops early must not leave an earlier run's timer ticking over the emptied
    // queue (its next tick would report success for an unfinished upload): end that run first,
    // quietly, as a replacing Start would.
    if (running_ || finishing_) {
        AbandonRun();
    }
    lastResult_ = 0;
    lastFailure_ = FailureCause{};
    lastMessage_.clear();

    host_.ExchangeFieldsToMembers();
    host_.ResetProgress();
    frameQueue.ClearFrames();

    if (host_.BuildWebImage() == 0) {
        lastFailure_.kind = FailureCause::Kind::kBuild;
        return;
    }

    if (deviceSocket) {
        deviceSocket->Close();
        deviceSocket.reset();
    }
    deviceSocket = host_.NewDeviceLink();
    if (!deviceSocket->Create(0, kSocketTypeStream, kAllSocketEvents, nullptr)) {
        RecordFailure(FailureCause::Kind::kCreate);
        Show("Socket Create ERROR!", kErrorCaption, platform::kMbIconHand);
        return;
    }
    deviceSocket->SetNotifyWindow(&host_.Window());
    const std::string address = host_.AddressText();
    if (!deviceSocket->Connect(address, host_.Port())) {
        RecordFailure(FailureCause::Kind::kConnect);
        Show("Socket Connect ERROR!", kErrorCaption, platform::kMbIconHand);
        return;
    }

    awaitingAck = 0;
    totalFrames = 0;
    frameQueue.BuildFrames(host_.ImageBytes(), host_.ImageLength());
    totalFrames = frameQueue.Size();
    host_.SetTimer(kUploadTimerId, paceMs_ > 0 ? paceMs_ : kTimerPeriodMs);
    running_ = true;
    if (paceMs_ == 0) {
        StepUpload();
        UpdateProgress();
    }
}

void UploadSequencer::OnTimer(unsigned timerId) {
    if (timerId != kUploadTimerId) {
        return;
    }
    StepUpload();
    UpdateProgress();
}

void UploadSequencer::StepUpload() {
    if (!deviceSocket) {
        return;
    }
    if (awaitingAck == 1) {
        const std::uint32_t waited = ElapsedMs(clock_.Now(), lastSendTime);
        if (waited >= ackTimeoutMs_) {
            RecordFailure(wrongReplyLength_ > 0 ? FailureCause::Kind::kWrongReply
                                                : FailureCause::Kind::kNoAnswer,
                          waited);
            FinishRun(kUploadFailed);
        }
        return;
    }
    SendNextFrame();
    // Without a pace, a frame that wants no answer is followed at once by the next one.
    while (paceMs_ == 0 && running_ && awaitingAck == 0) {
        SendNextFrame();
    }
    // A periodic tick that came late is followed by a short one. The contract's tick stays as
    // it always was; any other pace counts from the send, so no two frames come closer.
    if (running_ && paceMs_ > 0 && paceMs_ != kTimerPeriodMs) {
        host_.SetTimer(kUploadTimerId, paceMs_);
    }
}

void UploadSequencer::SendNextFrame() {
    awaitingAck = 0;
    wrongReply_.clear();
    wrongReplyLength_ = 0;
    // The buffer starts zeroed and a frame writes only its own bytes: clearing those of the last
    // frame zeroes all of it, without touching 4 KiB per frame of every device.
    std::memset(sendBuffer, 0,
                static_cast<std::size_t>(std::clamp(sendLength, 0, kFramePayloadCapacity)));
    sendLength = 0;

    frameQueue.PopFrame(sendBuffer, sendLength, awaitingAck);
    if (sendLength <= 0) {
        FinishRun(kUploadSucceeded);
        return;
    }
    if (!deviceSocket->SendBytes(sendBuffer, sendLength)) {
        RecordFailure(FailureCause::Kind::kSend);
        FinishRun(kUploadFailed);
    }
    lastSendTime = clock_.Now();
}

void UploadSequencer::UpdateProgress() {
    float percent = 0.0f;
    if (totalFrames > 0) {
        const double taken = static_cast<double>(totalFrames - frameQueue.Size());
        percent = static_cast<float>(taken / static_cast<double>(totalFrames) * 100.0);
    }
    host_.SetProgressPercent(percent);
}

void UploadSequencer::OnDeviceReceive(platform::WParam, platform::LParam) {
    if (!deviceSocket) {
        return;
    }
    std::uint8_t chunk[kFramePayloadCapacity + 1] = {};  // always zero-terminated
    std::int32_t length = 0;
    deviceSocket->CopyLastReceived(chunk, length);
    if (EqualIgnoringAsciiCase(reinterpret_cast<const char*>(chunk), kAckText)) {
        const bool answered = awaitingAck == 1;
        awaitingAck = 0;
        // Without a pace the acknowledgement, not a tick, lets the next frame go.
        if (paceMs_ == 0 && answered && running_) {
            StepUpload();
            UpdateProgress();
        }
    } else if (awaitingAck == 1 && wrongReplyLength_ == 0 && length > 0) {
        wrongReply_.assign(chunk, chunk + std::min(length, kShownReplyBytes));
        wrongReplyLength_ = length;
    }
}

void UploadSequencer::OnDeviceClose(platform::WParam, platform::LParam) {
    // Nothing: a lost connection shows itself as a failed send or a late acknowledgement.
}

void UploadSequencer::OnUploadDone(platform::WParam wParam, platform::LParam) {
    // A completion posted by a run that a later Start or the window's end already abandoned
    // belongs to nobody: it must neither close the current connection nor report.
    if (!finishing_) {
        return;
    }
    finishing_ = false;
    lastResult_ = wParam == static_cast<platform::WParam>(kUploadSucceeded) ? kUploadSucceeded
                                                                            : kUploadFailed;
    host_.KillTimer(kUploadTimerId);
    if (deviceSocket) {
        deviceSocket->Close();
        deviceSocket.reset();
    }
    if (lastResult_ == kUploadSucceeded) {
        Show("Web Server Update OK!", host_.ApplicationName(), platform::kMbOk);
    } else {
        Show("Web Server Update ERROR!", kErrorCaption, platform::kMbIconHand);
    }
}

bool UploadSequencer::HandleMessage(unsigned message, platform::WParam wParam,
                                    platform::LParam lParam) {
    switch (message) {
        case platform::WM_DEVICE_RECEIVE:
            OnDeviceReceive(wParam, lParam);
            return true;
        case platform::WM_DEVICE_CLOSE:
            OnDeviceClose(wParam, lParam);
            return true;
        case platform::WM_UPLOAD_DONE:
            OnUploadDone(wParam, lParam);
            return true;
        default:
            return false;
    }
}

void UploadSequencer::OnDestroy() {
    frameQueue.ClearFrames();
    AbandonRun();
}

void UploadSequencer::FinishRun(int result) {
    host_.KillTimer(kUploadTimerId);
    running_ = false;
    finishing_ = true;
    host_.Window().PostMessage(platform::WM_UPLOAD_DONE, static_cast<platform::WParam>(result), 0);
}

void UploadSequencer::Show(const std::string& text, const std::string& caption, unsigned style) {
    lastMessage_ = text;
    host_.MessageBox(text, caption, style);
}

void UploadSequencer::RecordFailure(FailureCause::Kind kind, std::uint32_t waitedMs) {
    lastFailure_ = FailureCause{};
    lastFailure_.kind = kind;
    // Before the connection the frames are not built (totalFrames may still be the last run's).
    // Afterwards the frame taken last is the one that failed or is awaited.
    if (kind == FailureCause::Kind::kSend || kind == FailureCause::Kind::kNoAnswer ||
        kind == FailureCause::Kind::kWrongReply) {
        lastFailure_.totalFrames = totalFrames;
        lastFailure_.frame = totalFrames - frameQueue.Size();
    }
    if (kind == FailureCause::Kind::kNoAnswer || kind == FailureCause::Kind::kWrongReply) {
        lastFailure_.waitedMs = waitedMs;
        lastFailure_.timeoutMs = ackTimeoutMs_;
        if (kind == FailureCause::Kind::kWrongReply) {
            lastFailure_.reply = wrongReply_;
            lastFailure_.replyLength = wrongReplyLength_;
        }
    } else if (deviceSocket) {
        lastFailure_.systemError = deviceSocket->LastErrorText();
    }
}

void UploadSequencer::AbandonRun() {
    host_.KillTimer(kUploadTimerId);
    if (deviceSocket) {
        deviceSocket->Close();
        deviceSocket.reset();
    }
    running_ = false;
    finishing_ = false;
}

}  // namespace transfer
