#include "ledger/ledger.h"

#include <filesystem>
#include <system_error>

#include <sqlite3.h>

#include "platform/system_text.h"

namespace ledger {

namespace {

// Each step upgrades a file of version (index) to version (index + 1). A new version appends a
// step; existing steps never change, since files out there were made by them.
constexpr const char* kUpgradeSteps[] = {
    // 0 -> 1: the first schema.
    "CREATE TABLE images ("
    "  sha256 TEXT PRIMARY KEY,"
    "  bytes INTEGER NOT NULL,"
    "  file_count INTEGER NOT NULL"
    ") WITHOUT ROWID;"
    "CREATE TABLE image_files ("
    "  image_sha256 TEXT NOT NULL REFERENCES images(sha256),"
    "  position INTEGER NOT NULL,"
    "  name TEXT NOT NULL,"
    "  offset INTEGER NOT NULL,"
    "  size INTEGER NOT NULL,"
    "  sha256 TEXT NOT NULL,"
    "  PRIMARY KEY (image_sha256, position)"
    ") WITHOUT ROWID;"
    "CREATE TABLE uploads ("
    "  id INTEGER PRIMARY KEY,"
    "  started_ms INTEGER NOT NULL,"
    "  ended_ms INTEGER,"
    "  device TEXT NOT NULL,"
    "  address TEXT NOT NULL,"
    "  port INTEGER NOT NULL,"
    "  image_sha256 TEXT NOT NULL,"
    "  image_bytes INTEGER NOT NULL,"
    "  file_count INTEGER NOT NULL,"
    "  source_kind TEXT NOT NULL,"
    "  source_path TEXT NOT NULL,"
    "  result TEXT,"
    "  message TEXT,"
    "  cause TEXT,"
    "  tries INTEGER,"
    "  frames_sent INTEGER,"
    "  total_frames INTEGER NOT NULL,"
    "  interrupted INTEGER,"
    "  program TEXT NOT NULL,"
    "  version TEXT NOT NULL,"
    "  user_name TEXT NOT NULL,"
    "  host_name TEXT NOT NULL,"
    "  pace_ms INTEGER NOT NULL"
    ");"
    "CREATE INDEX uploads_by_address ON uploads (address, port, id);"
    "CREATE INDEX uploads_by_device ON uploads (device, id);"
    "CREATE INDEX uploads_by_image ON uploads (image_sha256, id);"
    "CREATE INDEX uploads_by_start ON uploads (started_ms);",
};
static_assert(std::size(kUpgradeSteps) == kSchemaVersion);

constexpr char kUploadColumns[] =
    "id, started_ms, device, address, port, image_sha256, image_bytes, file_count, source_kind, "
    "source_path, program, version, user_name, host_name, total_frames, ended_ms, result, "
    "message, cause, tries, frames_sent, interrupted, pace_ms";

// A prepared statement that finalizes itself.
class Statement {
  public:
    Statement(sqlite3* db, const std::string& sql) {
        code_ = sqlite3_prepare_v2(db, sql.c_str(), -1, &statement_, nullptr);
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool Ok() const { return code_ == SQLITE_OK; }
    int Bind(int index, const std::string& text) {
        return sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                                 SQLITE_TRANSIENT);
    }
    int Bind(int index, std::int64_t value) { return sqlite3_bind_int64(statement_, index, value); }
    // SQLITE_ROW, SQLITE_DONE or an error.
    int Step() { return sqlite3_step(statement_); }
    void Reset() {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }
    std::int64_t Int(int column) const { return sqlite3_column_int64(statement_, column); }
    bool Null(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
    std::string Text(int column) const {
        const auto* text = sqlite3_column_text(statement_, column);
        const int length = sqlite3_column_bytes(statement_, column);
        return text == nullptr ? std::string()
                               : std::string(reinterpret_cast<const char*>(text),
                                             static_cast<std::size_t>(length));
    }

  private:
    sqlite3_stmt* statement_ = nullptr;
    int code_ = SQLITE_OK;
};

UploadRow ReadUpload(const Statement& row) {
    UploadRow upload;
    upload.id = row.Int(0);
    UploadStart& start = upload.start;
    start.startedMs = row.Int(1);
    start.device = row.Text(2);
    start.address = row.Text(3);
    start.port = static_cast<int>(row.Int(4));
    start.imageSha256 = row.Text(5);
    start.imageBytes = row.Int(6);
    start.fileCount = static_cast<int>(row.Int(7));
    start.sourceKind = row.Text(8);
    start.sourcePath = row.Text(9);
    start.program = row.Text(10);
    start.version = row.Text(11);
    start.user = row.Text(12);
    start.host = row.Text(13);
    start.totalFrames = static_cast<int>(row.Int(14));
    start.paceMs = static_cast<int>(row.Int(22));
    if (!row.Null(16)) {
        UploadEnd end;
        end.id = upload.id;
        end.endedMs = row.Int(15);
        end.result = row.Text(16);
        end.message = row.Text(17);
        end.cause = row.Text(18);
        end.tries = static_cast<int>(row.Int(19));
        end.framesSent = static_cast<int>(row.Int(20));
        end.totalFrames = start.totalFrames;
        end.interrupted = row.Int(21) != 0;
        upload.end = std::move(end);
    }
    return upload;
}

// Rolls back an open transaction unless it was committed.
class Transaction {
  public:
    explicit Transaction(sqlite3* db) : db_(db) {}
    ~Transaction() {
        if (open_) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // IMMEDIATE takes the write lock at once, so that a busy ledger is waited for here (the
    // busy handler applies) rather than failing later on a lock upgrade.
    int Begin() {
        const int code = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        open_ = code == SQLITE_OK;
        return code;
    }
    int Commit() {
        const int code = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        open_ = code != SQLITE_OK && sqlite3_get_autocommit(db_) == 0;
        return code;
    }

  private:
    sqlite3* db_;
    bool open_ = false;
};

}  // namespace

bool Available() {
    return true;
}

Ledger::~Ledger() {
    Close();
}

void Ledger::Close() {
    if (db_ != nullptr) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
    writable_ = false;
    fileVersion_ = 0;
}

Error Ledger::Fail(const std::string& what) const {
    const int code = db_ != nullptr ? sqlite3_extended_errcode(db_) : SQLITE_ERROR;
    std::string text = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code);
    const int primary = code & 0xff;
    if (primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT) {
        text += " (the file is left as it is)";
    } else if (primary == SQLITE_BUSY) {
        text += " (another program holds it for more than " +
                std::to_string(kBusyTimeoutMs / 1000) + " s)";
    }
    return Error{code, what.empty() ? text : what + ": " + text};
}

Error Ledger::Exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        return Fail("");
    }
    return {};
}

Error Ledger::Open(const std::string& path, Access access) {
    Close();
    path_ = path;
    std::error_code fsError;
    const auto status = std::filesystem::status(platform::FileSystemPath(path), fsError);
    const bool exists = !fsError && std::filesystem::exists(status);
    // SQLite would open a FIFO or a device and wait on it, or read a folder's entry as a file.
    if (exists && !std::filesystem::is_regular_file(status)) {
        return Error{0, "not a regular file"};
    }
    if (!exists && access == Access::kRead) {
        return Error{SQLITE_CANTOPEN, "no such file"};
    }
    const int flags = access == Access::kRecord ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE
                                                : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        Error error = Fail("");
        Close();
        return error;
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);

    // The first read of the file: a file that is not a database fails here. The version and the
    // tables are read in one statement, so in one snapshot: read apart, another process could
    // create the schema in between, and its new ledger would look like someone else's database.
    {
        Statement first(db_,
                        "SELECT (SELECT user_version FROM pragma_user_version), "
                        "(SELECT count(*) FROM sqlite_schema)");
        if (!first.Ok() || first.Step() != SQLITE_ROW) {
            Error error = Fail("");
            Close();
            return error;
        }
        fileVersion_ = static_cast<int>(first.Int(0));
        if (fileVersion_ == 0 && first.Int(1) != 0) {
            Close();
            return Error{0, "a SQLite database that is not a ledger (left as it is)"};
        }
    }
    if (access == Access::kRead) {
        return {};
    }
    if (fileVersion_ > kSchemaVersion) {
        const int version = fileVersion_;
        Close();
        return Error{0, "written by a newer Vellumix (schema " + std::to_string(version) +
                            ", this one knows " + std::to_string(kSchemaVersion) +
                            "); it is only read"};
    }
    if (sqlite3_db_readonly(db_, "main") == 1) {
        Close();
        return Error{SQLITE_READONLY, "the file is read-only"};
    }
    Error error = Exec("PRAGMA journal_mode=WAL");
    if (!error) {
        error = Upgrade();
    }
    if (error) {
        Close();
        return error;
    }
    writable_ = true;
    return {};
}

Error Ledger::Upgrade() {
    if (fileVersion_ == kSchemaVersion) {
        return {};
    }
    Transaction transaction(db_);
    if (transaction.Begin() != SQLITE_OK) {
        return Fail("");
    }
    // Another process may have upgraded the file since it was first read.
    Statement version(db_, "PRAGMA user_version");
    if (!version.Ok() || version.Step() != SQLITE_ROW) {
        return Fail("");
    }
    fileVersion_ = static_cast<int>(version.Int(0));
    for (int step = fileVersion_; step < kSchemaVersion; ++step) {
        if (Error error = Exec(kUpgradeSteps[step])) {
            return error;
        }
    }
    if (fileVersion_ < kSchemaVersion) {
        const std::string set = "PRAGMA user_version=" + std::to_string(kSchemaVersion);
        if (Error error = Exec(set.c_str())) {
            return error;
        }
    }
    if (transaction.Commit() != SQLITE_OK) {
        return Fail("");
    }
    fileVersion_ = kSchemaVersion;
    return {};
}

Error Ledger::RecordImage(const ImageRecord& image) {
    if (!writable_) {
        return Error{SQLITE_READONLY, "not open for recording"};
    }
    Transaction transaction(db_);
    if (transaction.Begin() != SQLITE_OK) {
        return Fail("");
    }
    Statement insert(db_,
                     "INSERT INTO images (sha256, bytes, file_count) VALUES (?1, ?2, ?3) "
                     "ON CONFLICT DO NOTHING");
    if (!insert.Ok()) {
        return Fail("");
    }
    insert.Bind(1, image.sha256);
    insert.Bind(2, image.bytes);
    insert.Bind(3, static_cast<std::int64_t>(image.files.size()));
    if (insert.Step() != SQLITE_DONE) {
        return Fail("");
    }
    if (sqlite3_changes(db_) == 0) {
        return {};  // recorded before, with the same directory: the hash covers it
    }
    Statement file(db_,
                   "INSERT INTO image_files (image_sha256, position, name, offset, size, sha256) "
                   "VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    if (!file.Ok()) {
        return Fail("");
    }
    std::int64_t position = 0;
    for (const auto& entry : image.files) {
        file.Bind(1, image.sha256);
        file.Bind(2, position++);
        file.Bind(3, entry.name);
        file.Bind(4, entry.offset);
        file.Bind(5, entry.size);
        file.Bind(6, entry.sha256);
        if (file.Step() != SQLITE_DONE) {
            return Fail("");
        }
        file.Reset();
    }
    if (transaction.Commit() != SQLITE_OK) {
        return Fail("");
    }
    return {};
}

Error Ledger::BeginUploads(const std::vector<UploadStart>& starts, std::vector<std::int64_t>& ids) {
    ids.clear();
    if (!writable_) {
        return Error{SQLITE_READONLY, "not open for recording"};
    }
    Transaction transaction(db_);
    if (transaction.Begin() != SQLITE_OK) {
        return Fail("");
    }
    Statement insert(db_,
                     "INSERT INTO uploads (started_ms, device, address, port, image_sha256, "
                     "image_bytes, file_count, source_kind, source_path, program, version, "
                     "user_name, host_name, total_frames, pace_ms) VALUES (?1, ?2, ?3, ?4, ?5, ?6, "
                     "?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15)");
    if (!insert.Ok()) {
        return Fail("");
    }
    std::vector<std::int64_t> made;
    for (const auto& start : starts) {
        insert.Bind(1, start.startedMs);
        insert.Bind(2, start.device);
        insert.Bind(3, start.address);
        insert.Bind(4, static_cast<std::int64_t>(start.port));
        insert.Bind(5, start.imageSha256);
        insert.Bind(6, start.imageBytes);
        insert.Bind(7, static_cast<std::int64_t>(start.fileCount));
        insert.Bind(8, start.sourceKind);
        insert.Bind(9, start.sourcePath);
        insert.Bind(10, start.program);
        insert.Bind(11, start.version);
        insert.Bind(12, start.user);
        insert.Bind(13, start.host);
        insert.Bind(14, static_cast<std::int64_t>(start.totalFrames));
        insert.Bind(15, static_cast<std::int64_t>(start.paceMs));
        if (insert.Step() != SQLITE_DONE) {
            return Fail("");
        }
        made.push_back(sqlite3_last_insert_rowid(db_));
        insert.Reset();
    }
    if (transaction.Commit() != SQLITE_OK) {
        return Fail("");
    }
    ids = std::move(made);
    return {};
}

Error Ledger::FinishUploads(const std::vector<UploadEnd>& ends) {
    if (!writable_) {
        return Error{SQLITE_READONLY, "not open for recording"};
    }
    if (ends.empty()) {
        return {};
    }
    Transaction transaction(db_);
    if (transaction.Begin() != SQLITE_OK) {
        return Fail("");
    }
    Statement update(db_,
                     "UPDATE uploads SET ended_ms = ?2, result = ?3, message = ?4, cause = ?5, "
                     "tries = ?6, frames_sent = ?7, total_frames = ?8, interrupted = ?9 "
                     "WHERE id = ?1");
    if (!update.Ok()) {
        return Fail("");
    }
    for (const auto& end : ends) {
        update.Bind(1, end.id);
        update.Bind(2, end.endedMs);
        update.Bind(3, end.result);
        update.Bind(4, end.message);
        update.Bind(5, end.cause);
        update.Bind(6, static_cast<std::int64_t>(end.tries));
        update.Bind(7, static_cast<std::int64_t>(end.framesSent));
        update.Bind(8, static_cast<std::int64_t>(end.totalFrames));
        update.Bind(9, static_cast<std::int64_t>(end.interrupted ? 1 : 0));
        if (update.Step() != SQLITE_DONE) {
            return Fail("");
        }
        update.Reset();
    }
    if (transaction.Commit() != SQLITE_OK) {
        return Fail("");
    }
    return {};
}

void Ledger::DeferCheckpoints() {
    if (writable_) {
        sqlite3_wal_autocheckpoint(db_, 0);
    }
}

Error Ledger::Checkpoint() {
    if (!writable_) {
        return Error{SQLITE_READONLY, "not open for recording"};
    }
    if (sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr) !=
        SQLITE_OK) {
        return Fail("");
    }
    return {};
}

Error Ledger::History(const HistoryFilter& filter, std::vector<UploadRow>& rows) {
    rows.clear();
    if (db_ == nullptr) {
        return Error{SQLITE_MISUSE, "not open"};
    }
    // Only the conditions asked for, so that SQLite can pick the index that fits.
    std::string sql = std::string("SELECT ") + kUploadColumns + " FROM uploads WHERE 1";
    if (!filter.device.empty()) {
        sql += " AND (address = ?1 OR device = ?1)";
    }
    if (filter.port != 0) {
        sql += " AND port = ?2";
    }
    if (!filter.imageSha256.empty()) {
        sql += " AND image_sha256 = ?3";
    }
    if (filter.sinceMs != 0) {
        sql += " AND started_ms >= ?4";
    }
    if (filter.failedOnly) {
        sql += " AND (result IS NULL OR result != 'ok')";
    }
    sql += " ORDER BY id DESC";
    if (filter.limit > 0) {
        sql += " LIMIT ?5";
    }
    Statement query(db_, sql);
    if (!query.Ok()) {
        return Fail("");
    }
    if (!filter.device.empty()) {
        query.Bind(1, filter.device);
    }
    query.Bind(2, static_cast<std::int64_t>(filter.port));
    query.Bind(3, filter.imageSha256);
    query.Bind(4, filter.sinceMs);
    query.Bind(5, filter.limit);
    int code = SQLITE_ROW;
    while ((code = query.Step()) == SQLITE_ROW) {
        rows.push_back(ReadUpload(query));
    }
    if (code != SQLITE_DONE) {
        rows.clear();
        return Fail("");
    }
    return {};
}

Error Ledger::Status(const std::string& address, int port, const std::string& imageSha256,
                     DeviceStatus& status) {
    status = DeviceStatus{};
    if (db_ == nullptr) {
        return Error{SQLITE_MISUSE, "not open"};
    }
    Statement query(db_, std::string("SELECT ") + kUploadColumns +
                             " FROM uploads WHERE address = ?1 AND port = ?2 AND NOT (result IS "
                             "NOT NULL AND result != 'ok' AND frames_sent <= 1) ORDER BY id "
                             "DESC "
                             "LIMIT 1");
    if (!query.Ok()) {
        return Fail("");
    }
    query.Bind(1, address);
    query.Bind(2, static_cast<std::int64_t>(port));
    const int code = query.Step();
    if (code == SQLITE_DONE) {
        return {};
    }
    if (code != SQLITE_ROW) {
        return Fail("");
    }
    UploadRow row = ReadUpload(query);
    if (!row.end || row.end->result != "ok") {
        // Unfinished rows count here too: a crash mid-upload leaves the pages partial.
        status.state = State::kIncomplete;
    } else {
        status.state = row.start.imageSha256 == imageSha256 ? State::kCurrent : State::kOutdated;
    }
    status.decisive = std::move(row);
    return {};
}

Error Ledger::ImageFiles(const std::string& sha256, std::vector<ImageFile>& files) {
    files.clear();
    if (db_ == nullptr) {
        return Error{SQLITE_MISUSE, "not open"};
    }
    Statement query(db_,
                    "SELECT name, offset, size, sha256 FROM image_files WHERE image_sha256 = ?1 "
                    "ORDER BY position");
    if (!query.Ok()) {
        return Fail("");
    }
    query.Bind(1, sha256);
    int code = SQLITE_ROW;
    while ((code = query.Step()) == SQLITE_ROW) {
        files.push_back(ImageFile{query.Text(0), query.Int(1), query.Int(2), query.Text(3)});
    }
    if (code != SQLITE_DONE) {
        files.clear();
        return Fail("");
    }
    return {};
}

}  // namespace ledger
