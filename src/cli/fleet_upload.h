#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/log_pipe.h"
#include "cli/device_list.h"
#include "cli/device_upload_thread.h"
#include "cli/fleet_printer.h"
#include "packer/pack_limits.h"
#include "packer/web_image.h"

namespace cli {

// Uploads one image to several devices at once, one DeviceUploadThread each, and reports to a
// FleetPrinter from the calling thread (which needs a QCoreApplication). By default every
// device runs to its own end; with failFast the first failure stops the others.
class FleetUpload {
  public:
    // How often the terminal rows are redrawn.
    static constexpr int kRenderPeriodMs = 100;

    struct Options {
        std::vector<DeviceAddress> devices;
        std::shared_ptr<const packer::WebImage> image;
        packer::PackLimits limits;
        app::LogPipe* logPipe = nullptr;
        bool failFast = false;
        bool trace = false;
    };

    FleetUpload(Options options, FleetPrinter& printer);

    // Runs every upload to its end; the reports in device order. Prints progress and results
    // as they come, but not the summary.
    std::vector<DeviceRunReport> Run();

  private:
    Options options_;
    FleetPrinter& printer_;
};

}  // namespace cli
