#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include <unistd.h>

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>

#include "app/log_pipe.h"
#include "cli/cli_context.h"
#include "cli/commands.h"
#include "cli/pack_report.h"
#include "cli/upload_host.h"
#include "transfer/upload_sequencer.h"

namespace cli {

namespace {

struct UploadOptions {
    std::string folder;
    std::string device;
    int port = 8001;
    LimitOptions limits;
    bool json = false;
    bool dryRun = false;
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

int RunUpload(const UploadOptions& options) {
    if (options.device.empty() && !options.dryRun) {
        std::cerr << "upload: --device is required (or --dry-run)" << std::endl;
        return kExitUsage;
    }
    const auto limits = ResolveLimits(options.limits, std::cerr);
    if (!limits) {
        return kExitFailure;
    }
    if (options.dryRun) {
        return RunPackReport(options.folder, *limits, options.json, std::cout, std::cerr, nullptr);
    }

    int argc = 1;
    char name[] = "vellumix-cli";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);

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
    hostOptions.address = options.device;
    hostOptions.port = options.port;
    hostOptions.limits = *limits;
    UploadHost host(hostOptions, &logPipe, messages);
    host.SetProgressCallback(
        [&progress](float percent, int taken, int total) { progress.Show(percent, taken, total); });
    const bool succeeded = host.Run();
    progress.Finish();

    if (options.json) {
        QJsonObject result{{"event", "result"},
                           {"ok", succeeded},
                           {"device", QString::fromStdString(options.device)},
                           {"port", options.port},
                           {"message", QString::fromStdString(messages.LastText())}};
        std::cout << QJsonDocument(result).toJson(QJsonDocument::Compact).toStdString()
                  << std::endl;
    }
    logPipe.Close();
    return succeeded ? kExitOk : kExitFailure;
}

}  // namespace

void AddUploadCommand(CLI::App& app, int& exitCode) {
    auto options = std::make_shared<UploadOptions>();
    CLI::App* command = app.add_subcommand(
        "upload", "Pack a web folder and upload it to a device, as the desktop program's Start");
    command->add_option("FOLDER", options->folder, "Web folder to pack and upload")->required();
    command->add_option("--device", options->device,
                        "Device address (dotted IPv4 or host name); required unless --dry-run");
    command->add_option("--port", options->port, "Device TCP port")
        ->capture_default_str()
        ->check(CLI::Range(1, 65535));
    AddLimitOptions(*command, options->limits);
    command->add_flag("--json", options->json,
                      "Print one JSON object per progress step and one for the result");
    command->add_flag("--dry-run", options->dryRun,
                      "Build the image and print the pack report without connecting");
    command->callback([options, &exitCode] { exitCode = RunUpload(*options); });
}

}  // namespace cli
