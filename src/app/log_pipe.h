#pragma once

#include <mutex>

namespace app {

// Client end of the diagnostic pipe. Attached once at start-up; with no listener then, every
// write of the run does nothing.
class LogPipe {
public:
    LogPipe() = default;
    ~LogPipe();
    LogPipe(const LogPipe&) = delete;
    LogPipe& operator=(const LogPipe&) = delete;

    // 1 when the pipe is open, -1 otherwise (at once when no listener exists, after at most
    // 5000 ms when the listener stays busy).
    int Open();
    // Writes the text with one write; a text without any line feed gets one "\n" appended.
    // Does nothing when not open or text is null; a failed write is ignored. Safe to call from
    // several threads at once (uploads to several devices share one pipe): the lines go out one
    // after another, each still whole.
    void WriteLine(const char* text);
    // Releases the handle; does nothing when not open.
    void Close();

    bool IsOpen() const { return handle_ >= 0; }

private:
    int handle_ = -1;
    std::mutex mutex_;  // one line at a time, and no line racing Open or Close
};

}  // namespace app
