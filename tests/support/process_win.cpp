// Windows versions of the child-process helpers of test_support.h (the rest of that file is
// shared): CreateProcessA with its standard streams in files, so no pipe can fill up.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <windows.h>

#include "support/test_support.h"

namespace testing_support {

namespace {

// One argument quoted for the command line as the C runtime splits it again.
std::string Quoted(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
        return argument;
    }
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(2 * backslashes, '\\');
    quoted.push_back('"');
    return quoted;
}

std::string CommandLine(const std::vector<std::string>& argv) {
    std::string line;
    for (const auto& argument : argv) {
        if (!line.empty()) {
            line.push_back(' ');
        }
        line += Quoted(argument);
    }
    return line;
}

// The process's environment with `changes` applied, as CreateProcessA takes it.
std::vector<char> Environment(const std::map<std::string, std::string>& changes) {
    std::map<std::string, std::string> variables;
    for (char** entry = _environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string text(*entry);
        const auto equals = text.find('=', 1);
        if (equals != std::string::npos) {
            variables[text.substr(0, equals)] = text.substr(equals + 1);
        }
    }
    for (const auto& [name, value] : changes) {
        variables[name] = value;
    }
    std::vector<char> result;
    for (const auto& [name, value] : variables) {
        const std::string entry = name + "=" + value;
        result.insert(result.end(), entry.begin(), entry.end());
        result.push_back('\0');
    }
    result.push_back('\0');
    return result;
}

HANDLE InheritableFile(const std::filesystem::path& path, bool write) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileA(path.string().c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Starts the child with the given standard handles; its process handle, or null.
HANDLE Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             HANDLE input, HANDLE output, HANDLE error) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = error;
    PROCESS_INFORMATION started{};
    std::string line = CommandLine(argv);
    std::vector<char> environment = Environment(env);
    std::string program = argv.empty() ? std::string() : argv.front();
    if (program.size() < 4 || program.compare(program.size() - 4, 4, ".exe") != 0) {
        program += ".exe";
    }
    if (CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                       environment.data(), nullptr, &startup, &started) == 0) {
        return nullptr;
    }
    CloseHandle(started.hThread);
    return started.hProcess;
}

int ExitCodeOf(HANDLE process) {
    DWORD code = 0;
    return GetExitCodeProcess(process, &code) != 0 ? static_cast<int>(code) : -1;
}

HANDLE ProcessOf(int pid) {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(pid));
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input,
                         const std::map<std::string, std::string>& env, int timeoutMs) {
    ProcessResult result;
    TempDir streams;
    const auto inFile = streams.Write("in", input);
    const HANDLE in = InheritableFile(inFile, false);
    const HANDLE out = InheritableFile(streams.path() / "out", true);
    const HANDLE err = InheritableFile(streams.path() / "err", true);
    const HANDLE child = Start(argv, env, in, out, err);
    for (const HANDLE handle : {in, out, err}) {
        CloseHandle(handle);
    }
    if (child == nullptr) {
        return result;
    }
    if (WaitForSingleObject(child, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
        TerminateProcess(child, 1);
        WaitForSingleObject(child, INFINITE);
    } else {
        result.exitCode = ExitCodeOf(child);
    }
    CloseHandle(child);
    result.out = ReadFile(streams.path() / "out");
    result.err = ReadFile(streams.path() / "err");
    return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv,
                                     const std::map<std::string, std::string>& env)
    : outputFile_(dir_.path() / "output.txt") {
    const HANDLE output = InheritableFile(outputFile_, true);
    const HANDLE none = InheritableFile("NUL", false);
    const HANDLE child = Start(argv, env, none, output, output);
    CloseHandle(output);
    CloseHandle(none);
    if (child != nullptr) {
        pid_ = static_cast<int>(reinterpret_cast<std::intptr_t>(child));
    }
}

BackgroundProcess::~BackgroundProcess() {
    if (pid_ > 0) {
        TerminateProcess(ProcessOf(pid_), 1);
        WaitForSingleObject(ProcessOf(pid_), INFINITE);
        CloseHandle(ProcessOf(pid_));
    }
}

int BackgroundProcess::WaitForExit(int timeoutMs) {
    if (pid_ <= 0) {
        return exitCode_;
    }
    if (WaitForSingleObject(ProcessOf(pid_), static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
        return -1;
    }
    exitCode_ = ExitCodeOf(ProcessOf(pid_));
    CloseHandle(ProcessOf(pid_));
    pid_ = -1;
    return exitCode_;
}

}  // namespace testing_support
