#pragma once

#include <string>

#include "cli/device_run_report.h"

namespace cli {

// What an upload to one or more devices tells its printer, on the thread that runs it. `index`
// is the device's place in the list given to the upload.
class UploadEvents {
  public:
    virtual ~UploadEvents() = default;

    // The share of frames taken changed (or the frames of a new try were built).
    virtual void Progress(int index, float percent, int framesTaken, int totalFrames) = 0;
    // A message the desktop program would show in a box, as it comes.
    virtual void Message(int /*index*/, const std::string& /*text*/, const std::string& /*caption*/,
                         unsigned /*style*/) {}
    // Try `attempt` of at most `attempts` failed with `message` (and `cause`, when known); the
    // next try starts from the beginning after `pauseMs`.
    virtual void Attempt(int index, int attempt, int attempts, int pauseMs,
                         const std::string& message, const std::string& cause) = 0;
    // The device's upload is over; called once per device.
    virtual void Finished(int index, const DeviceRunReport& report) = 0;
    // Whether Step is wanted (--verbose): each device's connection then tells every step.
    virtual bool WantsSteps() const { return false; }
    // One step of device `index`'s connection: "connected", "frame 3 of 13 sent (1024 bytes)",
    // "frame 3 acknowledged" (see StepLink).
    virtual void Step(int /*index*/, const std::string& /*line*/) {}
    // Called every few tenths of a second while the upload runs (for redrawn rows).
    virtual void Render() {}
};

// Passes every event on to another UploadEvents (the printer): the base of those that watch an
// upload's events on their way, each of which overrides only what it notes.
class ForwardingUploadEvents : public UploadEvents {
  public:
    explicit ForwardingUploadEvents(UploadEvents& printer) : printer_(printer) {}

    void Progress(int index, float percent, int framesTaken, int totalFrames) override {
        printer_.Progress(index, percent, framesTaken, totalFrames);
    }
    void Message(int index, const std::string& text, const std::string& caption,
                 unsigned style) override {
        printer_.Message(index, text, caption, style);
    }
    void Attempt(int index, int attempt, int attempts, int pauseMs, const std::string& message,
                 const std::string& cause) override {
        printer_.Attempt(index, attempt, attempts, pauseMs, message, cause);
    }
    void Finished(int index, const DeviceRunReport& report) override {
        printer_.Finished(index, report);
    }
    bool WantsSteps() const override { return printer_.WantsSteps(); }
    void Step(int index, const std::string& line) override { printer_.Step(index, line); }
    void Render() override { printer_.Render(); }

  private:
    UploadEvents& printer_;
};

}  // namespace cli
