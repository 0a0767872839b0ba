#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <QCoreApplication>
#include <QJsonObject>

#include "app/log_pipe.h"
#include "cli/cli_context.h"
#include "cli/commands.h"
#include "cli/device_list.h"
#include "cli/fleet_printer.h"
#include "cli/fleet_upload.h"
#include "cli/image_file.h"
#include "cli/output.h"
#include "cli/pack_report.h"
#include "cli/trace_report.h"
#include "cli/upload_events.h"
#include "cli/upload_ledger.h"
#include "packer/image_reader.h"
#include "packer/web_image.h"
#include "platform/file_read.h"
#include "platform/interrupt_signals_qt.h"
#include "platform/sha256.h"
#include "platform/system_text.h"
#include "platform/terminal.h"
#include "transfer/frames.h"
#include "transfer/upload_sequencer.h"

namespace cli {

namespace {

constexpr char kStdinName[] = "-";

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
    double connectTimeoutSeconds = FleetUpload::kDefaultConnectTimeoutMs / 1000.0;
    int ackTimeoutMs = static_cast<int>(transfer::kAckTimeoutMs);
    int paceMs = transfer::kTimerPeriodMs;
    int retries = 0;
    packer::BuildOptions build;  // --exclude, --strict
    LedgerOptions ledger;        // --ledger, --no-ledger, --require-ledger
    bool skipCurrent = false;
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

FleetUpload::Options EngineOptions(const UploadOptions& options,
                                   const std::vector<DeviceAddress>& devices,
                                   const packer::PackLimits& limits, const PreparedImage& prepared,
                                   app::LogPipe* logPipe, platform::InterruptSignals& interrupts) {
    FleetUpload::Options engine;
    engine.interrupts = &interrupts;
    engine.devices = devices;
    engine.image = prepared.image;
    engine.limits = limits;
    engine.logPipe = logPipe;
    engine.failFast = options.failFast;
    engine.trace = options.trace;
    engine.retries = options.retries;
    engine.connectTimeoutMs = static_cast<int>(options.connectTimeoutSeconds * 1000.0);
    engine.ackTimeoutMs = static_cast<std::uint32_t>(options.ackTimeoutMs);
    engine.paceMs = options.paceMs;
    return engine;
}

// Shows the share of frames taken as the window's bar does: a redrawn line on a terminal, a
// line per whole per cent otherwise.
class ProgressPrinter {
  public:
    ProgressPrinter(bool terminal, int paceMs) : terminal_(terminal), paceMs_(paceMs) {}

    void Show(float percent, int framesTaken, int totalFrames) {
        if (totalFrames <= 0 || Quiet()) {
            return;  // the reset before the frames exist
        }
        const long long left = EstimatedMsLeft(framesTaken, totalFrames, paceMs_);
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
    int paceMs_ = transfer::kTimerPeriodMs;
    int lastFrames_ = -1;
    int lastWhole_ = -1;
    bool lineOpen_ = false;
};

struct QtApplication {
    int argc = 1;
    char name[16] = "vellumix-cli";
    char* argv[2] = {name, nullptr};
    QCoreApplication application{argc, argv};
};

// How a one-device upload ends on stderr, in text and with --json alike: an interruption in its
// own words, a failure by the line with its cause.
void PrintEndOnStderr(const std::string& label, const DeviceRunReport& report) {
    if (report.interrupted) {
        std::cerr << FleetPrinter::ResultText(report) << std::endl;
    } else if (!report.ok && !report.cause.empty()) {
        std::cerr << FleetPrinter::CauseLine(label, report.cause) << std::endl;
    }
}

// The events of a one-device upload in text, as the desktop program's Start shows them: the
// share of frames taken, errors on stderr the moment they are shown (each followed by a line
// with its cause once that is known), "Web Server Update OK!" on stdout unless quiet.
class SingleDeviceEvents : public UploadEvents {
  public:
    SingleDeviceEvents(const DeviceAddress& device, ProgressPrinter& progress)
        : label_(device.Label()), progress_(progress) {}

    void Progress(int, float percent, int taken, int total) override {
        progress_.Show(percent, taken, total);
    }
    void Message(int, const std::string& text, const std::string&, unsigned style) override {
        progress_.Finish();
        if (style == platform::kMbIconHand) {
            std::cerr << text << std::endl;
        } else if (!Quiet()) {
            std::cout << text << std::endl;
        }
    }
    bool WantsSteps() const override { return Verbose(); }
    void Step(int, const std::string& line) override {
        progress_.Finish();
        std::cout << line << std::endl;
    }
    void Attempt(int, int attempt, int attempts, int pauseMs, const std::string&,
                 const std::string& cause) override {
        progress_.Finish();
        if (!cause.empty()) {
            std::cerr << FleetPrinter::CauseLine(label_, cause) << "\n";
        }
        std::cerr << FleetPrinter::RetryLine(label_, attempt, attempts, pauseMs) << std::endl;
    }
    void Finished(int, const DeviceRunReport& report) override {
        progress_.Finish();
        PrintEndOnStderr(label_, report);
    }

  private:
    std::string label_;
    ProgressPrinter& progress_;
};

// --json with one device: the events as JSON Lines on stdout, and on stderr what the text
// output shows there: the window's error messages as they come, each with its cause line.
class SingleDeviceJson : public UploadEvents {
  public:
    SingleDeviceJson(const DeviceAddress& device, FleetPrinter& json)
        : label_(device.Label()), json_(json) {}

    void Progress(int index, float percent, int taken, int total) override {
        json_.Progress(index, percent, taken, total);
    }
    void Message(int, const std::string& text, const std::string&, unsigned style) override {
        if (style == platform::kMbIconHand) {
            std::cerr << text << std::endl;
        }
    }
    // The JSON printer's stderr goes nowhere (see RunSingleUpload): the steps of -v go to
    // stderr here.
    bool WantsSteps() const override { return Verbose(); }
    void Step(int, const std::string& line) override { std::cerr << line << std::endl; }
    void Attempt(int index, int attempt, int attempts, int pauseMs, const std::string& message,
                 const std::string& cause) override {
        json_.Attempt(index, attempt, attempts, pauseMs, message, cause);
        if (!cause.empty()) {
            std::cerr << FleetPrinter::CauseLine(label_, cause) << std::endl;
        }
    }
    void Finished(int index, const DeviceRunReport& report) override {
        json_.Finished(index, report);
        PrintEndOnStderr(label_, report);
    }

  private:
    std::string label_;
    FleetPrinter& json_;
};

// One device: the desktop program's Start, on the same engine as many devices.
int RunSingleUpload(const UploadOptions& options, const DeviceAddress& device,
                    const packer::PackLimits& limits, const PreparedImage& prepared,
                    platform::InterruptSignals& interrupts, UploadLedger& record) {
    // Attached once, as the desktop program does at start-up.
    app::LogPipe logPipe;
    logPipe.Open();

    // Each step of --verbose is a line of its own, so the progress is never redrawn in place.
    ProgressPrinter progress(!Verbose() && platform::IsTerminal(platform::StandardStream::kOutput),
                             options.paceMs);
    SingleDeviceEvents text(device, progress);
    // Its stderr lines are SingleDeviceJson's: the JSON printer's own go nowhere.
    std::ostream discard(nullptr);
    FleetPrinter json(FleetPrinter::Mode::Json, {device}, std::cout, discard);
    json.SetImage(prepared.info);
    json.SetPace(options.paceMs);
    SingleDeviceJson jsonEvents(device, json);
    UploadEvents& events = options.json ? static_cast<UploadEvents&>(jsonEvents) : text;

    record.Begin({device});
    FleetUpload upload(EngineOptions(options, {device}, limits, prepared, &logPipe, interrupts),
                       record.Watch(events));
    const DeviceRunReport report = upload.Run().front();
    record.Flush();
    if (options.json) {
        json.Summary({report});
    } else if (report.trace) {
        PrintAckTrace(*report.trace, device.Label(), std::cout);
        std::cout.flush();
    }
    logPipe.Close();
    if (upload.InterruptStatus() != 0) {
        return upload.InterruptStatus();
    }
    return report.ok ? kExitOk : kExitFailure;
}

// Several devices: every device gets its own connection, pacing and time-out.
int RunFleetUpload(const UploadOptions& options, const std::vector<DeviceAddress>& devices,
                   const packer::PackLimits& limits, const PreparedImage& prepared,
                   platform::InterruptSignals& interrupts, UploadLedger& record,
                   const std::vector<SkippedDevice>& skipped) {
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
    for (const auto& skip : skipped) {
        printer.Skipped(skip.device.Label(), ledger::FormatUtc(skip.upload.start.startedMs));
    }
    record.Begin(devices);
    printer.SetPace(options.paceMs);
    FleetUpload fleet(EngineOptions(options, devices, limits, prepared, &logPipe, interrupts),
                      record.Watch(printer));
    const auto reports = fleet.Run();
    record.Flush();
    printer.Summary(reports);

    bool allOk = true;
    for (const auto& report : reports) {
        allOk = allOk && report.ok;
    }
    logPipe.Close();
    if (fleet.InterruptStatus() != 0) {
        return fleet.InterruptStatus();
    }
    return allOk ? kExitOk : kExitFailure;
}

// The devices of --device and --devices; nullopt with the reason in `error` and the exit
// code in `exitCode`.
std::optional<std::vector<DeviceAddress>> ResolveDevices(const UploadOptions& options,
                                                         std::string& error, int& exitCode) {
    std::string fileText;
    if (!options.devicesFile.empty()) {
        // A list of devices is small; a FIFO or a folder given here must not hang the upload.
        constexpr std::size_t kMaxDevicesFileBytes = 16u * 1024 * 1024;
        const auto bytes = platform::ReadRegularFile(options.devicesFile, kMaxDevicesFileBytes);
        if (!bytes) {
            error = bytes.error().text;
            exitCode = kExitFailure;
            return std::nullopt;
        }
        fileText.assign(bytes->begin(), bytes->end());
    }
    const DeviceListResult list = CombineDevices(options.devices, fileText, options.port);
    if (!list.ok()) {
        error = (options.devicesFile.empty() ? "" : options.devicesFile + ": ") + list.error;
        exitCode = kExitUsage;
        return std::nullopt;
    }
    if (list.devices.empty() && !options.dryRun) {
        error = "--device or --devices is required (or --dry-run)";
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
    const auto status = std::filesystem::status(platform::FileSystemPath(source), error);
    return !error && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
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
    const auto capacity = static_cast<std::size_t>(limits.maxRomBytes);
    // Nothing past the capacity can be sent, so standard input is not read further than that.
    const bool fromStdin = source == kStdinName;
    auto loaded = fromStdin ? platform::ReadStandardInput(capacity) : LoadImageFile(source);
    if (fromStdin && !loaded && loaded.error().code == EFBIG) {
        failure.message = "image " + label + " is larger than the device's capacity";
        failure.cause = "more than " + std::to_string(capacity) + " bytes (--max-rom)";
        return std::nullopt;
    }
    if (!loaded) {
        failure.message = loaded.error().text;
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes = std::move(*loaded);
    if (bytes.size() > capacity) {
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
    if (!result.nameError.empty()) {
        failure.message = "image " + label + " cannot be extracted";
        failure.cause = result.nameError;
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
                                        const packer::BuildOptions& build, ImageFailure& failure) {
    ConsoleMessageBox buildMessages(std::cerr, std::cerr);
    auto image = std::make_shared<packer::WebImage>();
    packer::WebFileTable table(limits.maxFileCount);
    std::vector<std::uint8_t> readBuffer;
    packer::BuildReport report;
    const bool built = packer::BuildWebImage(folder, limits, table, *image, readBuffer,
                                             buildMessages, &report, build) != 0;
    if (!built || RefusedForNoFile(folder, report)) {
        failure.message = built                     ? packer::kNoFileInImage
                          : report.failure.failed() ? report.failure.text
                                                    : "the image could not be built";
        failure.cause = report.cause;
        PrintBuildCause(report, std::cerr);
        return std::nullopt;
    }
    PrintLeftOutWarnings(report, std::cerr);
    PreparedImage prepared;
    prepared.info = InfoOf(image->imageBuffer.data(), static_cast<std::size_t>(image->usedLength));
    prepared.label = folder;
    prepared.image = std::move(image);
    return prepared;
}

// Without --dry-run's folder report: what an image file holds, as `pack` reports a folder.
int ReportImage(const PreparedImage& prepared, bool json, int paceMs) {
    const auto& image = *prepared.image;
    const auto directory =
        packer::ReadImageDirectory(image.imageBuffer.data(), image.imageBuffer.size()).directory;
    const std::int64_t frames = transfer::FrameCount(image.usedLength);
    const std::int64_t estimatedMs = EstimatedUploadMs(image.usedLength, paceMs);
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
                           {"estimated_ms", static_cast<qint64>(estimatedMs)},
                           {"pace_ms", paceMs}};
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

// A signal before anything was sent ends the upload as one during the upload does.
int EndInterrupted(const UploadOptions& options, std::size_t devices, int status) {
    std::cerr << kInterruptedText << std::endl;
    if (options.json) {
        JsonLines json(std::cout);
        WriteUploadRefused(json, static_cast<int>(devices), kInterruptedText, "", true);
    }
    return status;
}

// How the ledger names where the image came from.
std::string SourceKind(const std::string& source, bool fromImage) {
    if (source == kStdinName) {
        return "stdin";
    }
    return fromImage ? "image" : "folder";
}

// When --skip-current leaves nothing to send: a line per controller (a "device_result" with
// "skipped": true in JSON) and the result.
void ReportAllSkipped(const std::vector<SkippedDevice>& skipped, const UploadImageInfo& image,
                      bool json) {
    std::ostream discard(nullptr);
    FleetPrinter printer(json ? FleetPrinter::Mode::Json : FleetPrinter::Mode::Lines, {}, std::cout,
                         discard);
    printer.SetImage(image);
    for (const auto& skip : skipped) {
        printer.Skipped(skip.device.Label(), ledger::FormatUtc(skip.upload.start.startedMs));
    }
    printer.Summary({});
}

int RunUpload(const UploadOptions& options) {
    // The signals' notifier and the upload's sockets need it.
    QtApplication qt;
    int exitCode = kExitOk;
    std::string error;
    const auto devices = ResolveDevices(options, error, exitCode);
    if (!devices) {
        std::cerr << "upload: " << error << std::endl;
        if (options.json) {
            JsonLines json(std::cout);
            WriteUploadRefused(json, 0, error, "");
        }
        return exitCode;
    }
    const bool fromImage = IsImageSource(options.source);
    // Caught from before a folder is built, which can take long. An image file is read first:
    // a read of standard input that waits must still end at Ctrl+C.
    std::optional<platform::InterruptSignals> interrupts;
    packer::BuildOptions build = options.build;
    if (!fromImage && !options.dryRun) {
        interrupts.emplace(nullptr);
        build.stopRequested = [&interrupts] { return interrupts->Caught() != 0; };
    }
    const auto limits = ResolveLimits(options.limits, std::cerr);
    if (!limits) {
        if (options.json) {
            JsonLines json(std::cout);
            WriteUploadRefused(json, static_cast<int>(devices->size()), "limits out of range", "");
        }
        return kExitFailure;
    }
    if (options.dryRun && !fromImage) {
        return RunPackReport(options.source, *limits, options.json, std::cout, std::cerr, nullptr,
                             false, options.build, options.paceMs);
    }

    ImageFailure failure;
    const auto prepared = fromImage ? LoadImage(options.source, *limits, failure)
                                    : BuildImage(options.source, *limits, build, failure);
    if (interrupts && interrupts->Caught() != 0) {
        return EndInterrupted(options, devices->size(), interrupts->Caught());
    }
    if (!prepared) {
        if (fromImage) {
            // Not a message of the window's: one line says it all.
            std::cerr << "upload: " << failure.message
                      << (failure.cause.empty() ? "" : ": " + failure.cause) << std::endl;
        }
        if (options.json) {
            JsonLines json(std::cout);
            WriteUploadRefused(json, static_cast<int>(devices->size()), failure.message,
                               failure.cause);
        }
        return kExitFailure;
    }
    if (options.dryRun) {
        return ReportImage(*prepared, options.json, options.paceMs);
    }
    std::vector<DeviceAddress> sending = *devices;
    std::vector<SkippedDevice> skipped;
    if (options.skipCurrent) {
        sending =
            LeaveOutCurrent(options.ledger, *devices, prepared->info.sha256, skipped, std::cerr);
        if (sending.empty()) {
            ReportAllSkipped(skipped, prepared->info, options.json);
            return kExitOk;
        }
    }
    UploadLedger record(options.ledger, std::cerr);
    record.SetSource(SourceKind(options.source, fromImage), prepared->label);
    record.SetPace(options.paceMs);
    if (!record.Prepare(*prepared->image)) {
        if (options.json) {
            JsonLines json(std::cout);
            WriteUploadRefused(json, static_cast<int>(devices->size()),
                               "the ledger cannot be written (--require-ledger)", "");
        }
        return kExitFailure;
    }
    std::string budget;
    if (!FleetUpload::CheckSocketBudget(devices->size(), budget)) {
        std::cerr << "upload: " << budget << std::endl;
        if (options.json) {
            JsonLines json(std::cout);
            WriteUploadRefused(json, static_cast<int>(devices->size()), budget, "");
        }
        return kExitFailure;
    }
    const bool single = devices->size() == 1 && options.devicesFile.empty();
    if (single && !options.json && !Quiet()) {
        std::cout << "image sha256: " << prepared->info.sha256 << " (" << prepared->info.imageBytes
                  << " bytes)" << std::endl;
    }
    if (!interrupts) {
        interrupts.emplace(nullptr);
    }
    if (single && sending.size() == 1) {
        return RunSingleUpload(options, sending.front(), *limits, *prepared, *interrupts, record);
    }
    return RunFleetUpload(options, sending, *limits, *prepared, *interrupts, record, skipped);
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
    AddBuildOptions(*command, options->build);
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
        ->check(CLI::Range(1, 3600000));
    command
        ->add_option("--pace", options->paceMs,
                     "Least milliseconds between two frames; 150 is the device's contract. "
                     "Below it only for devices known to take it (0: a length frame and its data "
                     "frame back to back, the next pair as soon as the OK comes)")
        ->capture_default_str()
        ->check(CLI::Range(0, 1000));
    command
        ->add_option("--retries", options->retries,
                     "Try a failed device again from the start up to N times, after a pause "
                     "that doubles from 1 s")
        ->capture_default_str()
        ->check(CLI::Range(0, 1000));
    AddLedgerOptions(*command, options->ledger);
    command->add_flag("--skip-current", options->skipCurrent,
                      "Leave out the devices that the ledger shows current with this image "
                      "(reported as skipped)");
    command->callback([options, &exitCode] { exitCode = RunUpload(*options); });
}

}  // namespace cli
