#include "platform/file_replace.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <optional>
#include <system_error>

#include <cerrno>
#include <cstdio>

#include <io.h>
#include <windows.h>

#include "platform/handle_win.h"
#include "platform/system_text.h"
#include "platform/system_text_win.h"
#include "platform/user_folders.h"

namespace platform {

namespace {

constexpr int kTempNameAttempts = 100;
constexpr DWORD kMoveRetryMs = 2000;

// The Windows error `code` in the frame `what`.
Error Fail(const std::string& what, DWORD code) {
    return Error{static_cast<int>(code), what + ": " + SystemErrorText(code)};
}

// The file that is really replaced: the target of a symbolic link, else the path itself.
std::filesystem::path ResolveTarget(const std::string& path) {
    std::error_code ignored;
    const auto named = FileSystemPath(path);
    if (std::filesystem::is_symlink(named, ignored)) {
        auto target = std::filesystem::canonical(named, ignored);
        if (!ignored) {
            return target;
        }
    }
    return named;
}

UniqueHandle CreateTempFile(const std::filesystem::path& target, std::string& tempPath) {
    static std::atomic<unsigned> counter{0};
    const auto folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    const std::string stem =
        "." + PathText(target.filename()) + ".tmp-" + std::to_string(GetCurrentProcessId());
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        tempPath = PathText(folder / FileSystemPath(stem + "-" + std::to_string(counter++)));
        UniqueHandle handle(CreateFileW(SystemPath(tempPath).c_str(), GENERIC_WRITE, 0, nullptr,
                                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (handle.IsOpen() || GetLastError() != ERROR_FILE_EXISTS) {
            return handle;
        }
    }
    return UniqueHandle();
}

}  // namespace

std::string ReplacedFile(const std::string& path) {
    return PathText(ResolveTarget(path));
}

namespace {

// Moves `from` over `to`. A file that another program holds open without delete sharing (a
// reader of the old settings, a virus scanner) cannot be replaced until it is closed: such a
// refusal is tried again for up to kMoveRetryMs, as those programs hold it briefly.
DWORD MoveOver(const std::string& from, const std::string& to) {
    const std::wstring source = SystemPath(from);
    const std::wstring target = SystemPath(to);
    DWORD waited = 0;
    DWORD pause = 1;
    for (;;) {
        if (MoveFileExW(source.c_str(), target.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
            return 0;
        }
        const DWORD failure = GetLastError();
        if ((failure != ERROR_ACCESS_DENIED && failure != ERROR_SHARING_VIOLATION) ||
            waited >= kMoveRetryMs) {
            return failure;
        }
        Sleep(pause);
        waited += pause;
        pause = std::min<DWORD>(pause * 2, 50);
    }
}

}  // namespace

// Written beside the target, flushed, then moved over it with MoveFileExW (replace existing,
// write through): the move returns only once it is on the disk.
Error ReplaceFileContents(const std::string& path, std::string_view contents) {
    const auto target = ResolveTarget(path);
    const std::string targetName = PathText(target);

    const DWORD attributes = GetFileAttributesW(SystemPath(targetName).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && ((attributes & FILE_ATTRIBUTE_READONLY) != 0 ||
                                                  (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)) {
        return Fail("cannot write " + targetName, ERROR_ACCESS_DENIED);
    }

    std::string tempPath;
    UniqueHandle handle = CreateTempFile(target, tempPath);
    if (!handle.IsOpen()) {
        return Fail("cannot create a file beside " + targetName, GetLastError());
    }
    DWORD failure = WriteAllToHandle(handle.Get(), contents.data(), contents.size());
    if (failure == 0 && FlushFileBuffers(handle.Get()) == 0) {
        failure = GetLastError();
    }
    handle.Close();
    if (failure == 0) {
        failure = MoveOver(tempPath, targetName);
    }
    if (failure != 0) {
        DeleteFileW(SystemPath(tempPath).c_str());
        return Fail("cannot write " + targetName, failure);
    }
    return {};
}

namespace {

Error RefuseFolder(const std::string& path) {
    return Error::OfErrno(EISDIR).In("cannot write " + path);
}

bool IsFolder(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(SystemPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::optional<BY_HANDLE_FILE_INFORMATION> InformationOf(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
        GetFileInformationByHandle(handle, &info) == 0) {
        return std::nullopt;
    }
    return info;
}

}  // namespace

// Windows has no device nodes or FIFOs among files: "-" is standard output, a folder is
// refused, anything else is a file that is replaced as a whole.
Error WriteOutputFile(const std::string& path, std::string_view contents) {
    if (path == "-") {
        std::fflush(stdout);
        const bool written =
            std::fwrite(contents.data(), 1, contents.size(), stdout) == contents.size() &&
            std::fflush(stdout) == 0;
        if (!written) {
            return Error::OfErrno(errno).In("cannot write standard output");
        }
        return {};
    }
    if (IsFolder(path)) {
        return RefuseFolder(path);
    }
    return ReplaceFileContents(path, contents);
}

Error CheckOutputFile(const std::string& path) {
    if (path == "-") {
        return {};
    }
    if (IsFolder(path)) {
        return RefuseFolder(path);
    }
    const auto target = ResolveTarget(path);
    const DWORD attributes = GetFileAttributesW(SystemPath(PathText(target)).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        return Fail("cannot write " + PathText(target), ERROR_ACCESS_DENIED);
    }
    const auto folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    if (!IsWritableFolder(PathText(folder))) {
        return Fail("cannot create a file in " + PathText(folder), ERROR_ACCESS_DENIED);
    }
    return {};
}

bool IsStandardOutput(const std::string& path) {
    if (path == "-") {
        return true;
    }
    const auto out = InformationOf(GetStdHandle(STD_OUTPUT_HANDLE));
    if (!out) {
        return false;
    }
    const UniqueHandle named(CreateFileW(
        SystemPath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const auto info = InformationOf(named.Get());
    return info && info->dwVolumeSerialNumber == out->dwVolumeSerialNumber &&
           info->nFileIndexHigh == out->nFileIndexHigh && info->nFileIndexLow == out->nFileIndexLow;
}

}  // namespace platform
