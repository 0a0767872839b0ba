#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"

struct sqlite3;

namespace ledger {

// Why a ledger call failed: the system's or SQLite's number (0 when neither gave one) and a
// text for people; no failure on success (platform/error.h).
using Error = platform::Error;

// The schema this build writes (PRAGMA user_version). Files of an older version are upgraded in
// place; a newer one is only read.
inline constexpr int kSchemaVersion = 1;
// How long a writer waits for another process's transaction before it gives up.
inline constexpr int kBusyTimeoutMs = 5000;

// One stored file of an image, as its directory names it.
struct ImageFile {
    std::string name;  // "/..." as stored (bytes, not necessarily UTF-8)
    std::int64_t offset = 0;
    std::int64_t size = 0;
    std::string sha256;  // of the file's content, lower-case hex
};

// An image and its directory, stored once per SHA-256.
struct ImageRecord {
    std::string sha256;
    std::int64_t bytes = 0;
    std::vector<ImageFile> files;
};

// What is known when a controller's upload starts.
struct UploadStart {
    std::int64_t startedMs = 0;  // UTC, milliseconds since 1970
    std::string device;          // as given ("plc-7", "127.1:9000")
    std::string address;         // as resolved (dotted IPv4), or as given when unresolved
    int port = 0;
    std::string imageSha256;
    std::int64_t imageBytes = 0;
    int fileCount = 0;
    std::string sourceKind;  // "folder", "image" or "stdin"
    std::string sourcePath;
    std::string program;  // "vellumix-cli" or "vellumix"
    std::string version;
    std::string user;
    std::string host;
    int totalFrames = 0;
    int paceMs = 150;  // least time between two frames (the contract's 150, or --pace)
};

// How it ended.
struct UploadEnd {
    std::int64_t id = 0;  // from BeginUploads
    std::int64_t endedMs = 0;
    std::string result;  // "ok", "failed", "stopped" or "interrupted"
    std::string message;
    std::string cause;
    int tries = 0;
    int framesSent = 0;
    int totalFrames = 0;
    bool interrupted = false;
};

// A recorded upload; the end's fields are empty (result "") while it is unfinished.
struct UploadRow {
    std::int64_t id = 0;
    UploadStart start;
    std::optional<UploadEnd> end;
};

struct HistoryFilter {
    std::string device;        // matches the device as given or as resolved; empty: every one
    int port = 0;              // 0: any
    std::string imageSha256;   // empty: any
    std::int64_t sinceMs = 0;  // started at or after; 0: any time
    bool failedOnly = false;   // not "ok", unfinished ones included
    std::int64_t limit = 0;    // 0: no limit
};

// What the ledger knows of a controller compared with an image.
enum class State {
    kCurrent,     // the last upload that reached it succeeded with this image
    kOutdated,    // it succeeded with another image
    kIncomplete,  // the last one failed (or never ended) after data frames were sent
    kUnknown,     // nothing recorded
};
const char* StateName(State state);

struct DeviceStatus {
    State state = State::kUnknown;
    std::optional<UploadRow> decisive;  // the upload the state comes from
};

// The file a program records its uploads in. Every record is one short transaction; several
// processes may write at once (WAL journal, busy time-out). A file that is not a ledger, is
// damaged or cannot be read is reported and left exactly as it is.
class Ledger {
  public:
    enum class Access {
        kRecord,  // create the file when missing, upgrade an older schema
        kRead,    // never write
    };

    Ledger() = default;
    ~Ledger();
    Ledger(const Ledger&) = delete;
    Ledger& operator=(const Ledger&) = delete;

    Error Open(const std::string& path, Access access);
    void Close();
    bool IsOpen() const { return db_ != nullptr; }
    // False when opened for reading, or when the file's schema is newer than this build's.
    bool Writable() const { return writable_; }
    int FileSchemaVersion() const { return fileVersion_; }
    const std::string& Path() const { return path_; }

    // Stores the image and its directory unless the ledger has it already.
    Error RecordImage(const ImageRecord& image);
    // One row per start, all in one transaction; `ids` gets each row's id, in order.
    Error BeginUploads(const std::vector<UploadStart>& starts, std::vector<std::int64_t>& ids);
    // Completes rows, all in one transaction.
    Error FinishUploads(const std::vector<UploadEnd>& ends);
    // Commits stop copying the journal into the file once it has grown (SQLite's automatic
    // checkpoint), so that no record waits for it; Checkpoint does it when the time suits.
    // Closing still copies the rest, as the last program to close the file always does.
    void DeferCheckpoints();
    // Copies what the journal holds into the file, as far as no reader keeps it from that.
    Error Checkpoint();

    // Newest first.
    Error History(const HistoryFilter& filter, std::vector<UploadRow>& rows);
    // The state of the controller at address:port compared with the image `imageSha256`.
    // Uploads that ended before any data frame was sent (at most the first frame, which only
    // announces the image) left the controller as it was and are passed over.
    Error Status(const std::string& address, int port, const std::string& imageSha256,
                 DeviceStatus& status);
    // The directory of a recorded image, in directory order; empty when it is not recorded.
    Error ImageFiles(const std::string& sha256, std::vector<ImageFile>& files);

  private:
    Error Fail(const std::string& what) const;
    Error Exec(const char* sql);
    Error Upgrade();

    sqlite3* db_ = nullptr;
    std::string path_;
    bool writable_ = false;
    int fileVersion_ = 0;
};

// False in a build made without SQLite, whose ledger refuses every file.
bool Available();

// UTC milliseconds since 1970 now.
std::int64_t NowMs();
// "2026-12-08T14:05:09.123Z".
std::string FormatUtc(std::int64_t ms);
// "YYYY-MM-DD", "YYYY-MM-DDTHH:MM", "YYYY-MM-DDTHH:MM:SS" (a space may stand for the T, a
// trailing Z is allowed), read as UTC; nullopt when malformed.
std::optional<std::int64_t> ParseUtc(const std::string& text);

}  // namespace ledger
