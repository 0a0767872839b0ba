#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// Plain file access for reading whole files in, by small integer descriptors. Every call that fails
// leaves the reason for LastFileErrorText().

// Opens a file for reading. Never waits: a FIFO that has taken a file's place opens at once
// (and is then refused by RegularFileSize). -1 on failure.
int OpenForRead(const std::string& path);
// Opens a folder so that files in it can be opened by name without walking the whole path
// again; -1 when it cannot be opened, or where the system has no such handles (Windows).
int OpenFolder(const std::string& path);
// Opens the file `name` in a folder from OpenFolder, as OpenForRead does. -1 on failure.
int OpenForReadIn(int folder, const std::string& name);
// The size of an open regular file; nothing when it is anything else or cannot be asked.
std::optional<std::uint64_t> RegularFileSize(int descriptor);
// One read of at most `size` bytes (interrupted reads are retried): the count, 0 at the end,
// -1 on failure.
long ReadSome(int descriptor, void* buffer, std::size_t size);
// Closes a descriptor from any of the above; false when the system reports a failure (for a
// written file: its content may not have been stored). -1 is ignored.
bool CloseFile(int descriptor);

// The system's text for the reason of the last failed call of this thread.
std::string LastFileErrorText();

}  // namespace platform
