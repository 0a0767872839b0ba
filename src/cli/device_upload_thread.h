#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include <QThread>

#include "app/log_pipe.h"
#include "cli/device_list.h"
#include "packer/pack_limits.h"
#include "packer/web_image.h"
#include "transfer/ack_trace.h"

namespace cli {

// What one device's upload came to.
struct DeviceRunReport {
    DeviceAddress device;
    bool ok = false;       // "Web Server Update OK!"
    bool stopped = false;  // ended early by RequestStop, not by its own failure
    std::string message;   // the last message the run showed (empty when none)
    int framesTaken = 0;
    int totalFrames = 0;
    std::int64_t elapsedMs = 0;                 // from the thread's start to the result
    std::shared_ptr<transfer::AckTrace> trace;  // when tracing was asked for
};

// One device's upload on a thread of its own: its own event loop, message window, connection
// and sequencer, with the unchanged pacing, time-out and texts, so that a blocking connect or
// send to a slow or silent device holds up nothing but this thread.
class DeviceUploadThread : public QThread {
    Q_OBJECT

  public:
    // How often the thread looks whether it was asked to stop, while its run goes on.
    static constexpr int kStopPollMs = 50;

    struct Settings {
        DeviceAddress device;
        std::shared_ptr<const packer::WebImage> image;  // built once, shared read-only
        packer::PackLimits limits;
        app::LogPipe* logPipe = nullptr;  // shared; its writes are thread-safe
        bool trace = false;
        std::string applicationName = "vellumix-cli";
    };

    DeviceUploadThread(int index, Settings settings, QObject* parent = nullptr);
    // Asks the run to stop and waits for the thread.
    ~DeviceUploadThread() override;

    // Any thread. The run ends without a result message at its next look (kStopPollMs, or the
    // next wake-up of a blocking connect or send); a run that already ended is not changed.
    void RequestStop();
    int Index() const { return index_; }
    const Settings& GetSettings() const { return settings_; }
    // Valid once the thread has finished.
    const DeviceRunReport& Report() const { return report_; }

  signals:
    // Emitted from the thread whenever the count of frames taken changes.
    void Progress(int index, float percent, int framesTaken, int totalFrames);

  protected:
    void run() override;

  private:
    int index_ = 0;
    Settings settings_;
    std::atomic<bool> stopRequested_{false};
    DeviceRunReport report_;
};

}  // namespace cli
