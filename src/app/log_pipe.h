#pragma once

#include <mutex>
#include <string>

namespace app {

// Client end of the diagnostic pipe. Attached once at start-up; with no listener then, every
// write of the run does nothing.
//
// Lines are written on the thread that runs the upload, so a listener that stops reading must
// not hold it up: each line waits at most platform::kPipeWriteTimeoutMs for the listener to take
// it and is dropped when it does not. After such a drop the pipe counts as stalled, and later
// lines are offered without waiting (dropped at once while it stays full) until the listener
// takes one whole again, so a stuck listener costs one wait, not one per line. The listener
// only ever sees whole lines: a line it took in part is finished before anything else is written,
// and while that rest cannot be written, later lines are dropped.
class LogPipe {
  public:
    LogPipe() = default;
    ~LogPipe();
    LogPipe(const LogPipe&) = delete;
    LogPipe& operator=(const LogPipe&) = delete;

    // 1 when the pipe is open, -1 otherwise (at once when no listener exists, after at most
    // 5000 ms when the listener stays busy).
    int Open();
    // Writes the text, waiting for the listener as above; a text without any line feed gets one
    // "\n" appended.
    // Does nothing when not open or text is null; a failed or dropped write is not reported.
    // Safe to call from several threads at once (uploads to several devices share one pipe): the
    // lines go out one after another, each still whole.
    void WriteLine(const char* text);
    // Releases the handle; does nothing when not open.
    void Close();

    bool IsOpen() const { return handle_ >= 0; }
    // Lines dropped because the listener did not take them in time (failed writes to a listener
    // that went away are not counted).
    long DroppedLines() const;

  private:
    // Finishes the rest of a line taken in part; true when nothing of it is left.
    bool FinishUnfinished(int timeoutMs);

    int handle_ = -1;
    std::string unfinished_;  // what the listener has not yet taken of a line it took in part
    bool stalled_ = false;    // the last line was not taken in time
    long droppedLines_ = 0;
    mutable std::mutex mutex_;  // one line at a time, and no line racing Open or Close
};

}  // namespace app
