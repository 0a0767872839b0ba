#include "cli/upload_watch.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "app/log_pipe.h"
#include "cli/commands.h"
#include "cli/fleet_printer.h"
#include "cli/fleet_upload.h"
#include "cli/upload_image.h"
#include "cli/upload_send.h"
#include "packer/glob_pattern.h"
#include "platform/folder_watch.h"
#include "platform/interrupt_signals_qt.h"
#include "platform/system_text.h"

namespace cli {
namespace {

using Clock = std::chrono::steady_clock;

// How long a wait lasts at most before a signal and the folder's presence are looked at again.
constexpr int kPollMs = 100;
// A walk of the folder stops here; the build refuses far fewer files anyway.
constexpr std::size_t kMaxLookedAtFiles = 1000000;

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

// A build of the folder, as the upload command builds it; what it would print is held back
// until the build is known to count (one that a save overtook is done again, silently).
struct Built {
    std::optional<PreparedImage> prepared;  // none when the build failed
    ImageFailure failure;
    std::string said;  // the build's messages, warnings and cause lines (for stderr)

    // Tells two builds apart: the image, or the failure.
    std::string Key() const {
        return prepared ? prepared->info.sha256 : "failed: " + failure.message;
    }
};

// A round's upload tells only what goes wrong as it happens (on stderr); its result is the
// round's report.
class RoundEvents : public UploadEvents {
  public:
    RoundEvents(const std::vector<DeviceAddress>& devices, const CommandContext& context)
        : devices_(devices), context_(context) {}

    void Progress(int, float, int, int) override {}
    void Attempt(int index, int attempt, int attempts, int pauseMs, const std::string&,
                 const std::string& cause) override {
        const std::string label = Label(index);
        if (!cause.empty()) {
            context_.Err() << FleetPrinter::CauseLine(label, cause) << "\n";
        }
        context_.Err() << FleetPrinter::RetryLine(label, attempt, attempts, pauseMs) << std::endl;
    }
    void Finished(int index, const DeviceRunReport& report) override {
        if (!report.ok && !report.interrupted && !report.cause.empty()) {
            context_.Err() << FleetPrinter::CauseLine(Label(index), report.cause) << std::endl;
        }
    }
    bool WantsSteps() const override { return context_.Verbose(); }
    void Step(int index, const std::string& line) override {
        context_.Err() << Label(index) << ": " << line << std::endl;
    }

  private:
    std::string Label(int index) const { return devices_[static_cast<std::size_t>(index)].Label(); }

    const std::vector<DeviceAddress>& devices_;
    const CommandContext& context_;
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
    WatchSession(const WatchSetup& setup, const CommandContext& context, UploadReporter& reporter)
        : setup_(setup), context_(context), reporter_(reporter) {}

    int Run();

  private:
    enum class Step { kDone, kAgain, kEnd };

    const std::string& Folder() const { return setup_.options.source; }
    int Caught() const { return setup_.interrupts.Caught(); }
    // Refused before round 1: the message on stderr and through the reporter.
    int Refuse(const std::string& message);
    // Waits for a change (true); a folder gone or a watch that failed sets the end.
    bool Changed(platform::FolderWatch& watch, int waitMs);
    Step Round(platform::FolderWatch& watch);
    Built Build() const;
    RoundResult Upload(const PreparedImage& prepared);
    int End(int status, const std::string& message, bool interrupted);

    const WatchSetup& setup_;
    const CommandContext& context_;
    UploadReporter& reporter_;
    app::LogPipe logPipe_;
    FolderState known_;       // the folder as the last round that counted saw it
    std::string lastKey_;     // that round's build (Built::Key)
    std::string sentSha256_;  // the image every device was last sent
    int rounds_ = 0;
    int status_ = kExitOk;  // the last round's
    int endStatus_ = 0;     // set when the watch must end: a signal during an upload, or an error
    std::string endMessage_;
};

int WatchSession::Refuse(const std::string& message) {
    context_.Err() << "upload: " << message << std::endl;
    reporter_.Refused(setup_.devices.size(), message, "", false);
    return kExitFailure;
}

int WatchSession::Run() {
    std::string budget;
    if (!FleetUpload::CheckSocketBudget(setup_.devices.size(), budget)) {
        return Refuse(budget);
    }
    // Watched before the first build, so that nothing saved during it is missed.
    platform::FolderWatch watch;
    if (const platform::Error error = watch.Start(Folder())) {
        return Refuse("cannot watch " + Folder() + ": " + error.text);
    }
    logPipe_.Open();

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
    if ((state && *state == platform::FolderWatch::State::kGone) || !IsFolder(Folder())) {
        endStatus_ = kExitFailure;
        endMessage_ = Folder() + ": the watched folder was removed or renamed";
    } else if (!state) {
        endStatus_ = kExitFailure;
        endMessage_ = Folder() + ": the folder can no longer be watched: " + state.error().text;
    }
    return state && *state == platform::FolderWatch::State::kChanged;
}

Built WatchSession::Build() const {
    std::ostringstream said;
    Built built;
    built.prepared =
        BuildImage(Folder(), setup_.limits, setup_.build, context_.WithErr(said), built.failure);
    built.said = said.str();
    return built;
}

WatchSession::Step WatchSession::Round(platform::FolderWatch& watch) {
    const FolderState before = LookAt(Folder(), setup_.build.excludes);
    const Built built = Build();
    if (Caught() != 0) {
        return Step::kEnd;
    }
    // A file written while the build read it may be in the image half old, half new: such a
    // build is thrown away, and the folder built again once it is quiet.
    if (Changed(watch, 0) || LookAt(Folder(), setup_.build.excludes) != before) {
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
    context_.Err() << built.said << std::flush;
    RoundResult result;
    if (!built.prepared) {
        result.message = "build failed: " + built.failure.message;
    } else if (built.prepared->info.sha256 == sentSha256_) {
        result.ok = true;
        result.message = "image unchanged, not sent";
    } else {
        result = Upload(*built.prepared);
    }
    status_ = result.ok ? kExitOk : kExitFailure;
    WatchRound round;
    round.number = rounds_;
    if (rounds_ > 1) {
        round.changed = changes.changed;
        round.added = changes.added;
        round.removed = changes.removed;
    }
    if (built.prepared) {
        round.image = built.prepared->info;
    }
    round.ok = result.ok;
    round.sent = result.sent;
    round.message = result.message;
    round.reports = std::move(result.reports);
    round.paceMs = setup_.options.paceMs;
    reporter_.Round(round);
    return Step::kDone;
}

RoundResult WatchSession::Upload(const PreparedImage& prepared) {
    RoundResult result;
    const UploadPlan plan = PlanUpload(setup_.options, setup_.devices, prepared, context_.Err());
    if (plan.devices.empty()) {
        sentSha256_ = prepared.info.sha256;
        result.ok = true;
        result.message = "every device is current, not sent";
        return result;
    }
    // Each round is an upload of its own in the ledger.
    const auto record = OpenRecord(setup_.options, plan, prepared, context_.Err());
    if (!record) {
        result.message = kLedgerRefusedText;
        return result;
    }
    RoundEvents events(plan.devices, context_);
    SendResult sent = SendToDevices(setup_.options, plan, setup_.limits, prepared,
                                    setup_.interrupts, logPipe_, *record, events);
    result.sent = true;
    result.ok = sent.AllOk();
    const auto failed = std::count_if(sent.reports.begin(), sent.reports.end(),
                                      [](const DeviceRunReport& report) { return !report.ok; });
    if (sent.reports.size() == 1) {
        result.message = FleetPrinter::ResultText(sent.reports.front());
    } else {
        result.message = std::to_string(result.ok ? sent.reports.size() : failed) + " of " +
                         std::to_string(sent.reports.size()) + " devices " +
                         (result.ok ? "updated" : "failed");
    }
    if (result.ok) {
        sentSha256_ = prepared.info.sha256;
    }
    if (sent.interruptStatus != 0) {
        endStatus_ = sent.interruptStatus;
        endMessage_ = kInterruptedText;
    }
    result.reports = std::move(sent.reports);
    return result;
}

// The watch's end: a line on stderr, and the reporter's end.
int WatchSession::End(int status, const std::string& message, bool interrupted) {
    logPipe_.Close();
    if (!context_.Quiet() || status != kExitOk) {
        context_.Err() << "upload: " << message << " after " << rounds_ << " round"
                       << (rounds_ == 1 ? "" : "s") << std::endl;
    }
    WatchEnd end;
    end.ok = status == kExitOk;
    end.rounds = rounds_;
    end.devices = setup_.devices.size();
    end.interrupted = interrupted;
    end.message = message;
    end.sentSha256 = sentSha256_;
    end.paceMs = setup_.options.paceMs;
    reporter_.WatchEnded(end);
    return status;
}

}  // namespace

int RunUploadWatch(const WatchSetup& setup, const CommandContext& context,
                   UploadReporter& reporter) {
    if (setup.fromImage || setup.options.dryRun) {
        const std::string message =
            setup.fromImage ? "--watch needs a web folder, not an image file or standard input"
                            : "--watch cannot be combined with --dry-run";
        context.Err() << "upload: " << message << std::endl;
        reporter.Refused(setup.devices.size(), message, "", false);
        return kExitUsage;
    }
    return WatchSession(setup, context, reporter).Run();
}

}  // namespace cli
