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

namespace testing_support {

// The blocking connection path of the desktop program without its window, for tests that drive
// net::DeviceSocket and the sequencer against faulty devices and listeners (the command-line tool
// uploads through cli::FleetUpload instead). Hosts the upload sequencer without a window: the same
// image, frames, pacing, time-out and texts as the desktop program, with the progress and the
// messages handed to callbacks. Lives on, and is run from, one thread with a Qt event loop (the
// thread that made it): its timer, its connection's notifications and its posted messages are all
// served there.
class UploadHost : public transfer::SequencerHost {
  public:
    struct Options {
        std::string folder;
        std::string address;
        int port = 8001;
        packer::PackLimits limits;
        packer::BuildOptions build;  // --exclude and --strict
        std::string applicationName = "vellumix-cli";
    };
    using ProgressCallback = std::function<void(float percent, int framesTaken, int totalFrames)>;

    // Builds the image from options.folder at every Start, as the desktop program does.
    UploadHost(Options options, app::LogPipe* logPipe, platform::MessageBoxSink& messages);
    // Sends `image` (built once by the caller, options.folder unused): the Start's build step
    // then just succeeds. Several hosts on several threads may share one image.
    UploadHost(Options options, std::shared_ptr<const packer::WebImage> image,
               app::LogPipe* logPipe, platform::MessageBoxSink& messages);
    ~UploadHost() override;
    UploadHost(const UploadHost&) = delete;
    UploadHost& operator=(const UploadHost&) = delete;

    void SetProgressCallback(ProgressCallback callback) { progress_ = std::move(callback); }
    // Factory of the connection; by default a DeviceSocket that logs to the pipe.
    void SetLinkFactory(std::function<std::unique_ptr<transfer::DeviceLink>()> factory) {
        linkFactory_ = std::move(factory);
    }

    // Runs one upload to its end (the event loop runs meanwhile). True only when the device
    // took the whole image ("Web Server Update OK!").
    bool Run();
    // Ends the run in progress at once, without a result message: the connection is closed and
    // Run returns false. Call on the host's thread.
    void Abandon();
    // Frames taken from the queue so far in the current or last run, and how many it built.
    int FramesTaken() const { return sequencer_.TotalFrames() - sequencer_.Frames().Size(); }
    int TotalFrames() const { return sequencer_.TotalFrames(); }
    // What the last build from the folder stored and left out, and its cause when it failed.
    const packer::BuildReport& LastBuildReport() const { return buildReport_; }

    // SequencerHost
    void ExchangeFieldsToMembers() override {}
    void ResetProgress() override;
    void SetProgressPercent(float percent) override;
    int BuildWebImage() override;
    const std::uint8_t* ImageBytes() const override;
    std::int32_t ImageLength() const override;
    std::unique_ptr<transfer::DeviceLink> NewDeviceLink() override;
    platform::MessageTarget& Window() override { return window_; }
    std::string AddressText() override { return options_.address; }
    int Port() override { return options_.port; }
    void SetTimer(unsigned timerId, int periodMs) override { window_.SetTimer(timerId, periodMs); }
    void KillTimer(unsigned timerId) override { window_.KillTimer(timerId); }
    void MessageBox(const std::string& text, const std::string& caption, unsigned style) override;
    std::string ApplicationName() override { return options_.applicationName; }

  private:
    // Routes the window's messages and ticks to the sequencer.
    void ConnectWindow();

    Options options_;
    app::LogPipe* logPipe_ = nullptr;
    platform::MessageBoxSink& messages_;
    ProgressCallback progress_;
    std::function<std::unique_ptr<transfer::DeviceLink>()> linkFactory_;

    std::shared_ptr<const packer::WebImage> prebuilt_;  // null: built from the folder
    packer::WebFileTable fileTable_;
    packer::WebImage image_;
    packer::BuildReport buildReport_;
    platform::MessageWindow window_;
    transfer::SystemClock clock_;
    transfer::UploadSequencer sequencer_;
    QEventLoop* loop_ = nullptr;  // set while Run waits for the result
};

}  // namespace testing_support
