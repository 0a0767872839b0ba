#include "platform/pipe_client.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <windows.h>

#include "platform/handle_win.h"

namespace platform {

namespace {

constexpr const char* kPipeNamespace = "\\\\.\\pipe\\";
constexpr const char* kPipeNameVariable = "VELLUMIX_LOG_PIPE";
constexpr std::size_t kLongestPipeName = 200;

// Pipe handles travel as ints: the system keeps kernel handles within 32 bits so that 32-bit
// and 64-bit processes can share them, so the round trip loses nothing.
HANDLE HandleOf(int descriptor) {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(descriptor));
}

int DescriptorOf(HANDLE handle) {
    return static_cast<int>(reinterpret_cast<std::intptr_t>(handle));
}

// One overlapped write of `length` bytes, waited for at most `timeoutMs` (INFINITE allowed).
// Returns the bytes the listener took, or -1 when the pipe is broken.
long WriteWithin(HANDLE pipe, const char* data, std::size_t length, DWORD timeoutMs) {
    const UniqueHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!event.IsOpen()) {
        return -1;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.Get();
    DWORD taken = 0;
    long result = -1;
    if (WriteFile(pipe, data, static_cast<DWORD>(length), &taken, &overlapped) != 0) {
        result = static_cast<long>(taken);
    } else if (GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(overlapped.hEvent, timeoutMs) != WAIT_OBJECT_0) {
            CancelIoEx(pipe, &overlapped);
        }
        if (GetOverlappedResult(pipe, &overlapped, &taken, TRUE) != 0 ||
            GetLastError() == ERROR_OPERATION_ABORTED) {
            result = static_cast<long>(taken);
        }
    }
    return result;
}

std::string Joined(const char* data, std::size_t length, const char* suffix,
                   std::size_t suffixLength) {
    std::string line(data, length);
    if (suffix != nullptr && suffixLength > 0) {
        line.append(suffix, suffixLength);
    }
    return line;
}

}  // namespace

// The named pipe "\\.\pipe\quillTest": the same name on every machine and for every user,
// unless the environment names another.
std::string LogPipePath() {
    const char* chosen = std::getenv(kPipeNameVariable);
    const std::string name = chosen == nullptr ? "" : chosen;
    const bool usable =
        !name.empty() && name.size() <= kLongestPipeName && name.find('\\') == std::string::npos;
    return std::string(kPipeNamespace) + (usable ? name : kLogPipeName);
}

const char* LogPipeKindName() {
    return "Named pipe";
}

std::string LogPipeDefaultText() {
    return LogPipePath();
}

// WaitNamedPipeA answers at once when no listener has created the pipe, and waits up to
// `waitMs` for a free instance while all are taken; CreateFileA can still lose the race to
// another client, so it is tried again within the same time.
int ConnectPipe(const std::string& path, int waitMs) {
    if (path.empty()) {
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (WaitNamedPipeA(path.c_str(), static_cast<DWORD>(std::max<long long>(left, 1))) == 0 &&
            GetLastError() != ERROR_SEM_TIMEOUT) {
            return -1;  // nobody serves the pipe
        }
        const HANDLE pipe = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OVERLAPPED, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            return DescriptorOf(pipe);
        }
        if (GetLastError() != ERROR_PIPE_BUSY || std::chrono::steady_clock::now() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPipeRetryPauseMs));
    }
}

bool WritePipe(int descriptor, const char* data, std::size_t length, const char* suffix,
               std::size_t suffixLength) {
    if (descriptor < 0) {
        return false;
    }
    const std::string line = Joined(data, length, suffix, suffixLength);
    return WriteWithin(HandleOf(descriptor), line.data(), line.size(), INFINITE) ==
           static_cast<long>(line.size());
}

long WritePipeWithin(int descriptor, const char* data, std::size_t length, const char* suffix,
                     std::size_t suffixLength, int timeoutMs) {
    if (descriptor < 0) {
        return -1;
    }
    const std::string line = Joined(data, length, suffix, suffixLength);
    // A zero wait still lets the write finish when the pipe has room at once.
    return WriteWithin(HandleOf(descriptor), line.data(), line.size(),
                       static_cast<DWORD>(std::max(timeoutMs, 0)));
}

void ClosePipe(int descriptor) {
    if (descriptor < 0) {
        return;
    }
    CloseHandle(HandleOf(descriptor));
}

}  // namespace platform
