#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/log_pipe.h"
#include "cli/device_list.h"
#include "cli/device_run_report.h"
#include "cli/upload_events.h"
#include "packer/pack_limits.h"
#include "packer/web_image.h"
#include "transfer/upload_sequencer.h"

namespace platform {
class InterruptSignals;
}

namespace cli {

// Uploads one image to one or many devices at once on Asio loops (epoll on Linux, I/O
// completion ports on Windows), so that thousands of devices cost little more than one: one
// DeviceRun each, every one with its own timers, connection and sequencer, none of which waits,
// so that a slow, silent or unreachable device holds up only itself. The image is shared, not
// copied. Up to kDevicesPerLoop devices run on the calling thread's loop; a larger fleet is
// dealt out over one loop per kDevicesPerLoop devices (as many as there are processors, at most
// kMostLoops), each further loop on a thread of its own, with every run staying on its loop.
// The other loops' events reach the calling thread, and its Qt events (it needs a
// QCoreApplication) are handled, every kQtSliceMs.
// Reports to UploadEvents from the calling thread, each device's events in their order. By default
// every device runs to its own end; with failFast the first failure stops the others. SIGINT and
// SIGTERM end every run at once (interrupted) while Run goes on.
class FleetUpload {
  public:
    // How often UploadEvents::Render is called.
    static constexpr int kRenderPeriodMs = 100;
    // How long the calling thread's loop runs before the other loops' events and Qt's events of
    // the thread are handled.
    static constexpr int kQtSliceMs = 10;
    // Descriptors kept free beside the devices' sockets (log pipe, signal pipe, name lookups).
    static constexpr long kSpareDescriptors = 8;
    // Runs started in one turn of the loop (a few milliseconds of connects).
    static constexpr std::size_t kStartsPerTurn = 64;
    static constexpr int kDefaultConnectTimeoutMs = 21000;
    // Devices one loop takes before the fleet is dealt out over more (one thread keeps up with
    // a few thousand devices at the default pace).
    static constexpr std::size_t kDevicesPerLoop = 2048;
    static constexpr std::size_t kMostLoops = 4;

    struct Options {
        std::vector<DeviceAddress> devices;
        std::shared_ptr<const packer::WebImage> image;
        packer::PackLimits limits;
        app::LogPipe* logPipe = nullptr;
        bool failFast = false;
        bool trace = false;
        int retries = 0;  // further tries of a device whose try failed
        int connectTimeoutMs = kDefaultConnectTimeoutMs;
        std::uint32_t ackTimeoutMs = transfer::kAckTimeoutMs;
        int paceMs = transfer::kTimerPeriodMs;  // least time between two frames
        bool catchSignals = true;               // SIGINT / SIGTERM interrupt the upload
        // Signals the caller already catches (from before the image was built); Run takes them
        // over instead of catching its own.
        platform::InterruptSignals* interrupts = nullptr;
        // Loops to deal the devices out over (never more than there are devices); 0: chosen
        // from the devices and the processors.
        std::size_t loops = 0;
    };

    FleetUpload(Options options, UploadEvents& events);

    // Runs every upload to its end; the reports in device order. Prints progress and results
    // as they come, but not the summary.
    std::vector<DeviceRunReport> Run();
    // After Run: the exit status a signal asked for (130 for SIGINT, 143 for SIGTERM), or 0.
    int InterruptStatus() const { return interruptStatus_; }

    // Whether `deviceCount` sockets can be opened under the open-file limit (raised to its
    // ceiling at start); otherwise false with a message saying how many the limit allows.
    static bool CheckSocketBudget(std::size_t deviceCount, std::string& message);
    // Loops for `deviceCount` devices on a machine with `processors` (0: unknown), unless asked.
    static std::size_t LoopCount(std::size_t deviceCount, std::size_t processors,
                                 std::size_t asked = 0);

  private:
    Options options_;
    UploadEvents& events_;
    int interruptStatus_ = 0;
};

}  // namespace cli
