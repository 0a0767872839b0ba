#pragma once

#include <cstddef>
#include <string>

namespace platform {

// What reading a small file whole found.
struct SmallFileRead {
    enum class Outcome {
        kRead,     // `bytes` holds the whole file
        kMissing,  // nothing by that name (or a folder on the way is missing)
        kRefused,  // it exists but is not a readable regular file of at most the size asked;
                   // `reason` says why
    };
    Outcome outcome = Outcome::kMissing;
    std::string bytes;
    // "is a directory", "is a FIFO", "is a character device", "is a block device", "is a
    // socket", "is larger than N bytes", or "cannot be opened: " (or examined, or read) and the
    // system's text for the error.
    std::string reason;
};

// Reads the regular file at `path` (a symbolic link is followed) when it holds at most
// `maxBytes` bytes. Never blocks and never opens anything but a regular file: the type is
// checked before the open, the open does not wait (a FIFO swapped in meanwhile opens at once)
// and the opened file is checked again before a byte is read.
SmallFileRead ReadSmallFile(const std::string& path, std::size_t maxBytes);

}  // namespace platform
