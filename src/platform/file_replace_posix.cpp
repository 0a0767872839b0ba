#include "platform/file_replace.h"

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/descriptor_posix.h"
#include "platform/file_kind_posix.h"

namespace platform {

namespace {

constexpr int kTempNameAttempts = 100;
constexpr mode_t kNewFileMode = 0666;  // narrowed by the umask
constexpr mode_t kPermissionBits = 07777;

Error Fail(const std::string& what, int errorNumber) {
    return Error::OfErrno(errorNumber).In(what);
}

// The file that is really replaced: the target of a symbolic link (followed to its end, even
// when that end does not exist yet), else the path itself.
std::filesystem::path ResolveTarget(const std::string& path) {
    constexpr int kMaxLinks = 40;  // as the kernel's limit; a loop then fails on the stat
    std::filesystem::path target(path);
    std::error_code code;
    for (int links = 0; links < kMaxLinks && std::filesystem::is_symlink(target, code); ++links) {
        const auto next = std::filesystem::read_symlink(target, code);
        if (code) {
            break;
        }
        target = next.is_absolute() ? next : target.parent_path() / next;
    }
    return target;
}

bool WriteAll(int fd, std::string_view contents) {
    return platform::WriteAll(fd, contents.data(), contents.size());
}

// The descriptor a path names when it is one of the process's own open files ("/dev/stdout",
// "/dev/fd/N", "/proc/self/fd/N"), else -1. Such a path is written through the open
// descriptor, so a redirection keeps its offset and append mode and a pipe gets the bytes.
int OwnDescriptor(const std::string& path) {
    if (path == "/dev/stdout") {
        return STDOUT_FILENO;
    }
    if (path == "/dev/stderr") {
        return STDERR_FILENO;
    }
    for (const std::string_view prefix : {"/dev/fd/", "/proc/self/fd/", "/proc/thread-self/fd/"}) {
        if (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0) {
            const std::string digits = path.substr(prefix.size());
            if (digits.size() <= 9 && digits.find_first_not_of("0123456789") == std::string::npos) {
                return std::stoi(digits);
            }
        }
    }
    return -1;
}

// Opens a fresh temporary file beside `target`; none when the folder refuses it.
UniqueFd OpenTempFile(const std::filesystem::path& target, std::string& tempPath) {
    static std::atomic<unsigned> counter{0};
    const auto folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    const std::string stem =
        "." + target.filename().string() + ".tmp-" + std::to_string(::getpid());
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        tempPath = (folder / (stem + "-" + std::to_string(counter++))).string();
        UniqueFd fd(
            ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode));
        if (fd.IsOpen() || errno != EEXIST) {
            return fd;
        }
    }
    return UniqueFd();
}

// Gives the new file the old one's owner and group where the process may: the owner needs
// root, the group membership. What is refused stays the process's own, as for any new file.
// Done before the permission bits are set, since a change of owner clears set-user-ID bits.
void KeepOwner(int fd, const struct stat& existing) {
    if (::fchown(fd, existing.st_uid, existing.st_gid) != 0) {
        (void)::fchown(fd, static_cast<uid_t>(-1), existing.st_gid);
    }
}

}  // namespace

std::string ReplacedFile(const std::string& path) {
    return ResolveTarget(path).string();
}

Error ReplaceFileContents(const std::string& path, std::string_view contents) {
    const auto target = ResolveTarget(path);

    struct stat existing {};
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    if (!exists && errno != ENOENT) {
        return Fail("cannot write " + target.string(), errno);
    }
    if (exists && S_ISDIR(existing.st_mode)) {
        return Fail("cannot write " + target.string(), EISDIR);
    }
    if (exists && !S_ISREG(existing.st_mode)) {
        return Error{0, "cannot write " + target.string() + ": not a regular file (" +
                            FileKindName(existing.st_mode) + ")"};
    }
    if (exists && ::access(target.c_str(), W_OK) != 0) {
        return Fail("cannot write " + target.string(), errno);
    }

    std::string tempPath;
    UniqueFd temp = OpenTempFile(target, tempPath);
    const int fd = temp.Get();
    if (fd < 0) {
        return Fail("cannot create a file beside " + target.string(), errno);
    }

    if (exists) {
        KeepOwner(fd, existing);
    }
    int failure = 0;
    if (!WriteAll(fd, contents) ||
        (exists && ::fchmod(fd, existing.st_mode & kPermissionBits) != 0) || ::fsync(fd) != 0) {
        failure = errno;
    }
    if (!temp.Close() && failure == 0) {
        failure = errno;
    }
    if (failure == 0 && ::rename(tempPath.c_str(), target.c_str()) != 0) {
        failure = errno;
    }
    if (failure != 0) {
        ::unlink(tempPath.c_str());
        return Fail("cannot write " + target.string(), failure);
    }
    return {};
}

namespace {

// Writes into what is already there (a device, a FIFO, a file reached by a link that has no
// name to replace), without creating or truncating anything else.
Error WriteInPlace(const std::string& path, std::string_view contents, bool truncate) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | (truncate ? O_TRUNC : 0)));
    if (!fd.IsOpen()) {
        return Fail("cannot write " + path, errno);
    }
    int failure = WriteAll(fd.Get(), contents) ? 0 : errno;
    if (!fd.Close() && failure == 0 && errno != EINTR) {
        failure = errno;
    }
    if (failure != 0) {
        return Fail("cannot write " + path, failure);
    }
    return {};
}

}  // namespace

namespace {

// How an output path is written.
enum class OutputWay {
    kDescriptor,  // one of our open descriptors (or "-": standard output)
    kStream,      // a device or FIFO, opened and written without truncation
    kInPlace,     // a file reached by a link with no name of its own: opened and truncated
    kReplace,     // a regular file, a missing one or the end of a link: ReplaceFileContents
};

struct OutputPlan {
    OutputWay way = OutputWay::kReplace;
    int fd = -1;  // kDescriptor
};

// How `path` is written, or why it cannot be an output.
Result<OutputPlan> PlanOutput(const std::string& path) {
    if (path == "-") {
        return OutputPlan{OutputWay::kDescriptor, STDOUT_FILENO};
    }
    struct stat status {};
    if (const int own = OwnDescriptor(path); own >= 0 && ::fstat(own, &status) == 0) {
        if (S_ISDIR(status.st_mode)) {
            return Fail("cannot write " + path, EISDIR);
        }
        return OutputPlan{OutputWay::kDescriptor, own};
    }
    if (::stat(path.c_str(), &status) != 0) {
        if (errno != ENOENT) {
            return Fail("cannot write " + path, errno);
        }
        return OutputPlan{OutputWay::kReplace};  // new, or the end of a dangling link
    }
    if (S_ISDIR(status.st_mode)) {
        return Fail("cannot write " + path, EISDIR);
    }
    if (S_ISCHR(status.st_mode) || S_ISFIFO(status.st_mode)) {
        return OutputPlan{OutputWay::kStream};
    }
    if (!S_ISREG(status.st_mode)) {
        return Error{0, "cannot write " + path + ": not a file, character device or FIFO (" +
                            FileKindName(status.st_mode) + ")"};
    }
    // A link whose end has no name of its own (such as /proc/PID/fd/N for a deleted file)
    // cannot be replaced by a rename: write into the file it stands for.
    const auto target = ResolveTarget(path);
    struct stat resolved {};
    if (::stat(target.c_str(), &resolved) != 0 || resolved.st_dev != status.st_dev ||
        resolved.st_ino != status.st_ino) {
        return OutputPlan{OutputWay::kInPlace};
    }
    return OutputPlan{OutputWay::kReplace};
}

}  // namespace

Error CheckOutputFile(const std::string& path) {
    const Result<OutputPlan> plan = PlanOutput(path);
    if (!plan) {
        return plan.error();
    }
    switch (plan->way) {
        case OutputWay::kDescriptor:
            return {};
        case OutputWay::kStream:
        case OutputWay::kInPlace:
            if (::access(path.c_str(), W_OK) != 0) {
                return Fail("cannot write " + path, errno);
            }
            return {};
        case OutputWay::kReplace:
            break;
    }
    const auto target = ResolveTarget(path);
    struct stat existing {};
    if (::stat(target.c_str(), &existing) == 0 && ::access(target.c_str(), W_OK) != 0) {
        return Fail("cannot write " + target.string(), errno);
    }
    const auto folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        return Fail("cannot create a file in " + folder.string(), errno);
    }
    return {};
}

Error WriteOutputFile(const std::string& path, std::string_view contents) {
    const Result<OutputPlan> plan = PlanOutput(path);
    if (!plan) {
        return plan.error();
    }
    switch (plan->way) {
        case OutputWay::kDescriptor:
            if (!WriteAll(plan->fd, contents)) {
                return Fail(path == "-" ? "cannot write standard output" : "cannot write " + path,
                            errno);
            }
            return {};
        case OutputWay::kStream:
            return WriteInPlace(path, contents, false);
        case OutputWay::kInPlace:
            return WriteInPlace(path, contents, true);
        case OutputWay::kReplace:
            return ReplaceFileContents(path, contents);
    }
    return {};
}

bool IsStandardOutput(const std::string& path) {
    if (path == "-") {
        return true;
    }
    struct stat named {};
    struct stat out {};
    return ::stat(path.c_str(), &named) == 0 && ::fstat(STDOUT_FILENO, &out) == 0 &&
           named.st_dev == out.st_dev && named.st_ino == out.st_ino;
}

}  // namespace platform
