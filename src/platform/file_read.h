#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Reads the whole regular file at `path` (a symbolic link to one is followed) into `bytes`.
//
// Never blocks and never opens anything but a regular file: a directory, FIFO, socket or device
// node is refused from its type before any open, and the open itself does not wait (a FIFO put
// in place meanwhile is refused after the open). Returns false, with `bytes` emptied and
// `error` set, for:
//   "cannot open PATH: REASON"          the file is missing or refused (the system's reason;
//                                       "Is a directory" for a directory)
//   "PATH: not a regular file (KIND)"   KIND: FIFO, socket, character device, block device
//   "PATH: larger than MAX bytes"       more than `maxBytes` bytes
//   "cannot read PATH: REASON"          a read failed
bool ReadRegularFile(const std::string& path, std::size_t maxBytes,
                     std::vector<std::uint8_t>& bytes, std::string& error);

// Reads standard input to its end into `bytes`. Returns false, with `error` set, when a read
// fails ("cannot read standard input: REASON") or more than `maxBytes` bytes arrive
// ("standard input: larger than MAX bytes"; `tooLarge`, when given, is then set). Reading stops
// at the first byte past `maxBytes`: what follows it stays unread.
bool ReadStandardInput(std::size_t maxBytes, std::vector<std::uint8_t>& bytes, std::string& error,
                       bool* tooLarge = nullptr);

}  // namespace platform
