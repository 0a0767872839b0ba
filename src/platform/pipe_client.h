#pragma once

#include <cstddef>
#include <string>

namespace platform {

// The diagnostic pipe is a Unix-domain stream socket named "quillTest" in the user's runtime
// folder; on Windows the named pipe "\\.\pipe\quillTest" (pipe_client_win.cpp, with the
// pipe's HANDLE as the descriptor). A listener serves it; the program is the client and only
// ever writes.

inline constexpr const char* kLogPipeName = "quillTest";
inline constexpr const char* kLogPipeFallbackFolder = "/tmp";
// Longest time a client waits for a listener whose queue of pending connections is full.
inline constexpr int kPipeWaitMs = 5000;
// Pause between two attempts while the listener stays busy.
inline constexpr int kPipeRetryPauseMs = 20;
// Longest time one diagnostic line waits for the listener to take it. Lines are written on the
// thread that runs the upload, so a listener that stops reading must cost a line, not the run.
inline constexpr int kPipeWriteTimeoutMs = 1000;

// "$XDG_RUNTIME_DIR/quillTest", or "/tmp/quillTest" when the variable is unset, empty or not a
// folder. On Windows "\\.\pipe\quillTest", or "\\.\pipe\NAME" when the environment variable
// VELLUMIX_LOG_PIPE holds a NAME of 1 to 200 characters without a backslash: the one way to keep
// two listeners (two test runs, two users on one machine) apart, as the runtime folder does on
// Linux.
std::string LogPipePath();

// How the pipe is named where a help text tells the user: what it is ("Socket"; Windows: "Named
// pipe") and where it is unless told otherwise ("$XDG_RUNTIME_DIR/quillTest, else
// /tmp/quillTest"; Windows: "\\.\pipe\quillTest").
const char* LogPipeKindName();
std::string LogPipeDefaultText();

// Connects to the listener at `path`. Returns the connected descriptor (blocking, close-on-exec)
// or -1: at once when nothing listens there (no such file, nobody accepting, not a socket, or a
// socket owned by another user); after at most `waitMs` when the listener's queue stays full.
int ConnectPipe(const std::string& path, int waitMs);

// One write call of `length` bytes followed by `suffixLength` bytes of `suffix` (may be null).
// Blocks until the listener has taken them; never raises SIGPIPE. Returns false on failure,
// which callers may ignore.
bool WritePipe(int descriptor, const char* data, std::size_t length, const char* suffix,
               std::size_t suffixLength);

// Writes `length` bytes followed by `suffixLength` bytes of `suffix` (may be null) as far as the
// listener takes them within `timeoutMs` (0: only what it takes at once). Never raises SIGPIPE.
// Returns how many bytes were taken (0 up to length + suffixLength, fewer when the time ran out),
// or -1 when the connection has failed (the listener went away).
long WritePipeWithin(int descriptor, const char* data, std::size_t length, const char* suffix,
                     std::size_t suffixLength, int timeoutMs);

// Shuts the connection down and releases the descriptor; -1 is ignored.
void ClosePipe(int descriptor);

}  // namespace platform
