#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/error.h"

namespace packer {

// Reads web files whole, one after the other, as the builder packs them. Each file is opened
// relative to its folder, and the folder stays open while the next files come from it (the
// table lists a folder's files together), which spares the system a full path lookup per file.
class WebFileReader {
  public:
    WebFileReader() = default;
    ~WebFileReader();
    WebFileReader(const WebFileReader&) = delete;
    WebFileReader& operator=(const WebFileReader&) = delete;

    // Reads the file at `localPath` into `buffer` from its first byte, growing the buffer as the
    // file needs but never past `limit` bytes: a longer file gives `limit`. Returns the byte
    // count (0 for an empty file), or the error when the file cannot be opened (the system's),
    // is not a regular file ("not a regular file"; a FIFO is never waited on) or a read fails
    // in the middle (the system's): a file is never cut short.
    platform::Result<std::int64_t> Read(const std::string& localPath,
                                        std::vector<std::uint8_t>& buffer, std::size_t limit) {
        return ReadAt(localPath, buffer, 0, limit);
    }
    // As Read, but stores the content from buffer[offset] on (the buffer grows to at least
    // offset + the byte count; bytes past that may have been written too and are scratch).
    // The buffer's capacity never grows past offset + limit, and grows in steps that never copy
    // more than half of that, so filling a buffer this way peaks near its final size.
    platform::Result<std::int64_t> ReadAt(const std::string& localPath,
                                          std::vector<std::uint8_t>& buffer, std::size_t offset,
                                          std::size_t limit);

  private:
    // An open descriptor for the file.
    platform::Result<int> Open(const std::string& localPath);

    std::string folder_;  // the folder folderFd_ stands for
    int folderFd_ = -1;
};

}  // namespace packer
