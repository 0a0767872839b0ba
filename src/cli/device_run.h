#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include "cli/device_list.h"
#include "cli/device_run_report.h"
#include "cli/engine_window.h"
#include "cli/upload_events.h"
#include "net/logging_socket.h"
#include "packer/web_image.h"
#include "transfer/upload_sequencer.h"

namespace cli {

class EngineLink;

// One device's upload among many on one thread's Asio loop: its own message window, timers,
// connection and sequencer, with the desktop program's pacing, time-out and texts. Each try
// connects first (without waiting) and starts the sequencer once the connection is made or has
// failed; a failed try is repeated from the start, after a pause that doubles from
// kFirstRetryPauseMs, as often as Settings::retries allows. Tells `events` of its progress,
// messages, retries and end.
class DeviceRun : public transfer::SequencerHost {
  public:
    static constexpr int kFirstRetryPauseMs = 1000;
    // Pauses stop doubling after this many doublings (about 12 days; an int still holds it).
    static constexpr int kMostPauseDoublings = 20;

    struct Settings {
        DeviceAddress device;
        std::shared_ptr<const packer::WebImage> image;  // built once, shared read-only
        net::LoggingSocket* journal = nullptr;          // writes the connection's log lines
        bool trace = false;
        int retries = 0;               // further tries after a failed one
        int connectTimeoutMs = 21000;  // per connection attempt
        std::uint32_t ackTimeoutMs = transfer::kAckTimeoutMs;
        int paceMs = transfer::kTimerPeriodMs;  // least time between two frames
        std::string applicationName = "vellumix-cli";
    };

    DeviceRun(asio::io_context& loop, int index, Settings settings, UploadEvents& events);
    ~DeviceRun() override;
    DeviceRun(const DeviceRun&) = delete;
    DeviceRun& operator=(const DeviceRun&) = delete;

    // Starts the first try. The end is told through UploadEvents::Finished.
    void Start();
    // Ends the run now, without a result message: the connection is closed and the report says
    // stopped (or interrupted, with kInterruptedText). A run that has ended is not changed.
    void Stop(bool interrupted);
    bool Done() const { return done_; }
    const DeviceRunReport& Report() const { return report_; }

    // Pause before try `attempt` + 1 after try `attempt` failed.
    static int RetryPauseMs(int attempt);

    // transfer::SequencerHost
    void ExchangeFieldsToMembers() override {}
    void ResetProgress() override {}
    void SetProgressPercent(float percent) override;
    int BuildWebImage() override { return 1; }
    const std::uint8_t* ImageBytes() const override;
    std::int32_t ImageLength() const override;
    std::unique_ptr<transfer::DeviceLink> NewDeviceLink() override;
    platform::MessageTarget& Window() override { return window_; }
    std::string AddressText() override { return settings_.device.host; }
    int Port() override { return settings_.device.port; }
    void SetTimer(unsigned timerId, int periodMs) override { window_.SetTimer(timerId, periodMs); }
    void KillTimer(unsigned timerId) override { window_.KillTimer(timerId); }
    void MessageBox(const std::string& text, const std::string& caption, unsigned style) override;
    std::string ApplicationName() override { return settings_.applicationName; }

  private:
    void StartAttempt();
    void OnConnected();
    void AttemptEnded();
    void Finish(bool ok);
    std::string Cause() const;

    int index_ = 0;
    Settings settings_;
    UploadEvents& events_;
    DeviceRunReport report_;
    std::optional<std::chrono::steady_clock::time_point> started_;  // none before Start
    int lastTaken_ = -1;
    bool attemptRunning_ = false;
    bool done_ = false;

    std::unique_ptr<EngineLink> connecting_;   // made, not yet handed to the sequencer
    std::shared_ptr<const std::string> lost_;  // how the device ended this try's connection
    asio::io_context& loop_;
    asio::steady_timer retryTimer_;
    EngineWindow window_;
    transfer::SystemClock clock_;
    transfer::UploadSequencer sequencer_;  // last: it goes first, with the link it holds
};

}  // namespace cli
