#include "packer/web_file_reader.h"

#include <algorithm>

#include "platform/file_io.h"

namespace packer {
namespace {

constexpr char kSeparator = '/';
// What a file with no size of its own (as some special file systems report) is first read in.
constexpr std::size_t kProbeBytes = 64 * 1024;

// Grows `buffer` to `size` bytes. The capacity at least doubles (so growing is amortised), is
// taken to `capacityLimit` at once when doubling again would pass it (so that no later step
// copies more than half of the limit), and never passes `capacityLimit` (>= size).
void GrowTo(std::vector<std::uint8_t>& buffer, std::size_t size, std::size_t capacityLimit) {
    if (buffer.size() >= size) {
        return;
    }
    if (size > buffer.capacity()) {
        std::size_t capacity = std::max({size, 2 * buffer.capacity(), kProbeBytes});
        if (capacity > capacityLimit / 2) {
            capacity = std::max(size, capacityLimit);
        }
        buffer.reserve(capacity);
    }
    buffer.resize(size);
}

// Reads to the end of the file or to `limit` bytes; the system's error when a read fails.
// `knownSize` is the size fstat gave at open: once that much is in, the file is taken as ended,
// which saves a last read that would only return 0 (a file that grows meanwhile is taken as it was
// when opened).
platform::Result<std::int64_t> ReadToEnd(int fd, std::vector<std::uint8_t>& buffer,
                                         std::size_t offset, std::size_t limit,
                                         std::uint64_t knownSize) {
    const std::size_t capacityLimit = offset + limit;
    const std::size_t expected =
        knownSize > 0 ? static_cast<std::size_t>(std::min<std::uint64_t>(knownSize, limit))
                      : std::min(kProbeBytes, limit);
    GrowTo(buffer, offset + expected, capacityLimit);
    std::size_t total = 0;
    while (total < limit) {
        if (knownSize > 0 && total == knownSize) {
            break;
        }
        if (offset + total == buffer.size()) {
            GrowTo(buffer, offset + std::min(limit, std::max(2 * total, kProbeBytes)),
                   capacityLimit);
        }
        const std::size_t room = std::min(buffer.size() - offset, limit) - total;
        const platform::Result<std::size_t> got =
            platform::ReadSome(fd, buffer.data() + offset + total, room);
        if (!got) {
            return got.error();
        }
        if (*got == 0) {
            break;
        }
        total += *got;
    }
    return static_cast<std::int64_t>(total);
}

}  // namespace

WebFileReader::~WebFileReader() {
    if (folderFd_ >= 0) {
        platform::CloseFile(folderFd_);
    }
}

platform::Result<int> WebFileReader::Open(const std::string& localPath) {
    const std::size_t split = localPath.rfind(kSeparator);
    if (split == std::string::npos || split + 1 == localPath.size()) {
        return platform::OpenForRead(localPath);
    }
    const bool sameFolder =
        folderFd_ >= 0 && folder_.size() == split && localPath.compare(0, split, folder_) == 0;
    if (!sameFolder) {
        if (folderFd_ >= 0) {
            platform::CloseFile(folderFd_);
            folderFd_ = -1;
        }
        folder_.assign(localPath, 0, split);
        const std::string folderPath = split == 0 ? std::string(1, kSeparator) : folder_;
        const platform::Result<int> folder = platform::OpenFolder(folderPath);
        if (!folder) {
            // Let the whole path give its own answer (and error) as a plain open would.
            return platform::OpenForRead(localPath);
        }
        folderFd_ = *folder;
    }
    return platform::OpenForReadIn(folderFd_, localPath.substr(split + 1));
}

platform::Result<std::int64_t> WebFileReader::ReadAt(const std::string& localPath,
                                                     std::vector<std::uint8_t>& buffer,
                                                     std::size_t offset, std::size_t limit) {
    const platform::Result<int> fd = Open(localPath);
    if (!fd) {
        return fd.error();
    }
    const auto size = platform::RegularFileSize(*fd);
    platform::Result<std::int64_t> result =
        size ? ReadToEnd(*fd, buffer, offset, limit, *size)
             : platform::Result<std::int64_t>(platform::Error{0, "not a regular file"});
    platform::CloseFile(*fd);
    return result;
}

}  // namespace packer
