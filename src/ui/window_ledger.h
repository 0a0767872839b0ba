#pragma once

#include <cstdint>
#include <string>

#include "app/log_pipe.h"
#include "ledger/ledger.h"
#include "packer/web_image.h"

namespace ui {

// Records the window's uploads in the ledger as vellumix-cli records its own: a row when Start
// has built the image (before connecting), completed with the result message. Nothing is ever
// shown: a ledger that cannot be written is noted on the diagnostic pipe
// ("vellumix: ledger FILE: REASON; this upload is not recorded") and the upload goes on.
class WindowLedger {
  public:
    explicit WindowLedger(app::LogPipe* logPipe) : logPipe_(logPipe) {}
    ~WindowLedger();
    WindowLedger(const WindowLedger&) = delete;
    WindowLedger& operator=(const WindowLedger&) = delete;

    // A Start built `image` from `folder` and is about to connect to address:port. An upload
    // still open (a Start over a running one) is recorded as interrupted first.
    void Started(const std::string& address, int port, const packer::WebImage& image,
                 const std::string& folder);
    // The share of frames sent, as the progress bar shows it.
    void Progress(float percent);
    // The run ended with the message the window shows ("Web Server Update OK!" is success).
    void Ended(const std::string& message);
    // The run ended without a result: the window closed, or another Start replaced it.
    void Interrupted();

  private:
    void Finish(const std::string& result, const std::string& message, bool interrupted);
    void Note(const std::string& reason);

    app::LogPipe* logPipe_;
    std::string path_;
    ledger::Ledger book_;
    std::int64_t id_ = 0;  // the open row, 0 when none
    int totalFrames_ = 0;
    int framesSent_ = 0;
    int tries_ = 0;
};

}  // namespace ui
