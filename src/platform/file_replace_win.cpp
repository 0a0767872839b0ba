#include "platform/file_replace.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <system_error>

#include <windows.h>

namespace platform {

namespace {

constexpr int kTempNameAttempts = 100;

bool Fail(std::string* error, const std::string& what, DWORD code) {
    if (error != nullptr) {
        char* text = nullptr;
        const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                                FORMAT_MESSAGE_FROM_SYSTEM |
                                                FORMAT_MESSAGE_IGNORE_INSERTS,
                                            nullptr, code, 0, reinterpret_cast<char*>(&text), 0,
                                            nullptr);
        std::string message = length > 0 && text != nullptr ? std::string(text, length)
                                                            : "error " + std::to_string(code);
        LocalFree(text);
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                    message.back() == '.' || message.back() == ' ')) {
            message.pop_back();
        }
        *error = what + ": " + message;
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

HANDLE CreateTempFile(const std::filesystem::path& target, std::string& tempPath) {
    static std::atomic<unsigned> counter{0};
    const auto folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    const std::string stem =
        "." + target.filename().string() + ".tmp-" + std::to_string(GetCurrentProcessId());
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        tempPath = (folder / (stem + "-" + std::to_string(counter++))).string();
        const HANDLE handle = CreateFileA(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) {
            return handle;
        }
    }
    return INVALID_HANDLE_VALUE;
}

}  // namespace

// Written beside the target, flushed, then moved over it with MoveFileExA (replace existing,
// write through): the move returns only once it is on the disk.
bool ReplaceFileContents(const std::string& path, std::string_view contents, std::string* error) {
    const auto target = ResolveTarget(path);
    const std::string targetName = target.string();

    const DWORD attributes = GetFileAttributesA(targetName.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        ((attributes & FILE_ATTRIBUTE_READONLY) != 0 ||
         (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)) {
        return Fail(error, "cannot write " + targetName, ERROR_ACCESS_DENIED);
    }

    std::string tempPath;
    const HANDLE handle = CreateTempFile(target, tempPath);
    if (handle == INVALID_HANDLE_VALUE) {
        return Fail(error, "cannot create a file beside " + targetName, GetLastError());
    }
    DWORD failure = 0;
    std::string_view rest = contents;
    while (!rest.empty() && failure == 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(rest.size(), 1u << 30));
        DWORD written = 0;
        if (WriteFile(handle, rest.data(), chunk, &written, nullptr) == 0 || written == 0) {
            failure = GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
            break;
        }
        rest.remove_prefix(written);
    }
    if (failure == 0 && FlushFileBuffers(handle) == 0) {
        failure = GetLastError();
    }
    CloseHandle(handle);
    if (failure == 0 &&
        MoveFileExA(tempPath.c_str(), targetName.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
        failure = GetLastError();
    }
    if (failure != 0) {
        DeleteFileA(tempPath.c_str());
        return Fail(error, "cannot write " + targetName, failure);
    }
    return true;
}

}  // namespace platform
