#include "app/log_pipe.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/pipe_client.h"

namespace app {

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, platform::kPipeWriteTimeoutMs));
}

}  // namespace

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
    unfinished_.clear();
    stalled_ = false;
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
    const std::size_t suffixLength = hasLineFeed ? 0 : 1;
    const std::size_t total = length + suffixLength;

    // One time budget for the whole call: the rest of an earlier line, then this one.
    const int budgetMs = stalled_ ? 0 : platform::kPipeWriteTimeoutMs;
    const auto deadline = Clock::now() + std::chrono::milliseconds(budgetMs);
    if (!FinishUnfinished(budgetMs)) {
        stalled_ = true;
        ++droppedLines_;
        return;
    }
    const long taken =
        platform::WritePipeWithin(handle_, text, length, hasLineFeed ? nullptr : kLineFeed,
                                  suffixLength, MillisecondsLeft(deadline));
    if (taken < 0) {
        return;  // the listener went away: the line is lost, as every later one will be
    }
    const auto written = static_cast<std::size_t>(taken);
    if (written == total) {
        stalled_ = false;
        return;
    }
    stalled_ = true;
    if (written == 0) {
        ++droppedLines_;
        return;
    }
    // Started but not finished: keep the rest, so that the listener never sees half a line run
    // into the next one.
    if (written < length) {
        unfinished_.assign(text + written, length - written);
        unfinished_.append(kLineFeed, suffixLength);
    } else {
        unfinished_.assign(kLineFeed + (written - length), total - written);
    }
}

bool LogPipe::FinishUnfinished(int timeoutMs) {
    if (unfinished_.empty()) {
        return true;
    }
    const long taken = platform::WritePipeWithin(handle_, unfinished_.data(), unfinished_.size(),
                                                 nullptr, 0, timeoutMs);
    if (taken < 0) {
        unfinished_.clear();  // nobody left to finish it for
        return true;
    }
    unfinished_.erase(0, static_cast<std::size_t>(taken));
    return unfinished_.empty();
}

long LogPipe::DroppedLines() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return droppedLines_;
}

void LogPipe::Close() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (handle_ < 0) {
        return;
    }
    platform::ClosePipe(handle_);
    handle_ = -1;
    unfinished_.clear();
    stalled_ = false;
}

}  // namespace app
