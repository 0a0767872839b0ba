#include "cli/upload_ledger.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "ledger/image_record.h"
#include "platform/async_socket_qt.h"
#include "platform/system_text.h"
#include "platform/user_folders.h"
#include "transfer/frames.h"
#include "vellumix_version.h"

namespace cli {

namespace {

constexpr char kProgram[] = "vellumix-cli";
// An end waits at most this long for others to be written with.
constexpr std::chrono::milliseconds kFlushPeriod(250);
// From the start rows' commit to copying the journal into the file.
constexpr std::chrono::milliseconds kCheckpointDelay(500);
// The longest the fleet's thread waits for the start rows: well inside the acknowledgement
// time-out, which the devices' next frames must not come near.
constexpr std::chrono::milliseconds kLongestStartWait(1000);

std::string ResultOf(const DeviceRunReport& report) {
    if (report.ok) {
        return "ok";
    }
    if (report.interrupted) {
        return "interrupted";
    }
    return report.stopped ? "stopped" : "failed";
}

std::string LedgerLine(const std::string& path, const std::string& reason) {
    return std::string(kProgram) + ": ledger " + path + ": " + reason;
}

}  // namespace

class UploadLedger::Watcher : public ForwardingUploadEvents {
  public:
    Watcher(UploadLedger& owner, UploadEvents& printer)
        : ForwardingUploadEvents(printer), owner_(owner) {}

    // Comes as a controller's first frame, which only announces the image, is sent; the next
    // one, the first that changes its pages, is a pace later, by when its row is committed.
    // Waited for on the fleet's thread, so never as long as a device waits for its next frame:
    // a ledger busy with another writer must not fail the upload it records.
    void Progress(int index, float percent, int framesTaken, int totalFrames) override {
        if (!owner_.startsKnown_) {
            owner_.AwaitStarts(kLongestStartWait);
        }
        ForwardingUploadEvents::Progress(index, percent, framesTaken, totalFrames);
    }
    void Finished(int index, const DeviceRunReport& report) override {
        owner_.Ended(index, report);
        ForwardingUploadEvents::Finished(index, report);
    }
    void Render() override {
        owner_.SayFailure();
        ForwardingUploadEvents::Render();
    }

  private:
    UploadLedger& owner_;
};

void AddLedgerFileOption(CLI::App& command, LedgerOptions& options) {
    command.add_option("--ledger", options.file,
                       "Ledger file (default: $VELLUMIX_LEDGER, else "
                       "$XDG_DATA_HOME/vellumix/ledger.sqlite, ~/.local/share/vellumix/ by "
                       "default)");
}

void AddLedgerOptions(CLI::App& command, LedgerOptions& options) {
    AddLedgerFileOption(command, options);
    auto* off = command.add_flag("--no-ledger", options.off, "Record nothing in the ledger");
    command
        .add_flag("--require-ledger", options.required,
                  "Refuse to upload, before connecting, when the ledger cannot be written")
        ->excludes(off);
}

std::string RecordedAddress(const std::string& host) {
    return platform::ResolvedAddressText(host);
}

bool OpenLedgerForReading(const LedgerOptions& options, ledger::Ledger& book, std::ostream& err) {
    const auto located = ledger::LedgerPath(options.file);
    if (!located) {
        err << LedgerLine("", located.error().text) << std::endl;
        return false;
    }
    const std::string& path = *located;
    std::error_code missing;
    if (!std::filesystem::exists(
            std::filesystem::symlink_status(platform::FileSystemPath(path), missing))) {
        return true;  // nothing recorded yet
    }
    if (const ledger::Error failure = book.Open(path, ledger::Ledger::Access::kRead)) {
        err << LedgerLine(path, failure.text) << std::endl;
        return false;
    }
    return true;
}

std::vector<DeviceAddress> LeaveOutCurrent(const LedgerOptions& options,
                                           const std::vector<DeviceAddress>& devices,
                                           const std::string& sha256,
                                           std::vector<SkippedDevice>& skipped, std::ostream& err) {
    skipped.clear();
    ledger::Ledger book;
    if (!OpenLedgerForReading(options, book, err) || !book.IsOpen()) {
        return devices;
    }
    std::vector<DeviceAddress> left;
    for (const auto& device : devices) {
        ledger::DeviceStatus status;
        if (const ledger::Error failure =
                book.Status(RecordedAddress(device.host), device.port, sha256, status)) {
            err << LedgerLine(book.Path(), failure.text) << "; nothing is skipped" << std::endl;
            skipped.clear();
            return devices;
        }
        if (status.state == ledger::State::kCurrent) {
            skipped.push_back(SkippedDevice{device, *status.decisive});
        } else {
            left.push_back(device);
        }
    }
    return left;
}

UploadLedger::UploadLedger(const LedgerOptions& options, std::ostream& err)
    : options_(options), err_(err) {
    common_.program = kProgram;
    common_.version = VELLUMIX_VERSION;
    common_.user = platform::UserName();
    common_.host = platform::HostName();
}

UploadLedger::~UploadLedger() {
    Flush();
}

void UploadLedger::SetSource(std::string kind, std::string path) {
    if (kind != "stdin") {
        std::error_code error;
        const auto absolute = std::filesystem::absolute(platform::FileSystemPath(path), error);
        if (!error) {
            path = platform::PathText(absolute.lexically_normal());
        }
    }
    common_.sourceKind = std::move(kind);
    common_.sourcePath = std::move(path);
}

bool UploadLedger::Failed(const ledger::Error& error) {
    active_ = false;
    book_.Close();
    if (options_.required) {
        err_ << LedgerLine(path_, error.text)
             << "; --require-ledger: nothing is uploaded unrecorded" << std::endl;
        return false;
    }
    err_ << LedgerLine(path_, error.text) << "; this upload is not recorded" << std::endl;
    return true;
}

bool UploadLedger::Prepare(const packer::WebImage& image) {
    if (options_.off) {
        return true;
    }
    // A build without SQLite records nothing unless a ledger was asked for by name.
    const char* named = std::getenv("VELLUMIX_LEDGER");
    if (!ledger::Available() && !options_.required && options_.file.empty() &&
        (named == nullptr || named[0] == '\0')) {
        return true;
    }
    const auto located = ledger::LedgerPath(options_.file);
    if (!located) {
        return Failed(located.error());
    }
    path_ = *located;
    if (ledger::IsDefaultPlace(path_)) {
        const std::string folder =
            platform::PathText(platform::FileSystemPath(path_).parent_path());
        if (const platform::Error error = platform::CreatePrivateFolders(folder)) {
            return Failed(error);
        }
    }
    if (const ledger::Error failure = book_.Open(path_, ledger::Ledger::Access::kRecord)) {
        return Failed(failure);
    }
    const auto length = static_cast<std::size_t>(image.usedLength);
    const auto record = ledger::ImageRecordOf(image.imageBuffer.data(), length);
    if (!record) {
        return Failed(ledger::Error{0, "the image's directory cannot be read"});
    }
    if (const ledger::Error failure = book_.RecordImage(*record)) {
        return Failed(failure);
    }
    common_.imageSha256 = record->sha256;
    common_.imageBytes = record->bytes;
    common_.fileCount = static_cast<int>(record->files.size());
    common_.totalFrames = static_cast<int>(transfer::FrameCount(image.usedLength));
    active_ = true;
    return true;
}

bool UploadLedger::Begin(const std::vector<DeviceAddress>& devices) {
    if (!active_ || writer_.joinable()) {
        startsKnown_ = true;
        return true;
    }
    std::vector<ledger::UploadStart> starts;
    const std::int64_t now = ledger::NowMs();
    for (const auto& device : devices) {
        ledger::UploadStart start = common_;
        start.startedMs = now;
        start.device = device.host;
        start.address = RecordedAddress(device.host);
        start.port = device.port;
        starts.push_back(std::move(start));
    }
    count_ = starts.size();
    // The journal is copied into the file by the writer between records, not by the commit
    // that happens to fill it, which the connections would wait for.
    book_.DeferCheckpoints();
    writer_ =
        std::thread([this, starts = std::move(starts)]() mutable { Write(std::move(starts)); });
    // A paced upload goes on while the rows are written. Without a pace, or when the plant
    // requires a record (a failed start row must stop the upload before its first byte), the
    // rows are waited for here.
    if (common_.paceMs > 0 && !options_.required) {
        return true;
    }
    AwaitStarts();
    return SayFailure();
}

void UploadLedger::AwaitStarts(std::optional<std::chrono::milliseconds> longest) {
    if (writer_.joinable()) {
        std::unique_lock lock(mutex_);
        const auto written = [this] { return startsWritten_; };
        if (longest) {
            written_.wait_for(lock, *longest, written);
        } else {
            written_.wait(lock, written);
        }
    }
    startsKnown_ = true;
}

void UploadLedger::Write(std::vector<ledger::UploadStart> starts) {
    std::vector<std::int64_t> ids;
    ledger::Error failure = book_.BeginUploads(starts, ids);
    {
        std::lock_guard lock(mutex_);
        startsWritten_ = true;
        startsFailed_ = static_cast<bool>(failure);
        if (failure) {
            failure_ = failure;
        }
    }
    written_.notify_all();
    std::unique_lock lock(mutex_);
    // The journal is copied into the file once the connections are open and the upload waits
    // on its pace, unless ends come first (the close copies it then). One that fails loses
    // nothing: the next one, or the close, copies it.
    if (!failure && !wake_.wait_for(lock, kCheckpointDelay,
                                    [this] { return finishing_ || !pending_.empty(); })) {
        lock.unlock();
        book_.Checkpoint();
        lock.lock();
    }
    for (;;) {
        wake_.wait(lock, [this] { return finishing_ || !pending_.empty(); });
        // The ends that come soon after this one (a fleet's come together) are written with it.
        wake_.wait_for(lock, kFlushPeriod, [this] { return finishing_; });
        std::vector<Ending> batch;
        batch.swap(pending_);
        const bool last = finishing_;
        lock.unlock();
        if (!failure && !batch.empty()) {
            std::vector<ledger::UploadEnd> ends;
            for (auto& ending : batch) {
                ending.end.id = ids[ending.index];
                ends.push_back(std::move(ending.end));
            }
            failure = book_.FinishUploads(ends);
            if (failure) {
                std::lock_guard failed(mutex_);
                failure_ = failure;
            }
        }
        if (last) {
            return;
        }
        lock.lock();
    }
}

bool UploadLedger::SayFailure() {
    std::optional<ledger::Error> failure;
    bool atStart = false;
    {
        std::lock_guard lock(mutex_);
        failure.swap(failure_);
        atStart = startsFailed_;
    }
    if (!failure) {
        return true;
    }
    active_ = false;
    // Recording has failed for the rest: once said is enough, and the upload goes on.
    const bool refused = atStart && options_.required;
    err_ << LedgerLine(path_, failure->text)
         << (refused ? "; --require-ledger: nothing is uploaded unrecorded"
                     : "; this upload is not recorded")
         << std::endl;
    return !refused;
}

UploadEvents& UploadLedger::Watch(UploadEvents& printer) {
    watcher_ = std::make_unique<Watcher>(*this, printer);
    return *watcher_;
}

void UploadLedger::Ended(int index, const DeviceRunReport& report) {
    if (!active_ || index < 0 || static_cast<std::size_t>(index) >= count_) {
        return;
    }
    ledger::UploadEnd end;
    end.endedMs = ledger::NowMs();
    end.result = ResultOf(report);
    end.message = report.message;
    end.cause = report.cause;
    end.tries = report.attempts;
    end.framesSent = report.framesTaken;
    end.totalFrames = report.totalFrames > 0 ? report.totalFrames : common_.totalFrames;
    end.interrupted = report.interrupted;
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        first = pending_.empty();
        pending_.push_back(Ending{static_cast<std::size_t>(index), std::move(end)});
    }
    // The writer waits for the first end of a batch only; waking it for each of a fleet's
    // thousand would take the upload's thread from them.
    if (first) {
        wake_.notify_one();
    }
}

void UploadLedger::Flush() {
    if (!writer_.joinable()) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        finishing_ = true;
    }
    wake_.notify_one();
    writer_.join();
    SayFailure();
}

}  // namespace cli
