#include "platform/file_replace.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr int kTempNameAttempts = 100;
constexpr mode_t kNewFileMode = 0666;  // narrowed by the umask
constexpr mode_t kPermissionBits = 07777;

bool Fail(std::string* error, const std::string& what, int errorNumber) {
    if (error != nullptr) {
        *error = what + ": " + std::strerror(errorNumber);
    }
    return false;
}

// The file that is really replaced: the target of a symbolic link, else the path itself.
std::filesystem::path ResolveTarget(const std::string& path) {
    std::error_code ignored;
    if (std::filesystem::is_symlink(path, ignored)) {
        auto target = std::filesystem::canonical(path, ignored);
        if (!ignored) {
            return target;
        }
    }
    return std::filesystem::path(path);
}

bool WriteAll(int fd, std::string_view contents) {
    while (!contents.empty()) {
        const ssize_t written = ::write(fd, contents.data(), contents.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        contents.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Opens a fresh temporary file beside `target`; -1 when the folder refuses it.
int OpenTempFile(const std::filesystem::path& target, std::string& tempPath) {
    static std::atomic<unsigned> counter{0};
    const auto folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    const std::string stem =
        "." + target.filename().string() + ".tmp-" + std::to_string(::getpid());
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        tempPath = (folder / (stem + "-" + std::to_string(counter++))).string();
        const int fd =
            ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

}  // namespace

bool ReplaceFileContents(const std::string& path, std::string_view contents, std::string* error) {
    const auto target = ResolveTarget(path);

    struct stat existing {};
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    if (exists && ::access(target.c_str(), W_OK) != 0) {
        return Fail(error, "cannot write " + target.string(), errno);
    }

    std::string tempPath;
    const int fd = OpenTempFile(target, tempPath);
    if (fd < 0) {
        return Fail(error, "cannot create a file beside " + target.string(), errno);
    }

    int failure = 0;
    if (!WriteAll(fd, contents) ||
        (exists && ::fchmod(fd, existing.st_mode & kPermissionBits) != 0) || ::fsync(fd) != 0) {
        failure = errno;
    }
    if (::close(fd) != 0 && failure == 0) {
        failure = errno;
    }
    if (failure == 0 && ::rename(tempPath.c_str(), target.c_str()) != 0) {
        failure = errno;
    }
    if (failure != 0) {
        ::unlink(tempPath.c_str());
        return Fail(error, "cannot write " + target.string(), failure);
    }
    return true;
}

}  // namespace platform
