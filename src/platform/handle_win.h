#pragma once

#include <cstddef>
#include <utility>

#include <windows.h>

namespace platform {

// Owns one Windows kernel handle (a file, a folder, an event) and closes it when it goes, so
// that no early return of the Windows files here leaves one open. INVALID_HANDLE_VALUE: none
// (a null handle counts as none too).
class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    ~UniqueHandle() { Close(); }
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        Close();
        handle_ = other.Release();
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE Get() const { return handle_; }
    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    // Hands the handle over to the caller, who closes it.
    HANDLE Release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }
    // Closes the handle held now. False, with GetLastError set, when the system reports a
    // failure (for a written file: its content may not have been stored). True when none.
    bool Close() { return !IsOpen() || CloseHandle(Release()) != 0; }

  private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Writes all `size` bytes to `file`, at most 1 GiB a call. 0 when all were written, else the
// system's error number (ERROR_WRITE_FAULT for a write that took nothing and gave none).
DWORD WriteAllToHandle(HANDLE file, const void* data, std::size_t size);

}  // namespace platform
