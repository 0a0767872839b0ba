#include "platform/file_lock_common.h"

#include <windows.h>

#include "platform/handle_win.h"
#include "platform/system_text_win.h"

namespace platform::file_lock_steps {

namespace {

Error Refuse(const std::string& lockPath, DWORD code, const std::string& why) {
    return Error{static_cast<int>(code), "cannot lock " + lockPath + ": " + why};
}

}  // namespace

// FILE_FLAG_OPEN_REPARSE_POINT opens a link itself instead of what it leads to, and a folder
// cannot be opened without FILE_FLAG_BACKUP_SEMANTICS; the information read from the handle
// then refuses both. Other writers may open the file at the same time (the sharing modes), since
// only the lock decides.
Result<std::intptr_t> OpenLockFile(const std::string& lockPath) {
    UniqueHandle handle(CreateFileW(SystemPath(lockPath).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle.IsOpen()) {
        const DWORD code = GetLastError();
        return Refuse(lockPath, code, SystemErrorText(code));
    }
    BY_HANDLE_FILE_INFORMATION info{};
    std::string why;
    DWORD code = 0;
    if (GetFileInformationByHandle(handle.Get(), &info) == 0) {
        code = GetLastError();
        why = SystemErrorText(code);
    } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        why = "a symbolic link";
    } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
               GetFileType(handle.Get()) != FILE_TYPE_DISK) {
        why = "not a regular file";
    }
    if (!why.empty()) {
        return Refuse(lockPath, code, why);
    }
    return reinterpret_cast<std::intptr_t>(handle.Release());
}

Result<TryOutcome> TryLock(std::intptr_t handle, const std::string& lockPath) {
    OVERLAPPED at{};  // the first byte
    if (LockFileEx(reinterpret_cast<HANDLE>(handle),
                   LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0) {
        return TryOutcome::kTaken;
    }
    const DWORD code = GetLastError();
    if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) {
        return TryOutcome::kBusy;
    }
    return Refuse(lockPath, code, SystemErrorText(code));
}

void CloseLockFile(std::intptr_t handle) {
    const auto file = reinterpret_cast<HANDLE>(handle);
    OVERLAPPED at{};
    UnlockFileEx(file, 0, 1, 0, &at);
    CloseHandle(file);
}

}  // namespace platform::file_lock_steps
