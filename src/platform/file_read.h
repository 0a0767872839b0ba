#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/error.h"

namespace platform {

// Reads the whole regular file at `path` (a symbolic link to one is followed).
//
// Never blocks and never opens anything but a regular file: a directory, FIFO, socket or device
// node is refused from its type before any open, and the open itself does not wait (a FIFO put
// in place meanwhile is refused after the open). Fails, with the system's error number where
// there is one, for:
//   "cannot open PATH: REASON"          the file is missing or refused (the system's reason;
//                                       "Is a directory" for a directory)
//   "PATH: not a regular file (KIND)"   KIND: FIFO, socket, character device, block device
//   "PATH: larger than MAX bytes"       more than `maxBytes` bytes (code EFBIG)
//   "cannot read PATH: REASON"          a read failed
Result<std::vector<std::uint8_t>> ReadRegularFile(const std::string& path, std::size_t maxBytes);

// Reads standard input to its end. Fails when a read fails ("cannot read standard input:
// REASON") or more than `maxBytes` bytes arrive ("standard input: larger than MAX bytes", code
// EFBIG). Reading stops at the first byte past `maxBytes`: what follows it stays unread.
Result<std::vector<std::uint8_t>> ReadStandardInput(std::size_t maxBytes);

}  // namespace platform
