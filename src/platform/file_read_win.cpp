#include "platform/file_read_common.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <windows.h>

#include "platform/file_io.h"
#include "platform/system_text_win.h"

namespace platform::file_read_steps {

// Windows folders hold no FIFOs, sockets or device nodes: what is not a folder is a file.
std::string RefuseBeforeOpen(const std::string& path, std::size_t) {
    const DWORD attributes = GetFileAttributesW(SystemPath(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return "cannot open " + path + ": " + std::strerror(EISDIR);
    }
    return {};
}

int OpenNoWait(const std::string& path) {
    return OpenForRead(path);
}

std::string RefuseOpened(int descriptor, const std::string& path, std::size_t maxBytes) {
    const auto size = RegularFileSize(descriptor);
    if (!size) {
        return path + ": not a regular file (device)";
    }
    if (*size > maxBytes) {
        return TooLarge(path, maxBytes);
    }
    return {};
}

long ReadWaiting(int descriptor, void* buffer, std::size_t size) {
    return ReadSome(descriptor, buffer, size);
}

int StandardInputDescriptor() {
    return _fileno(stdin);
}

}  // namespace platform::file_read_steps
