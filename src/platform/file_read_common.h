#pragma once

#include <cstddef>
#include <string>

#include "platform/error.h"

// The steps of ReadRegularFile and ReadStandardInput that ask the system; file_read_posix.cpp
// (POSIX) and file_read_win.cpp (Windows) define them, file_read_common.cpp puts them together.
namespace platform::file_read_steps {

// No failure when the file at `path` may be opened; otherwise the error (a folder, a file that is
// not a regular one, or one larger than `maxBytes` where the system tells so before the open).
Error RefuseBeforeOpen(const std::string& path, std::size_t maxBytes);
// Opens `path` for reading without waiting (a FIFO put in place meanwhile opens at once).
Result<int> OpenNoWait(const std::string& path);
// No failure when the open `descriptor` is a regular file of at most `maxBytes` bytes as far as
// the system tells; otherwise the error for `path`.
Error RefuseOpened(int descriptor, const std::string& path, std::size_t maxBytes);
// One read of at most `size` bytes, waiting for data when the descriptor does not: the count, 0
// at the end.
Result<std::size_t> ReadWaiting(int descriptor, void* buffer, std::size_t size);
// The descriptor of this process's standard input.
int StandardInputDescriptor();

// "LABEL: larger than MAX bytes", code EFBIG.
Error TooLarge(const std::string& label, std::size_t maxBytes);

}  // namespace platform::file_read_steps
