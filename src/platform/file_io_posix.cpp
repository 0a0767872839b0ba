#include "platform/file_io.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// O_NONBLOCK: opening a FIFO must not wait for a writer; the type check then refuses it.
constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;

}  // namespace

int OpenForRead(const std::string& path) {
    return ::open(path.c_str(), kReadFlags);
}

int OpenFolder(const std::string& path) {
    return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int OpenForReadIn(int folder, const std::string& name) {
    return ::openat(folder, name.c_str(), kReadFlags);
}

std::optional<std::uint64_t> RegularFileSize(int descriptor) {
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(status.st_size);
}

long ReadSome(int descriptor, void* buffer, std::size_t size) {
    ssize_t got = 0;
    do {
        got = ::read(descriptor, buffer, size);
    } while (got < 0 && errno == EINTR);
    return static_cast<long>(got);
}

bool CloseFile(int descriptor) {
    return descriptor < 0 || ::close(descriptor) == 0;
}

std::string LastFileErrorText() {
    return std::strerror(errno);
}

}  // namespace platform
