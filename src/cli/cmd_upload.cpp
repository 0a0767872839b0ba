#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>

#include "app/log_pipe.h"
#include "cli/cli_context.h"
#include "cli/commands.h"
#include "cli/device_list.h"
#include "cli/fleet_printer.h"
#include "cli/fleet_upload.h"
#include "cli/pack_report.h"
#include "cli/trace_report.h"
#include "cli/upload_host.h"
#include "net/device_socket.h"
#include "packer/web_image.h"
#include "transfer/ack_trace_link.h"
#include "transfer/upload_sequencer.h"

namespace cli {

namespace {

struct UploadOptions {
    std::string folder;
    std::vector<std::string> devices;  // --device, repeatable
    std::string devicesFile;           // --devices
    int port = 8001;
    LimitOptions limits;
    bool json = false;
    bool dryRun = false;
    bool failFast = false;
    bool trace = false;
    packer::BuildOptions build;
};

// Time still needed at best: one tick per frame left, and one that finds the queue empty.
long long EstimatedMsLeft(int framesTaken, int totalFrames) {
    const int left = totalFrames - framesTaken;
    return static_cast<long long>(left + 1) * transfer::kTimerPeriodMs;
}

std::string FormatSeconds(long long ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
    return text;
}

// Shows the share of frames taken as the window's bar does: a redrawn line on a terminal,
// a line per whole per cent otherwise, or one JSON object per step.
class ProgressPrinter {
  public:
    enum class Mode { Terminal, Lines, Json };

    explicit ProgressPrinter(Mode mode) : mode_(mode) {}

    void Show(float percent, int framesTaken, int totalFrames) {
        if (totalFrames <= 0) {
            return;  // the reset before the frames exist
        }
        const long long left = EstimatedMsLeft(framesTaken, totalFrames);
        char number[16];
        std::snprintf(number, sizeof number, "%.2f", static_cast<double>(percent));
        switch (mode_) {
            case Mode::Terminal: {
                if (framesTaken == lastFrames_) {
                    return;
                }
                constexpr int kWidth = 30;
                const int filled = static_cast<int>(percent / 100.0f * kWidth);
                std::string bar(static_cast<std::size_t>(filled), '#');
                bar.resize(kWidth, ' ');
                std::cout << "\r[" << bar << "] " << number << "%  " << framesTaken << "/"
                          << totalFrames << " frames  ~" << FormatSeconds(left) << " left  "
                          << std::flush;
                lineOpen_ = true;
                break;
            }
            case Mode::Lines: {
                const int whole = static_cast<int>(percent);
                if (whole == lastWhole_) {
                    return;
                }
                lastWhole_ = whole;
                std::cout << "progress " << number << "% (" << framesTaken << "/" << totalFrames
                          << " frames, ~" << FormatSeconds(left) << " left)" << std::endl;
                break;
            }
            case Mode::Json: {
                if (framesTaken == lastFrames_) {
                    return;
                }
                QJsonObject object{{"event", "progress"},
                                   {"percent", static_cast<double>(percent)},
                                   {"frames_taken", framesTaken},
                                   {"total_frames", totalFrames},
                                   {"estimated_ms_left", left}};
                std::cout << QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString()
                          << std::endl;
                break;
            }
        }
        lastFrames_ = framesTaken;
    }

    // Ends a terminal progress line before other output.
    void Finish() {
        if (lineOpen_) {
            std::cout << std::endl;
            lineOpen_ = false;
        }
    }

  private:
    Mode mode_;
    int lastFrames_ = -1;
    int lastWhole_ = -1;
    bool lineOpen_ = false;
};

// The messages of an upload: errors to stderr, the success text to stdout, or, with --json,
// one result object on stdout (errors still also on stderr).
class UploadMessages : public platform::MessageBoxSink {
  public:
    UploadMessages(bool json, ProgressPrinter& progress) : json_(json), progress_(progress) {}

    void MessageBox(const std::string& text, const std::string&, unsigned style) override {
        progress_.Finish();
        if (style == platform::kMbIconHand) {
            std::cerr << text << std::endl;
            lastError_ = text;
        } else if (!json_) {
            std::cout << text << std::endl;
        }
        lastText_ = text;
    }

    const std::string& LastText() const { return lastText_; }

  private:
    bool json_ = false;
    ProgressPrinter& progress_;
    std::string lastText_;
    std::string lastError_;
};

struct QtApplication {
    int argc = 1;
    char name[16] = "vellumix-cli";
    char* argv[2] = {name, nullptr};
    QCoreApplication application{argc, argv};
};

void PrintTrace(const transfer::AckTrace& trace, const std::string& device, bool json) {
    if (json) {
        PrintAckTraceJson(trace, device, std::cout);
    } else {
        PrintAckTrace(trace, device, std::cout);
    }
    std::cout.flush();
}

// One device: the desktop program's Start, with the image built by the host itself.
int RunSingleUpload(const UploadOptions& options, const DeviceAddress& device,
                    const packer::PackLimits& limits) {
    QtApplication qt;

    // Attached once, as the desktop program does at start-up.
    app::LogPipe logPipe;
    logPipe.Open();

    ProgressPrinter::Mode mode = ProgressPrinter::Mode::Lines;
    if (options.json) {
        mode = ProgressPrinter::Mode::Json;
    } else if (isatty(STDOUT_FILENO) != 0) {
        mode = ProgressPrinter::Mode::Terminal;
    }
    ProgressPrinter progress(mode);
    UploadMessages messages(options.json, progress);

    UploadHost::Options hostOptions;
    hostOptions.folder = options.folder;
    hostOptions.address = device.host;
    hostOptions.port = device.port;
    hostOptions.limits = limits;
    hostOptions.build = options.build;
    UploadHost host(hostOptions, &logPipe, messages);
    host.SetProgressCallback(
        [&progress](float percent, int taken, int total) { progress.Show(percent, taken, total); });
    std::unique_ptr<transfer::AckTrace> trace;
    if (options.trace) {
        trace = std::make_unique<transfer::AckTrace>();
        host.SetLinkFactory([&logPipe, &trace]() -> std::unique_ptr<transfer::DeviceLink> {
            return std::make_unique<transfer::AckTraceLink>(
                std::make_unique<net::DeviceSocket>(&logPipe), *trace);
        });
    }
    const bool succeeded = host.Run();
    progress.Finish();
    PrintLeftOutWarnings(host.LastBuildReport(), std::cerr);
    PrintBuildCause(host.LastBuildReport(), std::cerr);

    if (options.json) {
        QJsonObject result{{"event", "result"},
                           {"ok", succeeded},
                           {"device", QString::fromStdString(device.host)},
                           {"port", device.port},
                           {"message", QString::fromStdString(messages.LastText())}};
        std::cout << QJsonDocument(result).toJson(QJsonDocument::Compact).toStdString()
                  << std::endl;
    }
    if (trace) {
        PrintTrace(*trace, device.Label(), options.json);
    }
    logPipe.Close();
    return succeeded ? kExitOk : kExitFailure;
}

// Several devices: the image is built once, then every device gets its own thread.
int RunFleetUpload(const UploadOptions& options, const std::vector<DeviceAddress>& devices,
                   const packer::PackLimits& limits) {
    ConsoleMessageBox buildMessages;
    auto image = std::make_shared<packer::WebImage>();
    packer::WebFileTable table(limits.maxFileCount);
    std::vector<std::uint8_t> readBuffer;
    packer::BuildReport buildReport;
    if (packer::BuildWebImage(options.folder, limits, table, *image, readBuffer, buildMessages,
                              &buildReport, options.build) == 0) {
        PrintBuildCause(buildReport, std::cerr);
        return kExitFailure;
    }
    PrintLeftOutWarnings(buildReport, std::cerr);

    QtApplication qt;
    app::LogPipe logPipe;
    logPipe.Open();

    FleetPrinter::Mode mode = FleetPrinter::Mode::Lines;
    if (options.json) {
        mode = FleetPrinter::Mode::Json;
    } else if (isatty(STDOUT_FILENO) != 0) {
        mode = FleetPrinter::Mode::Terminal;
    }
    FleetPrinter printer(mode, devices, std::cout, std::cerr);
    FleetUpload::Options fleetOptions;
    fleetOptions.devices = devices;
    fleetOptions.image = image;
    fleetOptions.limits = limits;
    fleetOptions.logPipe = &logPipe;
    fleetOptions.failFast = options.failFast;
    fleetOptions.trace = options.trace;
    FleetUpload fleet(fleetOptions, printer);
    const auto reports = fleet.Run();
    printer.Summary(reports);

    bool allOk = true;
    for (const auto& report : reports) {
        allOk = allOk && report.ok;
        if (report.trace) {
            PrintTrace(*report.trace, report.device.Label(), options.json);
        }
    }
    logPipe.Close();
    return allOk ? kExitOk : kExitFailure;
}

// The devices of --device and --devices; nullopt after printing why (exit code in `exitCode`).
std::optional<std::vector<DeviceAddress>> ResolveDevices(const UploadOptions& options,
                                                         int& exitCode) {
    std::string fileText;
    if (!options.devicesFile.empty()) {
        std::ifstream in(options.devicesFile, std::ios::binary);
        if (!in) {
            std::cerr << "upload: cannot read " << options.devicesFile << std::endl;
            exitCode = kExitFailure;
            return std::nullopt;
        }
        std::ostringstream text;
        text << in.rdbuf();
        fileText = text.str();
    }
    const DeviceListResult list = CombineDevices(options.devices, fileText, options.port);
    if (!list.ok()) {
        std::cerr << "upload: " << (options.devicesFile.empty() ? "" : options.devicesFile + ": ")
                  << list.error << std::endl;
        exitCode = kExitUsage;
        return std::nullopt;
    }
    return list.devices;
}

int RunUpload(const UploadOptions& options) {
    int exitCode = kExitOk;
    const auto devices = ResolveDevices(options, exitCode);
    if (!devices) {
        return exitCode;
    }
    if (devices->empty() && !options.dryRun) {
        std::cerr << "upload: --device or --devices is required (or --dry-run)" << std::endl;
        return kExitUsage;
    }
    const auto limits = ResolveLimits(options.limits, std::cerr);
    if (!limits) {
        return kExitFailure;
    }
    if (options.dryRun) {
        return RunPackReport(options.folder, *limits, options.json, std::cout, std::cerr, nullptr,
                             false, options.build);
    }
    if (devices->size() == 1 && options.devicesFile.empty()) {
        return RunSingleUpload(options, devices->front(), *limits);
    }
    return RunFleetUpload(options, *devices, *limits);
}

}  // namespace

void AddUploadCommand(CLI::App& app, int& exitCode) {
    auto options = std::make_shared<UploadOptions>();
    CLI::App* command = app.add_subcommand(
        "upload", "Pack a web folder and upload it to a device, as the desktop program's Start");
    command->add_option("FOLDER", options->folder, "Web folder to pack and upload")->required();
    command
        ->add_option("--device", options->devices,
                     "Device address[:port] (dotted IPv4 or host name); repeat it to upload to "
                     "several devices at once")
        ->allow_extra_args(false);
    command->add_option("--devices", options->devicesFile,
                        "File of devices, one address[:port] a line (blank lines and # comments "
                        "allowed)");
    command->add_option("--port", options->port, "Device TCP port where a device names none")
        ->capture_default_str()
        ->check(CLI::Range(1, 65535));
    AddLimitOptions(*command, options->limits);
    AddBuildOptions(*command, options->build);
    command->add_flag("--json", options->json,
                      "Print one JSON object per progress step and one for the result");
    command->add_flag("--dry-run", options->dryRun,
                      "Build the image and print the pack report without connecting");
    command->add_flag("--fail-fast", options->failFast,
                      "With several devices: stop the others at the first failure");
    command->add_flag("--trace", options->trace,
                      "Print, per device, when each frame was sent and how (and how late) the "
                      "device answered");
    command->callback([options, &exitCode] { exitCode = RunUpload(*options); });
}

}  // namespace cli
