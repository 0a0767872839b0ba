#include "platform/folder_watch.h"

#include <memory>
#include <string>

#include <windows.h>

#include "platform/system_text_win.h"

namespace platform {
namespace {

constexpr DWORD kChangeFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE |
                                FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_CREATION;
constexpr DWORD kBufferBytes = 64 * 1024;

}  // namespace

struct FolderWatch::System {
    std::wstring path;
    HANDLE folder = INVALID_HANDLE_VALUE;
    HANDLE done = nullptr;
    OVERLAPPED overlapped{};
    // The changes' names are not read (the caller looks at the folder again), but the system
    // needs room for them: with none it reports every batch as lost.
    std::unique_ptr<DWORD[]> buffer = std::make_unique<DWORD[]>(kBufferBytes / sizeof(DWORD));
    bool reading = false;

    ~System() {
        if (reading) {
            CancelIoEx(folder, &overlapped);
            DWORD bytes = 0;
            GetOverlappedResult(folder, &overlapped, &bytes, TRUE);
        }
        if (folder != INVALID_HANDLE_VALUE) {
            CloseHandle(folder);
        }
        if (done != nullptr) {
            CloseHandle(done);
        }
    }

    Error Read() {
        ResetEvent(done);
        overlapped = OVERLAPPED{};
        overlapped.hEvent = done;
        reading = ReadDirectoryChangesW(folder, buffer.get(), kBufferBytes, TRUE, kChangeFilter,
                                        nullptr, &overlapped, nullptr) != 0;
        if (!reading) {
            const DWORD code = GetLastError();
            return Error{static_cast<int>(code), SystemErrorText(code)};
        }
        return {};
    }
};

FolderWatch::FolderWatch() = default;
FolderWatch::~FolderWatch() = default;

Error FolderWatch::Start(const std::string& folder) {
    system_ = std::make_unique<System>();
    system_->path = SystemPath(folder);
    system_->folder =
        CreateFileW(system_->path.c_str(), FILE_LIST_DIRECTORY,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    if (system_->folder == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        return Error{static_cast<int>(code),
                     folder + ": cannot be watched: " + SystemErrorText(code)};
    }
    system_->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (system_->done == nullptr) {
        const DWORD code = GetLastError();
        return Error{static_cast<int>(code), "cannot watch folders: " + SystemErrorText(code)};
    }
    return system_->Read();
}

Result<FolderWatch::State> FolderWatch::Wait(int timeoutMs) {
    // A folder removed while it is watched stays, pending deletion, until the handle goes, and
    // its removal is not among the changes reported; it can no longer be opened, though.
    const HANDLE again = CreateFileW(system_->path.c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (again == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_ACCESS_DENIED || code == ERROR_DELETE_PENDING ||
            code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
            return State::kGone;
        }
    } else {
        CloseHandle(again);
    }
    if (WaitForSingleObject(system_->done, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
        return State::kQuiet;
    }
    system_->reading = false;
    DWORD bytes = 0;
    if (!GetOverlappedResult(system_->folder, &system_->overlapped, &bytes, FALSE)) {
        const DWORD code = GetLastError();
        if (code == ERROR_ACCESS_DENIED || code == ERROR_DELETE_PENDING ||
            code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
            return State::kGone;
        }
        if (code != ERROR_NOTIFY_ENUM_DIR) {  // too many changes to list: still a change
            return Error{static_cast<int>(code), SystemErrorText(code)};
        }
    }
    // Read again at once, so that nothing that follows is missed; zero bytes means the changes
    // did not fit, which is a change as well.
    if (Error error = system_->Read()) {
        return error;
    }
    return State::kChanged;
}

}  // namespace platform
