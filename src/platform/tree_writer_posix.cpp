#include "platform/tree_writer.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/descriptor_posix.h"

namespace platform {
namespace {

constexpr mode_t kFolderMode = 0755;
constexpr mode_t kFileMode = 0644;

bool Fail(TreeWriteError& error, std::size_t segment, std::string reason) {
    error.segment = segment;
    error.reason = std::move(reason);
    return false;
}

}  // namespace

TreeWriter::~TreeWriter() {
    UniqueFd root(rootFd_);  // closed on the way out
}

Error TreeWriter::Open() {
    std::error_code code;
    std::filesystem::create_directories(root_, code);
    if (code) {
        return Error{code.value(), "cannot create folder " + root_ + ": " + code.message()};
    }
    rootFd_ = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd_ < 0) {
        return Error::OfErrno(errno).In("cannot create folder " + root_);
    }
    return {};
}

bool TreeWriter::WriteFile(const std::vector<std::string>& segments, const std::uint8_t* data,
                           std::size_t size, TreeWriteError& error) {
    if (rootFd_ < 0 || segments.empty()) {
        return Fail(error, 0, std::strerror(EBADF));
    }
    int folder = rootFd_;
    UniqueFd below;  // the folder reached below the root, once there is one
    const std::size_t last = segments.size() - 1;
    for (std::size_t i = 0; i < last; ++i) {
        const char* name = segments[i].c_str();
        if (::mkdirat(folder, name, kFolderMode) != 0 && errno != EEXIST) {
            return Fail(error, i, std::strerror(errno));
        }
        const int next = ::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            return Fail(error, i,
                        errno == ELOOP || errno == ENOTDIR ? "not a folder" : std::strerror(errno));
        }
        below.Reset(next);
        folder = next;
    }
    const char* name = segments[last].c_str();
    if (::unlinkat(folder, name, 0) != 0 && errno != ENOENT) {
        return Fail(error, last, errno == EISDIR ? "is a folder" : std::strerror(errno));
    }
    UniqueFd file(
        ::openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode));
    if (!file.IsOpen()) {
        return Fail(error, last, std::strerror(errno));
    }
    const bool written = WriteAll(file.Get(), data, size);
    int failure = written ? 0 : errno;
    if (!file.Close() && written) {
        failure = errno;
    }
    if (failure == 0) {
        return true;
    }
    error.partial = true;
    if (::unlinkat(folder, name, 0) != 0) {
        error.removeError = std::strerror(errno);
    }
    return Fail(error, last, std::strerror(failure));
}

}  // namespace platform
