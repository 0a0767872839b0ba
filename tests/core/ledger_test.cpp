// The ledger on real SQLite files in scratch folders.

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// A Windows build may be made without SQLite, and then has no ledger to test.
#if __has_include(<sqlite3.h>)
#include <sqlite3.h>

#include "ledger/ledger.h"
#include "support/test_support.h"

namespace {

using ledger::Ledger;
using testing_support::ReadFile;
using testing_support::TempDir;

ledger::UploadStart StartOf(const std::string& address, const std::string& sha, std::int64_t at) {
    ledger::UploadStart start;
    start.startedMs = at;
    start.device = address;
    start.address = address;
    start.port = 8001;
    start.imageSha256 = sha;
    start.sourceKind = "folder";
    start.sourcePath = "/web";
    start.program = "test";
    start.totalFrames = 10;
    return start;
}

ledger::UploadEnd EndOf(std::int64_t id, const std::string& result, int framesSent) {
    ledger::UploadEnd end;
    end.id = id;
    end.result = result;
    end.framesSent = framesSent;
    end.totalFrames = 10;
    end.tries = 1;
    return end;
}

// Records one upload of `sha` to `address` ending with `result` (none: left unfinished).
void Record(Ledger& book, const std::string& address, const std::string& sha,
            const std::string& result, int framesSent, std::int64_t at) {
    std::vector<std::int64_t> ids;
    ASSERT_FALSE(book.BeginUploads({StartOf(address, sha, at)}, ids));
    if (!result.empty()) {
        ASSERT_FALSE(book.FinishUploads({EndOf(ids.at(0), result, framesSent)}));
    }
}

void SetUserVersion(const std::string& path, int version) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    const std::string sql = "PRAGMA user_version=" + std::to_string(version);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

TEST(Ledger, StateFollowsTheLastUploadThatCouldHaveChangedTheController) {
    TempDir dir;
    Ledger book;
    ASSERT_FALSE(book.Open((dir.path() / "l.sqlite").string(), Ledger::Access::kRecord));
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, int>> uploads;  // result of A's uploads, frames sent
        ledger::State expected;
    } cases[] = {
        {"nothing recorded", {}, ledger::State::kUnknown},
        {"succeeded", {{"ok", 10}}, ledger::State::kCurrent},
        {"failed before any frame keeps the success",
         {{"ok", 10}, {"failed", 0}},
         ledger::State::kCurrent},
        {"failed after frames", {{"ok", 10}, {"failed", 3}}, ledger::State::kIncomplete},
        {"interrupted mid-way", {{"ok", 10}, {"interrupted", 4}}, ledger::State::kIncomplete},
        {"never finished (crash)", {{"ok", 10}, {"", 0}}, ledger::State::kIncomplete},
        {"refused at connect only", {{"failed", 0}}, ledger::State::kUnknown},
        {"only the first frame, which writes nothing",
         {{"ok", 10}, {"interrupted", 1}},
         ledger::State::kCurrent},
    };
    int device = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string address = "127.0.0." + std::to_string(++device);
        for (const auto& [result, frames] : c.uploads) {
            Record(book, address, "aa", result, frames, 1000);
        }
        ledger::DeviceStatus status;
        ASSERT_FALSE(book.Status(address, 8001, "aa", status));
        EXPECT_EQ(status.state, c.expected);
        ASSERT_FALSE(book.Status(address, 8001, "bb", status));
        EXPECT_EQ(status.state,
                  c.expected == ledger::State::kCurrent ? ledger::State::kOutdated : c.expected);
    }
}

TEST(Ledger, HistoryFiltersAndKeepsNewestFirst) {
    TempDir dir;
    Ledger book;
    ASSERT_FALSE(book.Open((dir.path() / "l.sqlite").string(), Ledger::Access::kRecord));
    Record(book, "127.0.0.1", "aa", "ok", 10, 1000);
    Record(book, "127.0.0.2", "aa", "failed", 2, 2000);
    Record(book, "127.0.0.1", "bb", "", 0, 3000);
    ledger::ImageRecord image{"aa", 64, {{"/index.html", 32, 32, "cc"}}};
    ASSERT_FALSE(book.RecordImage(image));
    ASSERT_FALSE(book.RecordImage(image));  // a second time changes nothing

    std::vector<ledger::UploadRow> rows;
    auto starts = [&] {
        std::vector<std::int64_t> at;
        for (const auto& row : rows) {
            at.push_back(row.start.startedMs);
        }
        return at;
    };
    auto query = [&](auto set) {
        ledger::HistoryFilter filter;
        set(filter);
        EXPECT_FALSE(book.History(filter, rows));
        return starts();
    };
    using Starts = std::vector<std::int64_t>;
    EXPECT_EQ(query([](auto&) {}), (Starts{3000, 2000, 1000}));
    EXPECT_EQ(query([](auto& f) { f.device = "127.0.0.1"; }), (Starts{3000, 1000}));
    EXPECT_EQ(query([](auto& f) { f.failedOnly = true; }), (Starts{3000, 2000}));
    EXPECT_EQ(query([](auto& f) { f.imageSha256 = "aa", f.sinceMs = 1500; }), (Starts{2000}));
    query([](auto& f) { f.limit = 1; });
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_FALSE(rows[0].end.has_value());

    std::vector<ledger::ImageFile> files;
    ASSERT_FALSE(book.ImageFiles("aa", files));
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].name, "/index.html");
}

TEST(Ledger, UnusableFilesAreRefusedAndLeftAsTheyAre) {
    TempDir dir;
    const std::string garbage(8192, '\x5a');
    const auto corrupt = dir.Write("corrupt.sqlite", garbage);
    const auto other = (dir.path() / "other.sqlite").string();
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
        sqlite3_exec(db, "CREATE TABLE t (x)", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    const auto newer = (dir.path() / "newer.sqlite").string();
    {
        Ledger book;
        ASSERT_FALSE(book.Open(newer, Ledger::Access::kRecord));
    }
    SetUserVersion(newer, ledger::kSchemaVersion + 1);
    const std::string otherBytes = ReadFile(other);
    const std::string newerBytes = ReadFile(newer);

    for (const std::string& path : {corrupt.string(), other, newer, dir.path().string()}) {
        SCOPED_TRACE(path);
        Ledger book;
        const ledger::Error error = book.Open(path, Ledger::Access::kRecord);
        EXPECT_TRUE(error.failed());
        EXPECT_FALSE(book.Writable());
    }
    EXPECT_EQ(ReadFile(corrupt), garbage);
    EXPECT_EQ(ReadFile(other), otherBytes);
    EXPECT_EQ(ReadFile(newer), newerBytes);

    // A newer file is still read.
    Ledger reader;
    ASSERT_FALSE(reader.Open(newer, Ledger::Access::kRead));
    std::vector<ledger::UploadRow> rows;
    EXPECT_FALSE(reader.History({}, rows));
}

TEST(Ledger, EmptyDatabaseIsUpgradedInPlaceAndReopensAtTheSameVersion) {
    TempDir dir;
    const auto path = (dir.path() / "old.sqlite").string();
    SetUserVersion(path, 0);
    {
        Ledger book;
        ASSERT_FALSE(book.Open(path, Ledger::Access::kRecord));
        EXPECT_EQ(book.FileSchemaVersion(), ledger::kSchemaVersion);
        Record(book, "127.0.0.1", "aa", "ok", 10, 1);
    }
    Ledger again;
    ASSERT_FALSE(again.Open(path, Ledger::Access::kRecord));
    std::vector<ledger::UploadRow> rows;
    ASSERT_FALSE(again.History({}, rows));
    EXPECT_EQ(rows.size(), 1u);
}

TEST(Ledger, UtcTextsRoundTripAndBadDatesAreRefused) {
    EXPECT_EQ(ledger::FormatUtc(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(ledger::ParseUtc("2026-12-08"), 1796688000000);
    EXPECT_EQ(ledger::ParseUtc("2026-12-08T14:05:09Z"), 1796688000000 + 50709000);
    EXPECT_EQ(ledger::FormatUtc(1796688000000 + 50709123), "2026-12-08T14:05:09.123Z");
    for (const char* bad : {"", "2026-13-01", "2026-02-30", "2026-12-08T25:00", "2026-12-08x",
                            "2026-12-08T14", "26-12-08"}) {
        EXPECT_FALSE(ledger::ParseUtc(bad).has_value()) << bad;
    }
}

}  // namespace

#endif
