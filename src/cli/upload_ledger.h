#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/device_list.h"
#include "cli/upload_events.h"
#include "ledger/ledger.h"
#include "packer/web_image.h"

namespace cli {

// --ledger FILE (else $VELLUMIX_LEDGER, else the user's data folder), and for upload
// --no-ledger and --require-ledger.
struct LedgerOptions {
    std::string file;
    bool off = false;
    bool required = false;
};
// --ledger alone (history, status).
void AddLedgerFileOption(CLI::App& command, LedgerOptions& options);
// --ledger, --no-ledger, --require-ledger (upload).
void AddLedgerOptions(CLI::App& command, LedgerOptions& options);

// The address a device is recorded under: the dotted IPv4 address its name resolves to, else
// the name in lower case.
std::string RecordedAddress(const std::string& host);

// Opens the ledger for reading; false with the message on `err` ("vellumix-cli: ledger FILE:
// REASON"). A file that does not exist yet reads as empty (true, `book` left closed).
bool OpenLedgerForReading(const LedgerOptions& options, ledger::Ledger& book, std::ostream& err);

// A controller left out by --skip-current, and the upload that made it current.
struct SkippedDevice {
    DeviceAddress device;
    ledger::UploadRow upload;
};

// Splits `devices` by what the ledger knows: those already current with the image `sha256`
// go to `skipped`, the others are returned in their order. A ledger that cannot be read skips
// nothing (a warning on `err`): sending again is the safe side.
std::vector<DeviceAddress> LeaveOutCurrent(const LedgerOptions& options,
                                           const std::vector<DeviceAddress>& devices,
                                           const std::string& sha256,
                                           std::vector<SkippedDevice>& skipped, std::ostream& err);

// Records an upload's controllers in the ledger: a row each when they start, completed as each
// ends (in short batches, so that a thousand ends are a few transactions). The rows are written
// on a thread of their own, so that the connections never wait on the disk: the start rows as
// the connections open, committed before any controller is sent more than its first frame (the
// one that only announces the image), and every end before Flush returns. A ledger that cannot
// be written never stops the upload: one warning on `err` ("vellumix-cli: ledger FILE: REASON;
// this upload is not recorded"), and nothing more is tried.
class UploadLedger {
  public:
    UploadLedger(const LedgerOptions& options, std::ostream& err);
    ~UploadLedger();
    UploadLedger(const UploadLedger&) = delete;
    UploadLedger& operator=(const UploadLedger&) = delete;

    // Where the image came from: "folder", "image" or "stdin", and its path.
    void SetSource(std::string kind, std::string path);
    void SetPace(int paceMs) { common_.paceMs = paceMs; }
    // Opens the ledger and records the image. With --require-ledger, false (after the message
    // on `err`) when the ledger cannot be written: nothing may be sent then.
    bool Prepare(const packer::WebImage& image);
    // Hands the rows of the controllers about to start to the writer. Without a pace (whose
    // frames follow one another at once), and with --require-ledger, it waits until they are
    // committed, false as Prepare when they could not be.
    bool Begin(const std::vector<DeviceAddress>& devices);
    // Passes every event on to `printer` and records each end.
    UploadEvents& Watch(UploadEvents& printer);
    // Writes the ends not yet written and waits for them.
    void Flush();

  private:
    class Watcher;
    struct Ending {
        std::size_t index;
        ledger::UploadEnd end;
    };

    bool Failed(const ledger::Error& error);
    void Ended(int index, const DeviceRunReport& report);
    // The writer thread.
    void Write(std::vector<ledger::UploadStart> starts);
    // Waits until the start rows are committed (or failed), or at most `longest`.
    void AwaitStarts(std::optional<std::chrono::milliseconds> longest = std::nullopt);
    // Says the writer's failure, once, on the calling (the upload's) thread; false when there
    // was one and --require-ledger asked for a record.
    bool SayFailure();

    LedgerOptions options_;
    std::ostream& err_;
    std::string path_;
    ledger::Ledger book_;
    bool active_ = false;
    bool startsKnown_ = false;  // the upload's thread's copy of startsWritten_
    ledger::UploadStart common_;
    std::unique_ptr<Watcher> watcher_;

    std::thread writer_;
    std::mutex mutex_;
    std::condition_variable wake_;     // ends to write, or finishing_
    std::condition_variable written_;  // startsWritten_
    std::size_t count_ = 0;            // of start rows
    bool startsWritten_ = false;
    bool startsFailed_ = false;
    bool finishing_ = false;
    std::vector<Ending> pending_;
    std::optional<ledger::Error> failure_;  // the writer's, not yet said
};

}  // namespace cli
