#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/error.h"

namespace platform {

// Plain file access for reading whole files in, by small integer descriptors. A call that fails
// returns the system's error (its errno and text).

// `descriptor`, or the errno of the call that gave -1 for it; both systems' C libraries.
Result<int> DescriptorOrErrno(int descriptor);

// Opens a file for reading. Never waits: a FIFO that has taken a file's place opens at once
// (and is then refused by RegularFileSize).
Result<int> OpenForRead(const std::string& path);
// Opens a folder so that files in it can be opened by name without walking the whole path
// again. Fails where the system has no such handles (Windows: ENOSYS).
Result<int> OpenFolder(const std::string& path);
// Opens the file `name` in a folder from OpenFolder, as OpenForRead does.
Result<int> OpenForReadIn(int folder, const std::string& name);
// The size of an open regular file; nothing when it is anything else or cannot be asked.
std::optional<std::uint64_t> RegularFileSize(int descriptor);
// One read of at most `size` bytes (interrupted reads are retried): the count, 0 at the end.
Result<std::size_t> ReadSome(int descriptor, void* buffer, std::size_t size);
// Closes a descriptor from any of the above; a failure the system reports (for a written file:
// its content may not have been stored). -1 is ignored.
Error CloseFile(int descriptor);

}  // namespace platform
