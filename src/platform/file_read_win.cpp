#include "platform/file_read_common.h"

#include <cerrno>
#include <cstdio>

#include <windows.h>

#include "platform/file_io.h"
#include "platform/system_text_win.h"

namespace platform::file_read_steps {

// Windows folders hold no FIFOs, sockets or device nodes: what is not a folder is a file.
Error RefuseBeforeOpen(const std::string& path, std::size_t) {
    const DWORD attributes = GetFileAttributesW(SystemPath(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return Error::OfErrno(EISDIR).In("cannot open " + path);
    }
    return {};
}

Result<int> OpenNoWait(const std::string& path) {
    return OpenForRead(path);
}

Error RefuseOpened(int descriptor, const std::string& path, std::size_t maxBytes) {
    const auto size = RegularFileSize(descriptor);
    if (!size) {
        return Error{0, path + ": not a regular file (device)"};
    }
    if (*size > maxBytes) {
        return TooLarge(path, maxBytes);
    }
    return {};
}

Result<std::size_t> ReadWaiting(int descriptor, void* buffer, std::size_t size) {
    return ReadSome(descriptor, buffer, size);
}

int StandardInputDescriptor() {
    return _fileno(stdin);
}

}  // namespace platform::file_read_steps
