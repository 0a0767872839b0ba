#include "packer/web_file_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace packer {
namespace {

constexpr char kSeparator = '/';
// What a file with no size of its own (as some special file systems report) is first read in.
constexpr std::size_t kProbeBytes = 64 * 1024;
// O_NONBLOCK: should a FIFO have taken a file's place since the scan, opening it must not wait
// for a writer; the type check after opening then refuses it.
constexpr int kOpenFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;

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

// Reads to the end of the file or to `limit` bytes; -1 on a read error. `knownSize` is the size
// fstat gave at open: once that much is in, the file is taken as ended, which saves a last read
// that would only return 0 (a file that grows meanwhile is taken as it was when opened).
std::int64_t ReadToEnd(int fd, std::vector<std::uint8_t>& buffer, std::size_t offset,
                       std::size_t limit, std::uint64_t knownSize) {
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
        const ssize_t got = read(fd, buffer.data() + offset + total, room);
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

}  // namespace

WebFileReader::~WebFileReader() {
    if (folderFd_ >= 0) {
        close(folderFd_);
    }
}

int WebFileReader::Open(const std::string& localPath) {
    const std::size_t split = localPath.rfind(kSeparator);
    if (split == std::string::npos || split + 1 == localPath.size()) {
        return open(localPath.c_str(), kOpenFlags);
    }
    const bool sameFolder =
        folderFd_ >= 0 && folder_.size() == split && localPath.compare(0, split, folder_) == 0;
    if (!sameFolder) {
        if (folderFd_ >= 0) {
            close(folderFd_);
            folderFd_ = -1;
        }
        folder_.assign(localPath, 0, split);
        const std::string folderPath = split == 0 ? std::string(1, kSeparator) : folder_;
        folderFd_ = open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folderFd_ < 0) {
            // Let the whole path give its own answer (and error) as a plain open would.
            return open(localPath.c_str(), kOpenFlags);
        }
    }
    return openat(folderFd_, localPath.c_str() + split + 1, kOpenFlags);
}

std::int64_t WebFileReader::ReadAt(const std::string& localPath, std::vector<std::uint8_t>& buffer,
                                   std::size_t offset, std::size_t limit) {
    lastError_.clear();
    const int fd = Open(localPath);
    if (fd < 0) {
        lastError_ = std::strerror(errno);
        return -1;
    }
    struct stat status {};
    std::int64_t result = -1;
    if (fstat(fd, &status) != 0) {
        lastError_ = std::strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
        lastError_ = "not a regular file";
    } else {
        result = ReadToEnd(fd, buffer, offset, limit, static_cast<std::uint64_t>(status.st_size));
        if (result < 0) {
            lastError_ = std::strerror(errno);
        }
    }
    close(fd);
    return result;
}

}  // namespace packer
