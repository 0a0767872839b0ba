#include "ui/window_ledger.h"

#include <cmath>
#include <filesystem>

#include "ledger/image_record.h"
#include "platform/async_socket_qt.h"
#include "platform/system_text.h"
#include "platform/user_folders.h"
#include "transfer/frames.h"
#include "vellumix_version.h"

namespace ui {

namespace {

constexpr char kProgram[] = "vellumix";
constexpr char kSuccessText[] = "Web Server Update OK!";

}  // namespace

WindowLedger::~WindowLedger() {
    if (id_ != 0) {
        Interrupted();
    }
}

void WindowLedger::Note(const std::string& reason) {
    if (logPipe_ != nullptr) {
        const std::string line = std::string(kProgram) + ": ledger " + path_ + ": " + reason +
                                 "; this upload is not recorded";
        logPipe_->WriteLine(line.c_str());
    }
}

void WindowLedger::Started(const std::string& address, int port, const packer::WebImage& image,
                           const std::string& folder) {
    if (id_ != 0) {
        Interrupted();
    }
    if (!ledger::Available()) {
        return;  // a build without SQLite: nothing to note at every Start
    }
    const auto located = ledger::LedgerPath({});
    if (!located) {
        Note(located.error().text);
        return;
    }
    path_ = *located;
    if (!book_.IsOpen()) {
        if (ledger::IsDefaultPlace(path_)) {
            if (const platform::Error error = platform::CreatePrivateFolders(
                    platform::PathText(platform::FileSystemPath(path_).parent_path()))) {
                Note(error.text);
                return;
            }
        }
        if (const ledger::Error failure = book_.Open(path_, ledger::Ledger::Access::kRecord)) {
            Note(failure.text);
            return;
        }
    }
    const auto length = static_cast<std::size_t>(image.usedLength);
    const auto record = ledger::ImageRecordOf(image.imageBuffer.data(), length);
    if (!record) {
        Note("the image's directory cannot be read");
        return;
    }
    ledger::UploadStart start;
    start.startedMs = ledger::NowMs();
    start.device = address;
    start.address = platform::ResolvedAddressText(address);
    start.port = port;
    start.imageSha256 = record->sha256;
    start.imageBytes = record->bytes;
    start.fileCount = static_cast<int>(record->files.size());
    start.sourceKind = "folder";
    std::error_code fsError;
    const auto absolute = std::filesystem::absolute(platform::FileSystemPath(folder), fsError);
    start.sourcePath = fsError ? folder : platform::PathText(absolute.lexically_normal());
    start.program = kProgram;
    start.version = VELLUMIX_VERSION;
    start.user = platform::UserName();
    start.host = platform::HostName();
    start.totalFrames = static_cast<int>(transfer::FrameCount(image.usedLength));
    std::vector<std::int64_t> ids;
    ledger::Error failure = book_.RecordImage(*record);
    if (!failure) {
        failure = book_.BeginUploads({start}, ids);
    }
    if (failure) {
        book_.Close();  // opened afresh at the next Start
        Note(failure.text);
        return;
    }
    id_ = ids.front();
    totalFrames_ = start.totalFrames;
    framesSent_ = 0;
    tries_ = 1;
}

void WindowLedger::Progress(float percent) {
    if (id_ != 0) {
        framesSent_ =
            static_cast<int>(std::lround(static_cast<double>(percent) * totalFrames_ / 100.0));
    }
}

void WindowLedger::Ended(const std::string& message) {
    if (id_ != 0) {
        Finish(message == kSuccessText ? "ok" : "failed", message, false);
    }
}

void WindowLedger::Interrupted() {
    if (id_ != 0) {
        Finish("interrupted", "", true);
    }
}

void WindowLedger::Finish(const std::string& result, const std::string& message, bool interrupted) {
    ledger::UploadEnd end;
    end.id = id_;
    end.endedMs = ledger::NowMs();
    end.result = result;
    end.message = message;
    end.tries = tries_;
    end.framesSent = framesSent_;
    end.totalFrames = totalFrames_;
    end.interrupted = interrupted;
    id_ = 0;
    if (const ledger::Error failure = book_.FinishUploads({end})) {
        book_.Close();
        Note(failure.text);
    }
}

}  // namespace ui
