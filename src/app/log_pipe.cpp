#include "app/log_pipe.h"

#include <cstring>

#include "platform/pipe_client.h"

namespace app {

LogPipe::~LogPipe() {
    Close();
}

int LogPipe::Open() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (handle_ >= 0) {
        return 1;
    }
    const int descriptor = platform::ConnectPipe(platform::LogPipePath(), platform::kPipeWaitMs);
    if (descriptor < 0) {
        return -1;
    }
    handle_ = descriptor;
    return 1;
}

void LogPipe::WriteLine(const char* text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (handle_ < 0 || text == nullptr) {
        return;
    }
    static constexpr char kLineFeed[] = "\n";
    const std::size_t length = std::strlen(text);
    const bool hasLineFeed = std::memchr(text, '\n', length) != nullptr;
    // The result is ignored on purpose: a listener that went away costs nothing but the line.
    platform::WritePipe(handle_, text, length, hasLineFeed ? nullptr : kLineFeed,
                        hasLineFeed ? 0 : 1);
}

void LogPipe::Close() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (handle_ < 0) {
        return;
    }
    platform::ClosePipe(handle_);
    handle_ = -1;
}

}  // namespace app
