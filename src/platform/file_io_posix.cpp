#include "platform/file_io.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// O_NONBLOCK: opening a FIFO must not wait for a writer; the type check then refuses it.
constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;

}  // namespace

Result<int> OpenForRead(const std::string& path) {
    return DescriptorOrErrno(::open(path.c_str(), kReadFlags));
}

Result<int> OpenFolder(const std::string& path) {
    return DescriptorOrErrno(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

Result<int> OpenForReadIn(int folder, const std::string& name) {
    return DescriptorOrErrno(::openat(folder, name.c_str(), kReadFlags));
}

std::optional<std::uint64_t> RegularFileSize(int descriptor) {
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(status.st_size);
}

Result<std::size_t> ReadSome(int descriptor, void* buffer, std::size_t size) {
    ssize_t got = 0;
    do {
        got = ::read(descriptor, buffer, size);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        return Error::OfErrno(errno);
    }
    return static_cast<std::size_t>(got);
}

Error CloseFile(int descriptor) {
    if (descriptor < 0 || ::close(descriptor) == 0) {
        return {};
    }
    return Error::OfErrno(errno);
}

}  // namespace platform
