#include "platform/file_io.h"

#include <algorithm>
#include <cerrno>
#include <climits>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "platform/system_text_win.h"

namespace platform {

namespace {

// Binary (no line-end translation) and not inherited by child processes.
constexpr int kReadFlags = _O_RDONLY | _O_BINARY | _O_NOINHERIT;

unsigned ChunkOf(std::size_t size) {
    return static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX));
}

}  // namespace

// By the same wide, long-path form the folder walk lists files under, so every file it finds
// can be opened.
Result<int> OpenForRead(const std::string& path) {
    return DescriptorOrErrno(_wopen(SystemPath(path).c_str(), kReadFlags));
}

// Windows has no folder handles to open files relative to: callers open by the whole path.
Result<int> OpenFolder(const std::string&) {
    return Error::OfErrno(ENOSYS);
}

Result<int> OpenForReadIn(int, const std::string&) {
    return Error::OfErrno(ENOSYS);
}

std::optional<std::uint64_t> RegularFileSize(int descriptor) {
    struct _stat64 status {};
    if (_fstat64(descriptor, &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(status.st_size);
}

Result<std::size_t> ReadSome(int descriptor, void* buffer, std::size_t size) {
    const int got = _read(descriptor, buffer, ChunkOf(size));
    if (got < 0) {
        return Error::OfErrno(errno);
    }
    return static_cast<std::size_t>(got);
}

Error CloseFile(int descriptor) {
    if (descriptor < 0 || _close(descriptor) == 0) {
        return {};
    }
    return Error::OfErrno(errno);
}

}  // namespace platform
