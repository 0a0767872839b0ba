#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonObject>
#include <QTimer>

#include "app/log_pipe.h"
#include "cli/cli_context.h"
#include "cli/commands.h"
#include "cli/device_list.h"
#include "cli/fleet_printer.h"
#include "cli/fleet_upload.h"
#include "cli/output.h"
#include "cli/pack_report.h"
#include "cli/step_link.h"
#include "cli/trace_report.h"
#include "cli/upload_host.h"
#include "net/device_socket.h"
#include "packer/image_reader.h"
#include "packer/web_image.h"
#include "platform/sha256.h"
#include "platform/terminal.h"
#include "transfer/ack_trace_link.h"
#include "transfer/frames.h"
#include "transfer/upload_sequencer.h"

namespace cli {

namespace {

constexpr char kStdinName[] = "-";
// The first pause between two tries of a device; it doubles with every further try.
constexpr std::int64_t kFirstRetryPauseMs = 1000;

struct UploadOptions {
    std::string source;                // web folder, image file, or "-" for an image on stdin
    std::vector<std::string> devices;  // --device, repeatable
    std::string devicesFile;           // --devices
    int port = 8001;
    LimitOptions limits;
    bool json = false;
    bool dryRun = false;
    bool failFast = false;
    bool trace = false;
    double connectTimeoutSeconds = 21.0;
    int ackTimeoutMs = static_cast<int>(transfer::kAckTimeoutMs);
    int retries = 0;
};

// The image to send and what the result says of it.
struct PreparedImage {
    std::shared_ptr<const packer::WebImage> image;
    UploadImageInfo info;
    std::string label;  // the folder or image file it came from
};

// Why no image could be prepared: the message (the system's own, or the error text) and its
// cause when one is known.
struct ImageFailure {
    std::string message;
    std::string cause;
};

std::string FormatSeconds(long long ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
    return text;
}

UploadTiming TimingOf(const UploadOptions& options) {
    UploadTiming timing;
    timing.connectTimeoutMs = static_cast<int>(options.connectTimeoutSeconds * 1000.0);
    timing.ackTimeoutMs = static_cast<std::uint32_t>(options.ackTimeoutMs);
    timing.retries = options.retries;
    return timing;
}

// Shows the share of frames taken as the window's bar does: a redrawn line on a terminal, a
// line per whole per cent otherwise.
class ProgressPrinter {
  public:
    explicit ProgressPrinter(bool terminal) : terminal_(terminal) {}

    void Show(float percent, int framesTaken, int totalFrames) {
        if (totalFrames <= 0 || Quiet()) {
            return;  // the reset before the frames exist
        }
        const long long left = EstimatedMsLeft(framesTaken, totalFrames);
        char number[16];
        std::snprintf(number, sizeof number, "%.2f", static_cast<double>(percent));
        if (terminal_) {
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
        } else {
            const int whole = static_cast<int>(percent);
            if (whole == lastWhole_) {
                return;
            }
            lastWhole_ = whole;
            std::cout << "progress " << number << "% (" << framesTaken << "/" << totalFrames
                      << " frames, ~" << FormatSeconds(left) << " left)" << std::endl;
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
    bool terminal_ = false;
    int lastFrames_ = -1;
    int lastWhole_ = -1;
    bool lineOpen_ = false;
};

// The messages of one try: errors to stderr at once (as the window shows them at once), the
// success text to stdout unless quiet; with --json nothing on stdout (the events say it).
class UploadMessages : public platform::MessageBoxSink {
  public:
    UploadMessages(bool json, ProgressPrinter& progress) : json_(json), progress_(progress) {}

    void MessageBox(const std::string& text, const std::string&, unsigned style) override {
        progress_.Finish();
        if (style == platform::kMbIconHand) {
            std::cerr << text << std::endl;
        } else if (!json_ && !Quiet()) {
            std::cout << text << std::endl;
        }
        lastText_ = text;
    }

    const std::string& LastText() const { return lastText_; }

  private:
    bool json_ = false;
    ProgressPrinter& progress_;
    std::string lastText_;
};

struct QtApplication {
    int argc = 1;
    char name[16] = "vellumix-cli";
    char* argv[2] = {name, nullptr};
    QCoreApplication application{argc, argv};
};

// Waits `ms` with the event loop running.
void Pause(std::int64_t ms) {
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(ms), &loop, &QEventLoop::quit);
    loop.exec();
}

// One device: the desktop program's Start, tried again after a failure when --retries asks.
int RunSingleUpload(const UploadOptions& options, const DeviceAddress& device,
                    const packer::PackLimits& limits, const PreparedImage& prepared) {
    QtApplication qt;

    // Attached once, as the desktop program does at start-up.
    app::LogPipe logPipe;
    logPipe.Open();

    // Each step of --verbose is a line of its own, so the progress is never redrawn in place.
    ProgressPrinter progress(!options.json && !Verbose() &&
                             platform::IsTerminal(platform::StandardStream::kOutput));
    std::unique_ptr<FleetPrinter> json;
    if (options.json) {
        json = std::make_unique<FleetPrinter>(
            FleetPrinter::Mode::Json, std::vector<DeviceAddress>{device}, std::cout, std::cerr);
        json->SetImage(prepared.info);
    }
    std::ostream& steps = options.json ? std::cerr : std::cout;

    DeviceRunReport report;
    report.device = device;
    const int attempts = options.retries + 1;
    const auto started = std::chrono::steady_clock::now();
    for (int attempt = 1;; ++attempt) {
        UploadMessages messages(options.json, progress);
        UploadHost::Options hostOptions;
        hostOptions.address = device.host;
        hostOptions.port = device.port;
        hostOptions.limits = limits;
        hostOptions.timing = TimingOf(options);
        UploadHost host(hostOptions, prepared.image, &logPipe, messages);
        host.SetProgressCallback([&](float percent, int taken, int total) {
            if (json) {
                if (total > 0 && taken != report.framesTaken) {
                    report.framesTaken = taken;
                    json->Progress(0, percent, taken, total);
                }
            } else {
                progress.Show(percent, taken, total);
            }
        });
        if (options.trace) {
            report.trace = std::make_shared<transfer::AckTrace>();
        }
        host.SetLinkFactory([&]() -> std::unique_ptr<transfer::DeviceLink> {
            std::unique_ptr<transfer::DeviceLink> link =
                std::make_unique<net::DeviceSocket>(&logPipe);
            if (Verbose()) {
                link = std::make_unique<StepLink>(
                    std::move(link),
                    [&steps, &progress](const std::string& line) {
                        progress.Finish();
                        steps << line << std::endl;
                    },
                    [&host] { return host.TotalFrames(); });
            }
            if (report.trace) {
                link = std::make_unique<transfer::AckTraceLink>(std::move(link), *report.trace);
            }
            return link;
        });
        report.framesTaken = -1;
        report.ok = host.Run();
        progress.Finish();
        report.attempts = attempt;
        report.message = messages.LastText();
        report.cause = host.FailureCause();
        report.framesTaken = host.FramesTaken();
        report.totalFrames = host.TotalFrames();
        if (report.ok || attempt >= attempts) {
            break;
        }
        const std::int64_t pauseMs = kFirstRetryPauseMs << (attempt - 1);
        if (json) {
            json->Attempt(0, attempt + 1, attempts, pauseMs, report.message, report.cause);
        } else {
            std::cerr << FleetPrinter::CauseLine(device.Label(), report.cause) << "\n"
                      << FleetPrinter::CauseLine(device.Label(),
                                                 "try " + std::to_string(attempt + 1) + " of " +
                                                     std::to_string(attempts) + " in " +
                                                     FormatSeconds(pauseMs))
                      << std::endl;
        }
        Pause(pauseMs);
    }
    report.elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - started)
                           .count();

    if (json) {
        json->Finished(0, report);
        json->Summary({report});
    } else {
        if (!report.ok && !report.cause.empty()) {
            std::cerr << FleetPrinter::CauseLine(device.Label(), report.cause) << std::endl;
        }
        if (report.trace) {
            PrintAckTrace(*report.trace, device.Label(), std::cout);
            std::cout.flush();
        }
    }
    logPipe.Close();
    return report.ok ? kExitOk : kExitFailure;
}

// Several devices: every device gets its own connection, pacing and time-out.
int RunFleetUpload(const UploadOptions& options, const std::vector<DeviceAddress>& devices,
                   const packer::PackLimits& limits, const PreparedImage& prepared) {
    QtApplication qt;
    app::LogPipe logPipe;
    logPipe.Open();

    FleetPrinter::Mode mode = FleetPrinter::Mode::Lines;
    if (options.json) {
        mode = FleetPrinter::Mode::Json;
    } else if (!Verbose() && platform::IsTerminal(platform::StandardStream::kOutput)) {
        mode = FleetPrinter::Mode::Terminal;
    }
    FleetPrinter printer(mode, devices, std::cout, std::cerr);
    printer.SetImage(prepared.info);
    FleetUpload::Options fleetOptions;
    fleetOptions.devices = devices;
    fleetOptions.image = prepared.image;
    fleetOptions.limits = limits;
    fleetOptions.logPipe = &logPipe;
    fleetOptions.failFast = options.failFast;
    fleetOptions.trace = options.trace;
    fleetOptions.timing = TimingOf(options);
    FleetUpload fleet(fleetOptions, printer);
    const auto reports = fleet.Run();
    printer.Summary(reports);

    bool allOk = true;
    for (const auto& report : reports) {
        allOk = allOk && report.ok;
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

// True when `source` names an image rather than a web folder: "-" (standard input), or
// anything that exists and is not a folder (a regular file, and also a FIFO or device, which
// the image reader then refuses). A path that does not exist stays a folder, so that the
// builder says "web server path is empty!" as the window does.
bool IsImageSource(const std::string& source) {
    if (source == kStdinName) {
        return true;
    }
    std::error_code error;
    const auto status = std::filesystem::status(source, error);
    return !error && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

// The whole image file (or standard input for "-"); false with the reason in `error`.
bool ReadImageBytes(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& error) {
    if (path == kStdinName) {
        bytes.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        return true;
    }
    std::error_code code;
    if (!std::filesystem::is_regular_file(path, code)) {
        error = "not a regular file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot be opened";
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = "read error";
        return false;
    }
    return true;
}

UploadImageInfo InfoOf(const std::uint8_t* bytes, std::size_t length) {
    UploadImageInfo info;
    info.sha256 = platform::Sha256::Hex(platform::Sha256::Of(bytes, length));
    info.imageBytes = static_cast<std::int64_t>(length);
    return info;
}

// An image file, sent exactly as it is after the checks of `list`, and refused when it holds
// more than the device's capacity R. Its directory keeps its own entry count N: the device
// takes the bytes as they are, so --max-files does not apply to it.
std::optional<PreparedImage> LoadImage(const std::string& source, const packer::PackLimits& limits,
                                       ImageFailure& failure) {
    const std::string label = source == kStdinName ? "standard input" : source;
    std::vector<std::uint8_t> bytes;
    std::string error;
    if (!ReadImageBytes(source, bytes, error)) {
        failure.message = "cannot read " + label;
        failure.cause = error;
        return std::nullopt;
    }
    if (bytes.size() > static_cast<std::size_t>(limits.maxRomBytes)) {
        failure.message = "image " + label + " is larger than the device's capacity";
        failure.cause = std::to_string(bytes.size()) + " bytes, at most " +
                        std::to_string(limits.maxRomBytes) + " (--max-rom)";
        return std::nullopt;
    }
    const packer::ImageReadResult result = packer::ReadImageDirectory(bytes.data(), bytes.size());
    if (!result.ok) {
        failure.message = "malformed image " + label;
        failure.cause = result.error;
        return std::nullopt;
    }
    PreparedImage prepared;
    prepared.info = InfoOf(bytes.data(), bytes.size());
    prepared.label = label;
    auto image = std::make_shared<packer::WebImage>();
    image->usedLength = static_cast<std::int32_t>(bytes.size());
    image->imageBuffer = std::move(bytes);
    prepared.image = std::move(image);
    return prepared;
}

// The image of a web folder, built as the window's Start builds it (its messages on stderr).
std::optional<PreparedImage> BuildImage(const std::string& folder, const packer::PackLimits& limits,
                                        ImageFailure& failure) {
    ConsoleMessageBox buildMessages(std::cerr, std::cerr);
    auto image = std::make_shared<packer::WebImage>();
    packer::WebFileTable table(limits.maxFileCount);
    std::vector<std::uint8_t> readBuffer;
    if (packer::BuildWebImage(folder, limits, table, *image, readBuffer, buildMessages) == 0) {
        const auto& shown = buildMessages.Messages();
        failure.message = shown.empty() ? "the image could not be built" : shown.back().text;
        return std::nullopt;
    }
    PreparedImage prepared;
    prepared.info = InfoOf(image->imageBuffer.data(), static_cast<std::size_t>(image->usedLength));
    prepared.label = folder;
    prepared.image = std::move(image);
    return prepared;
}

// Without --dry-run's folder report: what an image file holds, as `pack` reports a folder.
int ReportImage(const PreparedImage& prepared, bool json) {
    const auto& image = *prepared.image;
    const auto directory =
        packer::ReadImageDirectory(image.imageBuffer.data(), image.imageBuffer.size()).directory;
    const std::int64_t frames = transfer::FrameCount(image.usedLength);
    const std::int64_t estimatedMs = EstimatedUploadMs(image.usedLength);
    if (json) {
        JsonLines out(std::cout);
        for (const auto& entry : directory.entries) {
            QJsonObject file{{"offset", static_cast<qint64>(entry.offset)},
                             {"size", static_cast<qint64>(entry.size)}};
            PutName(file, entry.name);
            out.Write("file", file);
        }
        QJsonObject result{{"ok", true},
                           {"entries_used", static_cast<qint64>(directory.entries.size())},
                           {"entry_count", directory.entryCount},
                           {"image_bytes", static_cast<qint64>(prepared.info.imageBytes)},
                           {"sha256", QString::fromStdString(prepared.info.sha256)},
                           {"frames", static_cast<qint64>(frames)},
                           {"estimated_ms", static_cast<qint64>(estimatedMs)}};
        PutName(result, prepared.label, "image");
        out.Write("result", result);
        return kExitOk;
    }
    std::cout << "entries: " << directory.entries.size() << " of " << directory.entryCount << '\n'
              << "sha256: " << prepared.info.sha256 << " (" << prepared.info.imageBytes
              << " bytes)\n"
              << "upload: " << frames << " frames, about " << FormatSeconds(estimatedMs)
              << std::endl;
    return kExitOk;
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
    const bool fromImage = IsImageSource(options.source);
    if (options.dryRun && !fromImage) {
        return RunPackReport(options.source, *limits, options.json, std::cout, std::cerr, nullptr);
    }

    ImageFailure failure;
    const auto prepared = fromImage ? LoadImage(options.source, *limits, failure)
                                    : BuildImage(options.source, *limits, failure);
    if (!prepared) {
        if (fromImage) {
            // Not a message of the window's: one line says it all.
            std::cerr << "upload: " << failure.message << ": " << failure.cause << std::endl;
        } else if (!failure.cause.empty()) {
            std::cerr << FleetPrinter::CauseLine(options.source, failure.cause) << std::endl;
        }
        if (options.json) {
            JsonLines json(std::cout);
            WriteUploadRefused(json, static_cast<int>(devices->size()), failure.message,
                               failure.cause);
        }
        return kExitFailure;
    }
    if (options.dryRun) {
        return ReportImage(*prepared, options.json);
    }
    const bool single = devices->size() == 1 && options.devicesFile.empty();
    if (single && !options.json && !Quiet()) {
        std::cout << "image sha256: " << prepared->info.sha256 << " (" << prepared->info.imageBytes
                  << " bytes)" << std::endl;
    }
    if (single) {
        return RunSingleUpload(options, devices->front(), *limits, *prepared);
    }
    return RunFleetUpload(options, *devices, *limits, *prepared);
}

}  // namespace

void AddUploadCommand(CLI::App& app, int& exitCode) {
    auto options = std::make_shared<UploadOptions>();
    CLI::App* command = app.add_subcommand(
        "upload",
        "Pack a web folder (or take an image file) and upload it to a device, as the desktop "
        "program's Start");
    command
        ->add_option("SOURCE", options->source,
                     "Web folder to pack and upload, or an image file written by pack -o (sent "
                     "exactly as it is; - reads it from standard input)")
        ->required();
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
    command->add_flag("--json", options->json,
                      "Print JSON Lines: progress, attempts, each device's result, then the "
                      "result");
    command->add_flag("--dry-run", options->dryRun,
                      "Build (or check) the image and print what it holds without connecting");
    command->add_flag("--fail-fast", options->failFast,
                      "With several devices: stop the others at the first failure");
    command->add_flag("--trace", options->trace,
                      "Print, per device, when each frame was sent and how (and how late) the "
                      "device answered");
    command
        ->add_option("--connect-timeout", options->connectTimeoutSeconds,
                     "Seconds a connect may take before it fails")
        ->capture_default_str()
        ->check(CLI::Range(0.1, 3600.0));
    command
        ->add_option("--ack-timeout", options->ackTimeoutMs,
                     "Milliseconds the device has to answer a frame; 3000 is the device's "
                     "contract, raise it only for links known to be slow")
        ->capture_default_str()
        ->check(CLI::Range(1, 600000));
    command
        ->add_option("--retries", options->retries,
                     "Try a failed device again from the start up to N times, after a pause "
                     "that doubles from 1 s")
        ->capture_default_str()
        ->check(CLI::Range(0, 100));
    command->callback([options, &exitCode] { exitCode = RunUpload(*options); });
}

}  // namespace cli
