#include "packer/web_image.h"

#include <algorithm>
#include <cstring>

#include "packer/folder_scan.h"
#include "packer/printable_name.h"
#include "packer/web_file_reader.h"
#include "platform/dir_search.h"

namespace packer {
namespace {

void ShowError(platform::MessageBoxSink& messages, const std::string& text) {
    messages.MessageBox(text, kErrorCaption, platform::kMbIconHand);
}

void WriteDirectory(const std::vector<ImageDirectoryEntry>& directory, std::uint8_t* image) {
    for (std::size_t j = 0; j < directory.size(); ++j) {
        std::uint8_t* record = image + j * kDirectoryEntrySize;
        std::memcpy(record, directory[j].name, kImageNameField);
        StoreU32LE(record + kImageNameField, directory[j].offset);
        StoreU32LE(record + kImageNameField + 4, directory[j].size);
    }
}

void NoteLeftOut(BuildReport& report, const WebFileEntry& file, std::string reason,
                 LeftOutKind kind) {
    report.leftOut.push_back({file.imageName, file.localPath, std::move(reason), kind});
}

// A name or path as a message shows it: escaped only when it holds a control character, so that
// ordinary names (and the backslashes of Windows paths) read as they always did.
std::string Shown(const std::string& text) {
    const bool plain = std::none_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
    return plain ? text : PrintableName(text);
}

// Fails the build: the message, kept as the report's failure; usedLength stays 0.
int Refuse(BuildReport& report, platform::MessageBoxSink& messages, const std::string& text) {
    ShowError(messages, text);
    report.failure = platform::Error{0, text};
    return 0;
}

// Why a scan found no file, for the line after "web server path is empty!".
std::string EmptyScanCause(const std::string& folder, const ScanResult& scan,
                           const BuildReport& report) {
    switch (scan.root) {
        case RootState::Missing:
            return folder + ": no such folder";
        case RootState::NotAFolder:
            return folder + ": not a folder";
        case RootState::Unreadable:
            return folder + ": cannot open folder: " + scan.rootError;
        case RootState::Listed:
            break;
    }
    if (report.leftOut.empty()) {
        return folder + ": empty folder (no file in it or in its sub-folders)";
    }
    return folder + ": no file to pack (" + std::to_string(report.leftOut.size()) + " left out)";
}

// A strict build stops at the first entry left out as a fault.
bool RefusedAsStrict(const BuildOptions& options, BuildReport& report,
                     platform::MessageBoxSink& messages) {
    if (!options.strict) {
        return false;
    }
    if (const BuildReport::LeftOut* fault = report.FirstFault()) {
        Refuse(report, messages, StrictRefusalMessage(fault->localPath, fault->reason));
        return true;
    }
    return false;
}

}  // namespace

std::string NameTooLongMessage(const std::string& imageName) {
    return "The File [" + Shown(imageName) + "] name is bigger than " +
           std::to_string(kImageNameField) + ",please confirm it!";
}

std::string OpenErrorMessage(const std::string& localPath) {
    return "File [" + Shown(localPath) + "] Open ERROR!";
}

std::string FileCountMessage(int maxFileCount) {
    return "web server file count is bigger than " + std::to_string(maxFileCount) +
           ",please confirm it!";
}

std::string DirectoryTooBigMessage(std::int64_t directoryBytes, std::int64_t maxRomBytes) {
    return "web server directory size " + std::to_string(directoryBytes) +
           " is bigger than rom size " + std::to_string(maxRomBytes) + ",please confirm it!";
}

std::string ScanLimitMessage() {
    return "web server path has more than " + std::to_string(kMaxScanFolders) + " folders or " +
           std::to_string(kMaxScanEntries) + " entries,please confirm it!";
}

std::string StrictRefusalMessage(const std::string& localPath, const std::string& reason) {
    return "strict build refused: [" + localPath + "] was left out (" + reason + ")";
}

void StoreU32LE(std::uint8_t* destination, std::uint32_t value) {
    destination[0] = static_cast<std::uint8_t>(value & 0xFF);
    destination[1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
    destination[2] = static_cast<std::uint8_t>((value >> 16) & 0xFF);
    destination[3] = static_cast<std::uint8_t>((value >> 24) & 0xFF);
}

int BuildWebImage(const std::string& webFolder, const PackLimits& limits, WebFileTable& table,
                  WebImage& image, platform::MessageBoxSink& messages, BuildReport* report,
                  const BuildOptions& options) {
    // What was left out is always tracked (a strict build needs it); what was stored only for
    // a caller that asked for a report.
    BuildReport localReport;
    BuildReport& notes = report != nullptr ? *report : localReport;
    // 1. No valid image until the end.
    image.usedLength = 0;
    notes.Clear();
    // 2. A folder must be chosen.
    if (webFolder.empty()) {
        return Refuse(notes, messages, kMsgSelectPath);
    }
    // 3-4. Empty the table and scan.
    table.Clear();
    std::vector<SkippedEntry> skipped;
    ScanOptions scanOptions;
    scanOptions.excludes = options.excludes;
    scanOptions.stopRequested = options.stopRequested;
    if (!options.outputFile.empty()) {
        scanOptions.outputFile = platform::IdentityOf(options.outputFile);
    }
    const ScanResult scan = ScanWebFolderWith(webFolder, "", table, scanOptions, &skipped);
    for (SkippedEntry& entry : skipped) {
        notes.leftOut.push_back({std::move(entry.imageName), std::move(entry.localPath),
                                 std::move(entry.reason), entry.kind});
    }
    if (scan.end == ScanEnd::Stopped) {
        return 0;
    }
    // Whatever lies past the scan's bounds was not seen: no image may claim to be complete.
    if (scan.end == ScanEnd::LimitReached) {
        notes.cause = webFolder + ": the scan stopped after " + std::to_string(kMaxScanFolders) +
                      " folders or " + std::to_string(kMaxScanEntries) +
                      " entries (folder links leading round in circles?)";
        return Refuse(notes, messages, ScanLimitMessage());
    }
    // 5. Something must have been found.
    const int count = table.CountWebFiles();
    if (count < 1) {
        notes.cause = EmptyScanCause(webFolder, scan, notes);
        return Refuse(notes, messages, kMsgPathEmpty);
    }
    // The directory alone must fit in the image, or no file could ever be stored.
    const std::int64_t entryCount = limits.maxFileCount;
    const std::int64_t romBytes = limits.maxRomBytes;
    const std::int64_t directoryBytes = entryCount * kDirectoryEntrySize;
    if (entryCount < 1) {
        return Refuse(notes, messages, FileCountMessage(limits.maxFileCount));
    }
    if (directoryBytes > romBytes) {
        return Refuse(notes, messages, DirectoryTooBigMessage(directoryBytes, romBytes));
    }
    // Files beyond the table's slots were not kept: packing the rest would lose them silently.
    if (table.Overflowed()) {
        notes.cause = webFolder + ": more than " + std::to_string(table.SlotCount()) +
                      " files found; the scan stopped there";
        return Refuse(notes, messages, FileCountMessage(limits.maxFileCount));
    }
    if (RefusedAsStrict(options, notes, messages)) {
        return 0;
    }

    // 6. The 0xFF fill: at once for a buffer sized to the capacity; otherwise the buffer holds
    // only what is used and the fill after it is implied.
    const auto rom = static_cast<std::size_t>(romBytes);
    const bool fullSize = image.imageBuffer.size() >= rom;
    if (!fullSize) {
        image.imageBuffer.clear();
    }
    // 7-8. A zeroed working directory; contents start right after the directory.
    std::vector<ImageDirectoryEntry> directory(static_cast<std::size_t>(entryCount));
    std::uint64_t dataOffset = static_cast<std::uint64_t>(directoryBytes);
    if (image.imageBuffer.size() < dataOffset) {
        image.imageBuffer.resize(static_cast<std::size_t>(dataOffset));
    }
    std::size_t nextEntry = 0;

    // 9. Each file in table order, read straight to its place in the image. One byte more than
    // the room left is read, so that a file too large for it is told from one that just fits.
    WebFileReader reader;
    for (int slot = 0; slot < count; ++slot) {
        const WebFileEntry& file = table[slot];
        if (file.baseName.empty() || file.localPath.empty() || file.imageName.empty()) {
            continue;
        }
        if (options.stopRequested && options.stopRequested()) {
            return 0;
        }
        if (file.imageName.size() > static_cast<std::size_t>(kMaxImageNameLength)) {
            return Refuse(notes, messages, NameTooLongMessage(file.imageName));
        }
        const auto offset = static_cast<std::size_t>(dataOffset);
        const platform::Result<std::int64_t> read =
            reader.ReadAt(file.localPath, image.imageBuffer, offset, rom - offset + 1);
        if (!read) {
            ShowError(messages, OpenErrorMessage(file.localPath));
            NoteLeftOut(notes, file, read.error().In(kLeftOutUnreadable).text, LeftOutKind::Fault);
            continue;
        }
        const std::int64_t size = *read;
        if (size == 0) {
            NoteLeftOut(notes, file, kLeftOutEmpty, LeftOutKind::Empty);
            continue;
        }
        if (nextEntry >= directory.size()) {
            return Refuse(notes, messages, FileCountMessage(limits.maxFileCount));
        }
        if (dataOffset + static_cast<std::uint64_t>(size) > static_cast<std::uint64_t>(rom)) {
            return Refuse(notes, messages, kMsgOutOfRange);
        }
        ImageDirectoryEntry& entry = directory[nextEntry];
        std::memcpy(entry.name, file.imageName.data(), file.imageName.size());
        entry.offset = static_cast<std::uint32_t>(dataOffset);
        entry.size = static_cast<std::uint32_t>(size);
        if (report != nullptr) {
            report->stored.push_back({file.imageName, file.localPath, entry.offset, entry.size});
        }
        dataOffset += static_cast<std::uint64_t>(size);
        ++nextEntry;
    }
    if (RefusedAsStrict(options, notes, messages)) {
        return 0;
    }

    // 10-11. The directory goes in last, the fill (or the end) right after the contents; the
    // image is now valid.
    WriteDirectory(directory, image.imageBuffer.data());
    if (fullSize) {
        std::fill(image.imageBuffer.begin() + static_cast<std::ptrdiff_t>(dataOffset),
                  image.imageBuffer.begin() + static_cast<std::ptrdiff_t>(rom), kFillByte);
    } else {
        image.imageBuffer.resize(static_cast<std::size_t>(dataOffset));
    }
    image.usedLength = static_cast<std::int32_t>(dataOffset);
    return 1;
}

}  // namespace packer
