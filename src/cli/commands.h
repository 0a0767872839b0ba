#pragma once

#include <CLI/CLI.hpp>

namespace cli {

// Exit codes of every command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
// Standard output was a pipe whose reader had gone: 128 + SIGPIPE, as a shell reports a program
// that SIGPIPE ended.
inline constexpr int kExitBrokenPipe = 141;

// Each adds its sub-commands to the tool; a command's callback stores its exit code in
// `exitCode`.
void AddPackCommands(CLI::App& app, int& exitCode);      // pack, list, extract
void AddSettingsCommand(CLI::App& app, int& exitCode);   // settings get / set
void AddDeviceCommand(CLI::App& app, int& exitCode);     // device (simulator)
void AddLogCommand(CLI::App& app, int& exitCode);        // log (pipe listener)
void AddUploadCommand(CLI::App& app, int& exitCode);     // upload
void AddLedgerCommands(CLI::App& app, int& exitCode);    // history, status

}  // namespace cli
