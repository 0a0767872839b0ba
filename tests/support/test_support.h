#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

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

struct ProcessResult {
    int exitCode = -1;  // -1 when the child did not exit normally or timed out
    std::string out;
    std::string err;
};

// Runs a program with arguments (no shell), feeding `input` on stdin, with extra environment
// variables; kills it after timeoutMs.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input = "",
                         const std::map<std::string, std::string>& env = {},
                         int timeoutMs = 60000);

// Path of vellumix-cli (fixed at build time).
std::string CliPath();
// Path of the examples folder (fixed at build time).
std::filesystem::path ExamplesPath();

}  // namespace testing_support
