#include "cli/upload_watch.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <QJsonArray>
#include <QJsonObject>

#include "app/log_pipe.h"
#include "cli/cli_context.h"
#include "cli/commands.h"
#include "cli/fleet_printer.h"
#include "cli/output.h"
#include "cli/pack_report.h"
#include "packer/glob_pattern.h"
#include "packer/image_reader.h"
#include "packer/web_file_table.h"
#include "packer/web_image.h"
#include "platform/folder_watch.h"
#include "platform/interrupt_signals_qt.h"
#include "platform/sha256.h"
#include "platform/system_text.h"

namespace cli {
namespace {

using Clock = std::chrono::steady_clock;

// How long a wait lasts at most before a signal and the folder's presence are looked at again.
constexpr int kPollMs = 100;
// A walk of the folder stops here; the build refuses far fewer files anyway.
constexpr std::size_t kMaxLookedAtFiles = 1000000;
// Names a round's line shows; the rest are counted.
constexpr std::size_t kNamesInLine = 5;

// What a file looked like when the folder was walked: a write changes one or the other.
struct FileState {
    std::uintmax_t size = 0;
    std::filesystem::file_time_type written{};
    bool operator==(const FileState&) const = default;
};
// Every file below the folder that --exclude leaves in (links to files followed, to folders
// not), by its path relative to the folder with "/" between the parts.
using FolderState = std::map<std::string, FileState>;

FolderState LookAt(const std::string& folder, const std::vector<std::string>& excludes) {
    namespace fs = std::filesystem;
    FolderState state;
    const fs::path root = platform::FileSystemPath(folder);
    std::error_code error;
    fs::recursive_directory_iterator entry(root, fs::directory_options::skip_permission_denied,
                                           error);
    for (;
         !error && entry != fs::recursive_directory_iterator() && state.size() < kMaxLookedAtFiles;
         entry.increment(error)) {
        std::error_code ignored;
        if (entry->is_directory(ignored)) {
            continue;
        }
        FileState file;
        file.size = entry->file_size(ignored);
        file.written = entry->last_write_time(ignored);
        std::string name;
        for (const auto& part : entry->path().lexically_relative(root)) {
            name += (name.empty() ? "" : "/") + platform::PathText(part);
        }
        const std::string imageName = "/" + name;
        if (std::none_of(excludes.begin(), excludes.end(), [&](const std::string& pattern) {
                return packer::GlobMatch(pattern, imageName);
            })) {
            state.emplace(std::move(name), file);
        }
    }
    return state;
}

bool IsFolder(const std::string& folder) {
    std::error_code error;
    return std::filesystem::is_directory(platform::FileSystemPath(folder), error);
}

struct Changes {
    std::vector<std::string> changed;
    std::vector<std::string> added;
    std::vector<std::string> removed;

    bool Empty() const { return changed.empty() && added.empty() && removed.empty(); }
};

Changes Compare(const FolderState& before, const FolderState& now) {
    Changes changes;
    for (const auto& [name, file] : now) {
        const auto old = before.find(name);
        if (old == before.end()) {
            changes.added.push_back(name);
        } else if (!(old->second == file)) {
            changes.changed.push_back(name);
        }
    }
    for (const auto& entry : before) {
        if (now.count(entry.first) == 0) {
            changes.removed.push_back(entry.first);
        }
    }
    return changes;
}

// "index.html changed, app.js added, old.css removed and 3 more".
std::string ChangesText(const Changes& changes) {
    std::vector<std::string> parts;
    for (const auto& [names, word] :
         {std::pair{&changes.changed, " changed"}, std::pair{&changes.added, " added"},
          std::pair{&changes.removed, " removed"}}) {
        for (const auto& name : *names) {
            parts.push_back(name + word);
        }
    }
    if (parts.empty()) {
        return "no file changed";
    }
    std::string text;
    for (std::size_t i = 0; i < std::min(parts.size(), kNamesInLine); ++i) {
        text += (i == 0 ? "" : ", ") + parts[i];
    }
    if (parts.size() > kNamesInLine) {
        text += " and " + std::to_string(parts.size() - kNamesInLine) + " more";
    }
    return text;
}

QJsonArray JsonNames(const std::vector<std::string>& names) {
    QJsonArray array;
    for (const auto& name : names) {
        array.append(QString::fromStdString(name));
    }
    return array;
}

// A build of the folder, as the upload command builds it; what it would print is held back
// until the build is known to count (one that a save overtook is done again, silently).
struct Built {
    std::shared_ptr<const packer::WebImage> image;  // none when the build failed
    std::string sha256;
    std::int64_t bytes = 0;
    std::string message;  // why it failed
    std::string said;     // the build's messages, warnings and cause lines (stderr)

    // Tells two builds apart: the image, or the failure.
    std::string Key() const { return image ? sha256 : "failed: " + message; }
};

Built BuildFolder(const std::string& folder, const packer::PackLimits& limits,
                  const packer::BuildOptions& options) {
    std::ostringstream said;
    ConsoleMessageBox messages(said, said);
    auto image = std::make_shared<packer::WebImage>();
    packer::WebFileTable table(limits.maxFileCount);
    std::vector<std::uint8_t> readBuffer;
    packer::BuildReport report;
    Built built;
    const bool ok = packer::BuildWebImage(folder, limits, table, *image, readBuffer, messages,
                                          &report, options) != 0;
    if (!ok || RefusedForNoFile(folder, report)) {
        const auto& shown = messages.Messages();
        built.message = ok              ? packer::kNoFileInImage
                        : shown.empty() ? "the image could not be built"
                                        : shown.back().text;
        PrintBuildCause(report, said);
    } else {
        PrintLeftOutWarnings(report, said);
        const auto length = static_cast<std::size_t>(image->usedLength);
        built.sha256 =
            platform::Sha256::Hex(platform::Sha256::Of(image->imageBuffer.data(), length));
        built.bytes = image->usedLength;
        built.image = std::move(image);
    }
    built.said = said.str();
    return built;
}

// A round's upload tells only what goes wrong as it happens (on stderr); its result is the
// round's line.
class RoundEvents : public UploadEvents {
  public:
    explicit RoundEvents(const std::vector<DeviceAddress>& devices) : devices_(devices) {}

    void Progress(int, float, int, int) override {}
    void Attempt(int index, int attempt, int attempts, int pauseMs, const std::string&,
                 const std::string& cause) override {
        const std::string label = devices_[static_cast<std::size_t>(index)].Label();
        if (!cause.empty()) {
            std::cerr << FleetPrinter::CauseLine(label, cause) << "\n";
        }
        std::cerr << FleetPrinter::RetryLine(label, attempt, attempts, pauseMs) << std::endl;
    }
    void Finished(int index, const DeviceRunReport& report) override {
        if (!report.ok && !report.interrupted && !report.cause.empty()) {
            std::cerr << FleetPrinter::CauseLine(devices_[static_cast<std::size_t>(index)].Label(),
                                                 report.cause)
                      << std::endl;
        }
    }
    bool WantsSteps() const override { return Verbose(); }
    void Step(int index, const std::string& line) override {
        std::cerr << devices_[static_cast<std::size_t>(index)].Label() << ": " << line << std::endl;
    }

  private:
    const std::vector<DeviceAddress>& devices_;
};

// What a round came to.
struct RoundResult {
    bool ok = false;
    bool sent = false;
    std::string message;
    std::vector<DeviceRunReport> reports;
};

class WatchSession {
  public:
    WatchSession(const WatchSetup& setup, FleetUpload::Options engine)
        : setup_(setup), engine_(std::move(engine)) {}

    int Run();

  private:
    enum class Step { kDone, kAgain, kEnd };

    int Caught() const { return engine_.interrupts ? engine_.interrupts->Caught() : 0; }
    // Waits for a change (true); a folder gone or a watch that failed sets the end.
    bool Changed(platform::FolderWatch& watch, int waitMs);
    Step Round(platform::FolderWatch& watch);
    RoundResult Upload(const Built& built);
    void Report(const Changes& changes, const Built& built, const RoundResult& result);
    int End(int status, const std::string& message, bool interrupted);

    const WatchSetup& setup_;
    FleetUpload::Options engine_;
    app::LogPipe logPipe_;
    JsonLines json_{std::cout};
    FolderState known_;       // the folder as the last round that counted saw it
    std::string lastKey_;     // that round's build (Built::Key)
    std::string sentSha256_;  // the image every device was last sent
    int rounds_ = 0;
    int status_ = kExitOk;  // the last round's
    int endStatus_ = 0;     // set when the watch must end: a signal during an upload, or an error
    std::string endMessage_;
};

int WatchSession::Run() {
    std::string budget;
    if (!FleetUpload::CheckSocketBudget(engine_.devices.size(), budget)) {
        std::cerr << "upload: " << budget << std::endl;
        if (setup_.json) {
            WriteUploadRefused(json_, static_cast<int>(engine_.devices.size()), budget, "");
        }
        return kExitFailure;
    }
    // Watched before the first build, so that nothing saved during it is missed.
    platform::FolderWatch watch;
    if (!watch.Start(setup_.folder)) {
        const std::string message = "cannot watch " + setup_.folder + ": " + watch.Error();
        std::cerr << "upload: " << message << std::endl;
        if (setup_.json) {
            WriteUploadRefused(json_, static_cast<int>(engine_.devices.size()), message, "");
        }
        return kExitFailure;
    }
    logPipe_.Open();
    engine_.logPipe = &logPipe_;

    bool pending = true;  // round 1 starts at once
    auto lastChange = Clock::now() - std::chrono::milliseconds(kWatchQuietMs);
    for (;;) {
        if (endStatus_ != 0) {
            return End(endStatus_, endMessage_, Caught() != 0);
        }
        if (Caught() != 0) {
            // Before any round ended, as an upload that a signal cut short.
            return End(rounds_ == 0 ? Caught() : status_, "watch ended", true);
        }
        const auto quietMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastChange)
                .count();
        if (pending && quietMs >= kWatchQuietMs) {
            const Step step = Round(watch);
            if (step == Step::kEnd) {
                continue;
            }
            pending = step == Step::kAgain;
            if (pending) {
                lastChange = Clock::now();  // saved while it was read: wait for quiet again
                continue;
            }
        }
        const int waitMs =
            pending ? static_cast<int>(std::clamp<long long>(kWatchQuietMs - quietMs, 0, kPollMs))
                    : kPollMs;
        if (Changed(watch, waitMs)) {
            pending = true;
            lastChange = Clock::now();
        }
    }
}

bool WatchSession::Changed(platform::FolderWatch& watch, int waitMs) {
    const auto state = watch.Wait(waitMs);
    if (state == platform::FolderWatch::State::kGone || !IsFolder(setup_.folder)) {
        endStatus_ = kExitFailure;
        endMessage_ = setup_.folder + ": the watched folder was removed or renamed";
    } else if (state == platform::FolderWatch::State::kFailed) {
        endStatus_ = kExitFailure;
        endMessage_ = setup_.folder + ": the folder can no longer be watched: " + watch.Error();
    }
    return state == platform::FolderWatch::State::kChanged;
}

WatchSession::Step WatchSession::Round(platform::FolderWatch& watch) {
    const FolderState before = LookAt(setup_.folder, setup_.build.excludes);
    const Built built = BuildFolder(setup_.folder, engine_.limits, setup_.build);
    if (Caught() != 0) {
        return Step::kEnd;
    }
    // A file written while the build read it may be in the image half old, half new: such a
    // build is thrown away, and the folder built again once it is quiet.
    if (Changed(watch, 0) || LookAt(setup_.folder, setup_.build.excludes) != before) {
        return endStatus_ != 0 ? Step::kEnd : Step::kAgain;
    }
    if (endStatus_ != 0) {
        return Step::kEnd;
    }
    const Changes changes = Compare(known_, before);
    known_ = before;
    // Files that came and went (an editor's lock or swap file) leave the round out.
    if (rounds_ > 0 && changes.Empty() && built.Key() == lastKey_) {
        return Step::kDone;
    }
    lastKey_ = built.Key();
    ++rounds_;
    std::cerr << built.said << std::flush;
    RoundResult result;
    if (!built.image) {
        result.message = "build failed: " + built.message;
    } else if (built.sha256 == sentSha256_) {
        result.ok = true;
        result.message = "image unchanged, not sent";
    } else {
        result = Upload(built);
    }
    status_ = result.ok ? kExitOk : kExitFailure;
    Report(rounds_ == 1 ? Changes{} : changes, built, result);
    return Step::kDone;
}

RoundResult WatchSession::Upload(const Built& built) {
    RoundResult result;
    std::vector<DeviceAddress> sending = engine_.devices;
    if (setup_.skipCurrent) {
        std::vector<SkippedDevice> skipped;
        sending = LeaveOutCurrent(setup_.ledger, engine_.devices, built.sha256, skipped, std::cerr);
        if (sending.empty()) {
            sentSha256_ = built.sha256;
            result.ok = true;
            result.message = "every device is current, not sent";
            return result;
        }
    }
    // Each round is an upload of its own in the ledger.
    UploadLedger record(setup_.ledger, std::cerr);
    record.SetSource("folder", setup_.folder);
    record.SetPace(engine_.paceMs);
    if (!record.Prepare(*built.image)) {
        result.message = "the ledger cannot be written (--require-ledger)";
        return result;
    }
    record.Begin(sending);
    FleetUpload::Options options = engine_;
    options.devices = sending;
    options.image = built.image;
    RoundEvents events(sending);
    FleetUpload fleet(options, record.Watch(events));
    result.reports = fleet.Run();
    record.Flush();
    result.sent = true;
    const auto failed = std::count_if(result.reports.begin(), result.reports.end(),
                                      [](const DeviceRunReport& report) { return !report.ok; });
    result.ok = failed == 0;
    if (result.reports.size() == 1) {
        result.message = FleetPrinter::ResultText(result.reports.front());
    } else {
        result.message = std::to_string(result.ok ? result.reports.size() : failed) + " of " +
                         std::to_string(result.reports.size()) + " devices " +
                         (result.ok ? "updated" : "failed");
    }
    if (result.ok) {
        sentSha256_ = built.sha256;
    }
    if (fleet.InterruptStatus() != 0) {
        endStatus_ = fleet.InterruptStatus();
        endMessage_ = kInterruptedText;
    }
    return result;
}

// "round 2: index.html changed; sha256 HEX (N bytes): Web Server Update OK!", or a "round"
// event.
void WatchSession::Report(const Changes& changes, const Built& built, const RoundResult& result) {
    if (setup_.json) {
        QJsonObject round{{"round", rounds_},
                          {"changed", JsonNames(changes.changed)},
                          {"added", JsonNames(changes.added)},
                          {"removed", JsonNames(changes.removed)},
                          {"ok", result.ok},
                          {"sent", result.sent},
                          {"message", QString::fromStdString(result.message)},
                          {"pace_ms", engine_.paceMs}};
        if (built.image) {
            round.insert("sha256", QString::fromStdString(built.sha256));
            round.insert("image_bytes", static_cast<qint64>(built.bytes));
        }
        QJsonArray devices;
        for (const auto& report : result.reports) {
            QJsonObject device{
                {"device", QString::fromStdString(report.device.Label())},
                {"ok", report.ok},
                {"message", QString::fromStdString(FleetPrinter::ResultText(report))},
                {"elapsed_ms", static_cast<qint64>(report.elapsedMs)}};
            if (!report.cause.empty()) {
                device.insert("cause", QString::fromStdString(report.cause));
            }
            devices.append(device);
        }
        round.insert("device_results", devices);
        json_.Write("round", round);
        return;
    }
    if (Quiet() && result.ok) {
        return;
    }
    std::ostream& out = result.ok ? std::cout : (Quiet() ? std::cerr : std::cout);
    out << "round " << rounds_ << ": " << (rounds_ == 1 ? "first build" : ChangesText(changes));
    if (built.image) {
        out << "; sha256 " << built.sha256 << " (" << built.bytes << " bytes)";
    }
    out << ": " << result.message << std::endl;
}

// The watch's end: a line on stderr and, with --json, the final "result".
int WatchSession::End(int status, const std::string& message, bool interrupted) {
    logPipe_.Close();
    if (!Quiet() || status != kExitOk) {
        std::cerr << "upload: " << message << " after " << rounds_ << " round"
                  << (rounds_ == 1 ? "" : "s") << std::endl;
    }
    if (setup_.json) {
        QJsonObject result{{"ok", status == kExitOk},
                           {"rounds", rounds_},
                           {"devices", static_cast<int>(engine_.devices.size())},
                           {"interrupted", interrupted},
                           {"message", QString::fromStdString(message)},
                           {"pace_ms", engine_.paceMs}};
        if (!sentSha256_.empty()) {
            result.insert("sha256", QString::fromStdString(sentSha256_));
        }
        json_.Write("result", result);
    }
    return status;
}

}  // namespace

int RunUploadWatch(const WatchSetup& setup, FleetUpload::Options engine) {
    if (setup.fromImage || setup.dryRun) {
        const std::string message =
            setup.fromImage ? "--watch needs a web folder, not an image file or standard input"
                            : "--watch cannot be combined with --dry-run";
        std::cerr << "upload: " << message << std::endl;
        if (setup.json) {
            JsonLines json(std::cout);
            WriteUploadRefused(json, static_cast<int>(engine.devices.size()), message, "");
        }
        return kExitUsage;
    }
    return WatchSession(setup, std::move(engine)).Run();
}

}  // namespace cli
