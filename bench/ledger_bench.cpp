// The ledger's costs on a real file: recording a 1000-controller upload (the image, a row per
// controller at start, the ends in the batches an upload writes them in) into a new ledger and
// into one of 1,000,000 uploads, `history --device` over that ledger, and `status` for 1000
// controllers; then the file's size per recorded upload. Targets: recording within 1% of a
// 1000-controller upload of the example folder (about 2.1 s, so 21 ms), history under 50 ms,
// status under 200 ms.
//
// Usage: ledger_bench [UPLOADS [FOLDER]]   (about a minute for 1,000,000 uploads)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ledger/ledger.h"
#include "vellumix_version.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDevices = 1000;
constexpr int kBatch = 10000;
constexpr int kRepeats = 9;
constexpr double kUploadMs = 2100.0;  // 1000 controllers at once take as long as one
constexpr double kRecordTargetMs = kUploadMs / 100.0;
constexpr double kHistoryTargetMs = 50.0;
constexpr double kStatusTargetMs = 200.0;
constexpr int kEndBatches = 8;  // an upload writes its ends every 250 ms

std::string Address(int device) {
    return "127.0." + std::to_string(1 + device / 250) + "." + std::to_string(1 + device % 250);
}

std::string Sha(int image) {
    char text[65];
    std::snprintf(text, sizeof text, "%064x", image);
    return text;
}

ledger::UploadStart Start(int device, int image) {
    ledger::UploadStart start;
    start.startedMs = ledger::NowMs();
    start.device = Address(device);
    start.address = start.device;
    start.port = 8001;
    start.imageSha256 = Sha(image);
    start.imageBytes = 5792;
    start.fileCount = 6;
    start.sourceKind = "folder";
    start.sourcePath = "/srv/plc/line2/web";
    start.program = "vellumix-cli";
    start.version = VELLUMIX_VERSION;
    start.user = "engineer";
    start.host = "station-7";
    start.totalFrames = 13;
    return start;
}

ledger::UploadEnd End(std::int64_t id) {
    ledger::UploadEnd end;
    end.id = id;
    end.endedMs = ledger::NowMs();
    end.result = "ok";
    end.message = "Web Server Update OK!";
    end.tries = 1;
    end.framesSent = 13;
    end.totalFrames = 13;
    return end;
}

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The median of kRepeats runs of `run`, in ms.
template <typename Run>
double Median(Run run) {
    std::vector<double> times;
    for (int i = 0; i < kRepeats; ++i) {
        const auto started = Clock::now();
        run(i);
        times.push_back(MsSince(started));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

bool Check(const ledger::Error& error, const char* what) {
    if (error) {
        std::fprintf(stderr, "%s: %s\n", what, error.text.c_str());
        return false;
    }
    return true;
}

// One 1000-controller upload as upload records it.
bool RecordFleet(ledger::Ledger& book, int image) {
    ledger::ImageRecord record{Sha(image), 5792, {}};
    for (int file = 0; file < 6; ++file) {
        record.files.push_back({"/file" + std::to_string(file), 192 + file * 900, 900, Sha(file)});
    }
    std::vector<ledger::UploadStart> starts;
    for (int device = 0; device < kDevices; ++device) {
        starts.push_back(Start(device, image));
    }
    std::vector<std::int64_t> ids;
    if (!Check(book.RecordImage(record), "image") ||
        !Check(book.BeginUploads(starts, ids), "start")) {
        return false;
    }
    for (int batch = 0; batch < kEndBatches; ++batch) {
        std::vector<ledger::UploadEnd> ends;
        for (std::size_t i = batch; i < ids.size(); i += kEndBatches) {
            ends.push_back(End(ids[i]));
        }
        if (!Check(book.FinishUploads(ends), "end")) {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const long uploads = std::max(argc > 1 ? std::atol(argv[1]) : 1000000L, 1L * kDevices);
    const auto folder = argc > 2 ? std::filesystem::path(argv[2])
                                 : std::filesystem::temp_directory_path() / "vellumix-ledger-bench";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const std::string path = (folder / "ledger.sqlite").string();
    ledger::Ledger book;
    if (!Check(book.Open(path, ledger::Ledger::Access::kRecord), path.c_str())) {
        return 1;
    }

    bool ok = true;
    const double recordMs = Median([&](int round) { ok = ok && RecordFleet(book, round); });
    std::printf(
        "recording a %d-controller upload into a new ledger: %.1f ms (target <= %.0f ms, "
        "1%% of %.1f s)\n",
        kDevices, recordMs, kRecordTargetMs, kUploadMs / 1000.0);

    // The rest of the million, written in large transactions to save time.
    const auto filling = Clock::now();
    long recorded = static_cast<long>(kRepeats) * kDevices;
    while (ok && recorded < uploads) {
        std::vector<ledger::UploadStart> starts;
        for (int i = 0; i < kBatch && recorded + i < uploads; ++i) {
            starts.push_back(Start(static_cast<int>((recorded + i) % kDevices),
                                   static_cast<int>((recorded + i) / kDevices)));
        }
        std::vector<std::int64_t> ids;
        ok = Check(book.BeginUploads(starts, ids), "fill");
        std::vector<ledger::UploadEnd> ends;
        for (const auto id : ids) {
            ends.push_back(End(id));
        }
        ok = ok && Check(book.FinishUploads(ends), "fill");
        recorded += static_cast<long>(starts.size());
    }
    if (!ok) {
        return 1;
    }
    std::printf("filled to %ld uploads in %.1f s\n", recorded, MsSince(filling) / 1000.0);

    // Each index entry of a fleet's rows lands beside that controller's earlier ones, so a full
    // ledger writes far more pages per upload than a new one.
    const double fullRecordMs =
        Median([&](int round) { ok = ok && RecordFleet(book, kDevices + round); });
    std::printf("recording a %d-controller upload into it: %.1f ms (target <= %.0f ms)\n", kDevices,
                fullRecordMs, kRecordTargetMs);
    recorded += static_cast<long>(kRepeats) * kDevices;

    std::vector<ledger::UploadRow> rows;
    const double historyMs = Median([&](int round) {
        ledger::HistoryFilter filter;
        filter.device = Address(round * 97 % kDevices);
        ok = ok && Check(book.History(filter, rows), "history");
    });
    std::printf("history --device over %ld uploads (%zu rows): %.1f ms (target < %.0f ms)\n",
                recorded, rows.size(), historyMs, kHistoryTargetMs);
    const double statusMs = Median([&](int round) {
        for (int device = 0; device < kDevices && ok; ++device) {
            ledger::DeviceStatus status;
            ok = Check(book.Status(Address(device), 8001, Sha(round), status), "status");
        }
    });
    std::printf("status for %d controllers: %.1f ms (target < %.0f ms)\n", kDevices, statusMs,
                kStatusTargetMs);
    book.Close();
    const auto bytes = std::filesystem::file_size(path);
    std::printf("file: %.1f MiB, %.0f bytes per recorded upload\n", bytes / 1048576.0,
                static_cast<double>(bytes) / static_cast<double>(recorded));
    std::filesystem::remove_all(folder);
    const bool met = ok && recordMs <= kRecordTargetMs && fullRecordMs <= kRecordTargetMs &&
                     historyMs < kHistoryTargetMs && statusMs < kStatusTargetMs;
    std::printf("targets: %s\n", met ? "met" : "NOT MET");
    return met ? 0 : 1;
}
