#include "packer/web_image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "packer/folder_scan.h"

namespace packer {
namespace {

void ShowError(platform::MessageBoxSink& messages, const std::string& text) {
    messages.MessageBox(text, kErrorCaption, platform::kMbIconHand);
}

// Closes the descriptor on every way out of ReadWebFile.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_ = -1;
};

// Reads until end of file or until `capacity` bytes are in; -1 on a read error.
std::int64_t ReadAll(int fd, std::uint8_t* destination, std::size_t capacity) {
    std::size_t total = 0;
    while (total < capacity) {
        const ssize_t got = read(fd, destination + total, capacity - total);
        if (got == 0) {
            break;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        total += static_cast<std::size_t>(got);
    }
    return static_cast<std::int64_t>(total);
}

// The whole file into `buffer` (at most its size): the byte count, or -1 when the file cannot
// be opened, is not a regular file or fails in the middle. A file cut short by a read error is
// never packed; it goes like one that cannot be opened.
std::int64_t ReadFileInto(const std::string& localPath, std::vector<std::uint8_t>& buffer) {
    // O_NONBLOCK: should a FIFO have taken the file's place since the scan, opening it must not
    // wait for a writer; the type check then refuses it.
    const FileDescriptor file(open(localPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (file.get() < 0 || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return -1;
    }
    return ReadAll(file.get(), buffer.data(), buffer.size());
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

// Fails the build: the message, usedLength stays 0.
int Refuse(platform::MessageBoxSink& messages, const std::string& text) {
    ShowError(messages, text);
    return 0;
}

}  // namespace

std::string NameTooLongMessage(const std::string& imageName) {
    return "The File [" + imageName + "] name is bigger than " + std::to_string(kImageNameField) +
           ",please confirm it!";
}

std::string OpenErrorMessage(const std::string& localPath) {
    return "File [" + localPath + "] Open ERROR!";
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
    const std::int64_t size = ReadFileInto(localPath, readBuffer);
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

    const auto rom = static_cast<std::size_t>(romBytes);
    if (image.imageBuffer.size() < rom) {
        image.imageBuffer.resize(2 * rom);
    }
    if (readBuffer.size() < rom) {
        readBuffer.resize(rom);
    }
    // 6. Fill the image with 0xFF.
    std::fill_n(image.imageBuffer.begin(), rom, kFillByte);
    // 7-8. A zeroed working directory; contents start right after the directory.
    std::vector<ImageDirectoryEntry> directory(static_cast<std::size_t>(entryCount));
    std::uint64_t dataOffset = static_cast<std::uint64_t>(directoryBytes);
    std::size_t nextEntry = 0;

    // 9. Each file in table order.
    for (int slot = 0; slot < count; ++slot) {
        const WebFileEntry& file = table[slot];
        if (file.baseName.empty() || file.localPath.empty() || file.imageName.empty()) {
            continue;
        }
        if (file.imageName.size() > static_cast<std::size_t>(kMaxImageNameLength)) {
            return Refuse(messages, NameTooLongMessage(file.imageName));
        }
        const std::int64_t size = ReadFileInto(file.localPath, readBuffer);
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
