#pragma once

#include <cstddef>
#include <utility>

namespace platform {

// Owns one open POSIX descriptor and closes it when it goes, so that no early return of the
// POSIX files here leaves one open. -1: none.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        Reset(other.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool IsOpen() const { return fd_ >= 0; }
    // Hands the descriptor over to the caller, who closes it.
    int Release() { return std::exchange(fd_, -1); }
    // Closes the descriptor held (a close failure is not reported) and holds `fd` instead.
    void Reset(int fd = -1);
    // Closes the descriptor held now. False, with errno set, when the system reports a failure:
    // for a written file its content may not have been stored. True when none was held.
    bool Close();

  private:
    int fd_ = -1;
};

// Writes all `size` bytes, retrying interrupted and partial writes; a descriptor shared with a
// process that made it non-blocking (a pipe, a terminal) is waited on until it takes more.
// False with errno set when a write fails (EIO for one that took nothing).
bool WriteAll(int fd, const void* data, std::size_t size);

}  // namespace platform
