#include "support/upload_host.h"

#include <QEventLoop>

#include "net/device_socket.h"

namespace testing_support {

UploadHost::UploadHost(Options options, app::LogPipe* logPipe, platform::MessageBoxSink& messages)
    : options_(std::move(options)),
      logPipe_(logPipe),
      messages_(messages),
      fileTable_(options_.limits.maxFileCount),
      sequencer_(*this, clock_) {
    // The image buffer grows with the files read at each build, not with the capacity.
    ConnectWindow();
}

UploadHost::UploadHost(Options options, std::shared_ptr<const packer::WebImage> image,
                       app::LogPipe* logPipe, platform::MessageBoxSink& messages)
    : options_(std::move(options)),
      logPipe_(logPipe),
      messages_(messages),
      prebuilt_(std::move(image)),
      fileTable_(0),
      sequencer_(*this, clock_) {
    ConnectWindow();
}

void UploadHost::ConnectWindow() {
    window_.SetMessageHandler(
        [this](unsigned message, platform::WParam wParam, platform::LParam lParam) {
            sequencer_.HandleMessage(message, wParam, lParam);
            if (loop_ != nullptr && !sequencer_.RunInProgress()) {
                loop_->quit();
            }
        });
    window_.SetTimerHandler([this](unsigned timerId) { sequencer_.OnTimer(timerId); });
}

UploadHost::~UploadHost() {
    sequencer_.OnDestroy();
}

void UploadHost::Abandon() {
    sequencer_.OnDestroy();
    if (loop_ != nullptr) {
        loop_->quit();
    }
}

bool UploadHost::Run() {
    // The run ends with its result message, or at once when Start stopped before arming the
    // timer (build, create or connect failed, and the message has been shown).
    sequencer_.OnStart();
    if (sequencer_.RunInProgress()) {
        QEventLoop loop;
        loop_ = &loop;
        loop.exec();
        loop_ = nullptr;
    }
    return sequencer_.LastResult() == transfer::kUploadSucceeded;
}

void UploadHost::ResetProgress() {
    if (progress_) {
        progress_(0.0f, 0, 0);
    }
}

void UploadHost::SetProgressPercent(float percent) {
    if (progress_) {
        const int total = sequencer_.TotalFrames();
        progress_(percent, total - sequencer_.Frames().Size(), total);
    }
}

int UploadHost::BuildWebImage() {
    if (prebuilt_) {
        return 1;
    }
    return packer::BuildWebImage(options_.folder, options_.limits, fileTable_, image_, messages_,
                                 &buildReport_, options_.build);
}

const std::uint8_t* UploadHost::ImageBytes() const {
    return prebuilt_ ? prebuilt_->imageBuffer.data() : image_.imageBuffer.data();
}

std::int32_t UploadHost::ImageLength() const {
    return prebuilt_ ? prebuilt_->usedLength : image_.usedLength;
}

std::unique_ptr<transfer::DeviceLink> UploadHost::NewDeviceLink() {
    if (linkFactory_) {
        return linkFactory_();
    }
    return std::make_unique<net::DeviceSocket>(logPipe_);
}

void UploadHost::MessageBox(const std::string& text, const std::string& caption, unsigned style) {
    messages_.MessageBox(text, caption, style);
}

}  // namespace testing_support
