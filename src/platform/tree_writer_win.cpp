#include "platform/tree_writer.h"

#include <filesystem>
#include <system_error>

#include <windows.h>

#include "platform/handle_win.h"
#include "platform/system_text.h"
#include "platform/system_text_win.h"

namespace platform {
namespace {

bool Fail(TreeWriteError& error, std::size_t segment, std::string reason) {
    error.segment = segment;
    error.reason = std::move(reason);
    return false;
}

bool IsLink(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

// Windows has no descriptors for folders to work below, so every step names the whole path
// and checks what stands there first: a symbolic link or junction inside the root is never
// followed, and the file is created anew (CREATE_NEW) after whatever stood at its name is
// deleted (deleting a link removes the link, not its target).
TreeWriter::~TreeWriter() = default;

Error TreeWriter::Open() {
    std::error_code code;
    std::filesystem::create_directories(FileSystemPath(root_), code);
    const DWORD attributes = GetFileAttributesW(SystemPath(root_).c_str());
    if (code || attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return Error{code ? code.value() : static_cast<int>(ERROR_DIRECTORY),
                     "cannot create folder " + root_ + ": " +
                         (code ? code.message() : SystemErrorText(ERROR_DIRECTORY))};
    }
    rootFd_ = 0;
    return {};
}

bool TreeWriter::WriteFile(const std::vector<std::string>& segments, const std::uint8_t* data,
                           std::size_t size, TreeWriteError& error) {
    if (rootFd_ < 0 || segments.empty()) {
        return Fail(error, 0, SystemErrorText(ERROR_INVALID_HANDLE));
    }
    std::string path = root_;
    const std::size_t last = segments.size() - 1;
    for (std::size_t i = 0; i <= last; ++i) {
        if (!path.empty() && path.back() != '\\' && path.back() != '/') {
            path += '\\';
        }
        path += segments[i];
        if (i == last) {
            break;
        }
        DWORD attributes = GetFileAttributesW(SystemPath(path).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            if (CreateDirectoryW(SystemPath(path).c_str(), nullptr) == 0 &&
                GetLastError() != ERROR_ALREADY_EXISTS) {
                return Fail(error, i, SystemErrorText(GetLastError()));
            }
            attributes = GetFileAttributesW(SystemPath(path).c_str());
        }
        if (attributes == INVALID_FILE_ATTRIBUTES || IsLink(attributes) ||
            (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            return Fail(error, i, "not a folder");
        }
    }
    const DWORD existing = GetFileAttributesW(SystemPath(path).c_str());
    if (existing != INVALID_FILE_ATTRIBUTES) {
        if ((existing & FILE_ATTRIBUTE_DIRECTORY) != 0 && !IsLink(existing)) {
            return Fail(error, last, "is a folder");
        }
        const bool removed = (existing & FILE_ATTRIBUTE_DIRECTORY) != 0
                                 ? RemoveDirectoryW(SystemPath(path).c_str()) != 0
                                 : DeleteFileW(SystemPath(path).c_str()) != 0;
        if (!removed) {
            return Fail(error, last, SystemErrorText(GetLastError()));
        }
    }
    UniqueHandle file(CreateFileW(SystemPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsOpen()) {
        return Fail(error, last, SystemErrorText(GetLastError()));
    }
    DWORD failure = WriteAllToHandle(file.Get(), data, size);
    if (!file.Close() && failure == 0) {
        failure = GetLastError();
    }
    if (failure == 0) {
        return true;
    }
    error.partial = true;
    if (DeleteFileW(SystemPath(path).c_str()) == 0) {
        error.removeError = SystemErrorText(GetLastError());
    }
    return Fail(error, last, SystemErrorText(failure));
}

}  // namespace platform
