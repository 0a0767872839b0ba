#include "packer/web_image.h"

#include <algorithm>
#include <cstring>

#include "packer/folder_scan.h"
#include "packer/printable_name.h"
#include "packer/web_file_reader.h"

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

void NoteLeftOut(BuildReport* report, const WebFileEntry& file, const char* reason) {
    if (report != nullptr) {
        report->leftOut.push_back({file.imageName, file.localPath, reason});
    }
}

// A name or path as a message shows it: escaped only when it holds a control character, so that
// ordinary names (and the backslashes of Windows paths) read as they always did.
std::string Shown(const std::string& text) {
    const bool plain = std::none_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
    return plain ? text : PrintableName(text);
}

// Fails the build: the message, usedLength stays 0.
int Refuse(platform::MessageBoxSink& messages, const std::string& text) {
    ShowError(messages, text);
    return 0;
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

void StoreU32LE(std::uint8_t* destination, std::uint32_t value) {
    destination[0] = static_cast<std::uint8_t>(value & 0xFF);
    destination[1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
    destination[2] = static_cast<std::uint8_t>((value >> 16) & 0xFF);
    destination[3] = static_cast<std::uint8_t>((value >> 24) & 0xFF);
}

int ReadWebFile(const std::string& localPath, std::vector<std::uint8_t>& readBuffer,
                platform::MessageBoxSink& messages) {
    WebFileReader reader;
    const std::int64_t size = reader.Read(localPath, readBuffer, readBuffer.size());
    if (size < 0) {
        ShowError(messages, OpenErrorMessage(localPath));
        return 0;
    }
    return static_cast<int>(size);
}

int BuildWebImage(const std::string& webFolder, const PackLimits& limits, WebFileTable& table,
                  WebImage& image, std::vector<std::uint8_t>& readBuffer,
                  platform::MessageBoxSink& messages, BuildReport* report) {
    // 1. No valid image until the end.
    image.usedLength = 0;
    if (report != nullptr) {
        report->Clear();
    }
    // 2. A folder must be chosen.
    if (webFolder.empty()) {
        return Refuse(messages, kMsgSelectPath);
    }
    // 3-4. Empty the table and scan.
    table.Clear();
    std::vector<SkippedEntry> skipped;
    ScanWebFolder(webFolder, "", table, &skipped);
    if (report != nullptr) {
        for (SkippedEntry& entry : skipped) {
            report->leftOut.push_back({"", std::move(entry.localPath), entry.reason});
        }
    }
    // 5. Something must have been found.
    const int count = table.CountWebFiles();
    if (count < 1) {
        return Refuse(messages, kMsgPathEmpty);
    }
    // The directory alone must fit in the image, or no file could ever be stored.
    const std::int64_t entryCount = limits.maxFileCount;
    const std::int64_t romBytes = limits.maxRomBytes;
    const std::int64_t directoryBytes = entryCount * kDirectoryEntrySize;
    if (entryCount < 1) {
        return Refuse(messages, FileCountMessage(limits.maxFileCount));
    }
    if (directoryBytes > romBytes) {
        return Refuse(messages, DirectoryTooBigMessage(directoryBytes, romBytes));
    }
    // Files beyond the table's slots were not kept: packing the rest would lose them silently.
    if (table.Overflowed()) {
        return Refuse(messages, FileCountMessage(limits.maxFileCount));
    }

    // 6. Fill the image with 0xFF (a buffer that is too small is made of the fill at once).
    const auto rom = static_cast<std::size_t>(romBytes);
    if (image.imageBuffer.size() < rom) {
        image.imageBuffer.assign(rom, kFillByte);
    } else {
        std::fill_n(image.imageBuffer.begin(), rom, kFillByte);
    }
    // 7-8. A zeroed working directory; contents start right after the directory.
    std::vector<ImageDirectoryEntry> directory(static_cast<std::size_t>(entryCount));
    std::uint64_t dataOffset = static_cast<std::uint64_t>(directoryBytes);
    std::size_t nextEntry = 0;

    // 9. Each file in table order. The read buffer grows as the files need, up to R.
    WebFileReader reader;
    for (int slot = 0; slot < count; ++slot) {
        const WebFileEntry& file = table[slot];
        if (file.baseName.empty() || file.localPath.empty() || file.imageName.empty()) {
            continue;
        }
        if (file.imageName.size() > static_cast<std::size_t>(kMaxImageNameLength)) {
            return Refuse(messages, NameTooLongMessage(file.imageName));
        }
        const std::int64_t size = reader.Read(file.localPath, readBuffer, rom);
        if (size < 0) {
            ShowError(messages, OpenErrorMessage(file.localPath));
            NoteLeftOut(report, file, kLeftOutUnreadable);
            continue;
        }
        if (size == 0) {
            NoteLeftOut(report, file, kLeftOutEmpty);
            continue;
        }
        if (nextEntry >= directory.size()) {
            return Refuse(messages, FileCountMessage(limits.maxFileCount));
        }
        if (dataOffset + static_cast<std::uint64_t>(size) > static_cast<std::uint64_t>(rom)) {
            return Refuse(messages, kMsgOutOfRange);
        }
        ImageDirectoryEntry& entry = directory[nextEntry];
        std::memcpy(entry.name, file.imageName.data(), file.imageName.size());
        entry.offset = static_cast<std::uint32_t>(dataOffset);
        entry.size = static_cast<std::uint32_t>(size);
        std::memcpy(image.imageBuffer.data() + dataOffset, readBuffer.data(),
                    static_cast<std::size_t>(size));
        if (report != nullptr) {
            report->stored.push_back({file.imageName, file.localPath, entry.offset, entry.size});
        }
        dataOffset += static_cast<std::uint64_t>(size);
        ++nextEntry;
    }

    // 10-11. The directory goes in last; the image is now valid.
    WriteDirectory(directory, image.imageBuffer.data());
    image.usedLength = static_cast<std::int32_t>(dataOffset);
    return 1;
}

}  // namespace packer
