#pragma once

#include <CLI/CLI.hpp>

#include "cli/command_context.h"

namespace cli {

// Exit codes of every command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
// Standard output was a pipe whose reader had gone: 128 + SIGPIPE, as a shell reports a program
// that SIGPIPE ended.
inline constexpr int kExitBrokenPipe = 141;

// Each adds its sub-commands to the tool; a command's callback writes through `context` (which
// must outlive the parse) and stores its exit code in `exitCode`.
// pack, list, extract
void AddPackCommands(CLI::App& app, const CommandContext& context, int& exitCode);
// settings get / set
void AddSettingsCommand(CLI::App& app, const CommandContext& context, int& exitCode);
// device (simulator)
void AddDeviceCommand(CLI::App& app, const CommandContext& context, int& exitCode);
// log (pipe listener)
void AddLogCommand(CLI::App& app, const CommandContext& context, int& exitCode);
// upload
void AddUploadCommand(CLI::App& app, const CommandContext& context, int& exitCode);
// history, status
void AddLedgerCommands(CLI::App& app, const CommandContext& context, int& exitCode);

}  // namespace cli
