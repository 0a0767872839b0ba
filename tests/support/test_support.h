#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QProcess;

namespace testing_support {

// A fresh folder below the system's temporary folder, removed with everything in it when the
// object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Writes `content` to the relative path, creating folders; returns the full path.
    std::filesystem::path Write(const std::string& relative, const std::string& content) const;

  private:
    std::filesystem::path path_;
};

std::string ReadFile(const std::filesystem::path& path);

// The environment that gives a child program a diagnostic pipe of its own: the runtime folder
// on Linux, and on Windows, where every process shares one default pipe name, a name made from
// that folder. Tests that listen on the pipe run beside other tests that upload.
std::map<std::string, std::string> PrivateLogPipe(const std::filesystem::path& runtime);

struct ProcessResult {
    int exitCode = -1;  // -1 when the child did not exit normally or timed out
    std::string out;
    std::string err;
};

// Runs a program with arguments (no shell), feeding `input` on stdin, with extra environment
// variables; kills it after timeoutMs. (support/child_process.cpp, in the suites that start
// programs.)
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input = "",
                         const std::map<std::string, std::string>& env = {}, int timeoutMs = 60000);

// A child process running in the background with its stdout and stderr in one file; killed
// when the object goes, unless it has already exited.
class BackgroundProcess {
  public:
    BackgroundProcess(const std::vector<std::string>& argv,
                      const std::map<std::string, std::string>& env = {});
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    // Everything the child has printed so far.
    std::string Output() const;
    // Waits (at most timeoutMs) until the output contains `text`; true when it does.
    bool WaitForOutput(const std::string& text, int timeoutMs) const;
    // Waits (at most timeoutMs) for the child to end; its exit code, or -1 (still running, or
    // ended by a signal).
    int WaitForExit(int timeoutMs);
    // Sends signal `number` to the child while it runs (POSIX only).
    void Signal(int number) const;

  private:
    TempDir dir_;
    std::filesystem::path outputFile_;
    std::unique_ptr<QProcess> process_;
};

// Path of vellumix-cli (fixed at build time).
std::string CliPath();
// Path of the examples folder (fixed at build time).
std::filesystem::path ExamplesPath();

}  // namespace testing_support
