#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/log_pipe.h"
#include "packer/pack_limits.h"
#include "packer/web_file_table.h"
#include "packer/web_image.h"
#include "platform/message_box.h"
#include "platform/message_window_qt.h"
#include "transfer/upload_sequencer.h"

class QEventLoop;

namespace cli {

// Hosts the upload sequencer without a window: the same image, frames, pacing, time-out and
// texts as the desktop program, with the progress and the messages handed to callbacks.
// Needs a Qt event loop on the calling thread.
class UploadHost : public transfer::SequencerHost {
  public:
    struct Options {
        std::string folder;
        std::string address;
        int port = 8001;
        packer::PackLimits limits;
        std::string applicationName = "vellumix-cli";
    };
    using ProgressCallback = std::function<void(float percent, int framesTaken, int totalFrames)>;

    UploadHost(Options options, app::LogPipe* logPipe, platform::MessageBoxSink& messages);
    ~UploadHost() override;

    void SetProgressCallback(ProgressCallback callback) { progress_ = std::move(callback); }
    // Factory of the connection; by default a DeviceSocket that logs to the pipe.
    void SetLinkFactory(std::function<std::unique_ptr<transfer::DeviceLink>()> factory) {
        linkFactory_ = std::move(factory);
    }

    // Runs one upload to its end (the event loop runs meanwhile). True only when the device
    // took the whole image ("Web Server Update OK!").
    bool Run();

    // SequencerHost
    void ExchangeFieldsToMembers() override {}
    void ResetProgress() override;
    void SetProgressPercent(float percent) override;
    int BuildWebImage() override;
    const std::uint8_t* ImageBytes() const override { return image_.imageBuffer.data(); }
    std::int32_t ImageLength() const override { return image_.usedLength; }
    std::unique_ptr<transfer::DeviceLink> NewDeviceLink() override;
    platform::MessageTarget& Window() override { return window_; }
    std::string AddressText() override { return options_.address; }
    int Port() override { return options_.port; }
    void SetTimer(unsigned timerId, int periodMs) override { window_.SetTimer(timerId, periodMs); }
    void KillTimer(unsigned timerId) override { window_.KillTimer(timerId); }
    void MessageBox(const std::string& text, const std::string& caption, unsigned style) override;
    std::string ApplicationName() override { return options_.applicationName; }

  private:
    Options options_;
    app::LogPipe* logPipe_ = nullptr;
    platform::MessageBoxSink& messages_;
    ProgressCallback progress_;
    std::function<std::unique_ptr<transfer::DeviceLink>()> linkFactory_;

    packer::WebFileTable fileTable_;
    packer::WebImage image_;
    std::vector<std::uint8_t> readBuffer_;
    platform::MessageWindow window_;
    transfer::SystemClock clock_;
    transfer::UploadSequencer sequencer_;
    QEventLoop* loop_ = nullptr;  // set while Run waits for the result
};

}  // namespace cli
