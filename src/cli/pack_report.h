#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/command_context.h"
#include "packer/build_report.h"
#include "packer/pack_limits.h"
#include "transfer/upload_sequencer.h"

namespace cli {

// Adds --exclude PATTERN (repeatable) and --strict to a command that builds an image. A pattern
// that cannot match is warned about on `err` as it is parsed.
void AddBuildOptions(CLI::App& command, packer::BuildOptions& build, std::ostream& err);

// Builds the image of `folder` with the desktop program's builder and prints what it holds on
// the context's output, before anything is written: one line per stored file (image name,
// offset, size), the files and folders left out and why (excluded ones with -v only), entries
// used of N, bytes used of R with the share, the SHA-256 of the image bytes, the estimated
// upload time and how many were left out. -q prints nothing but errors. With `json` the same
// goes out as JSON Lines (schema 1): a "file" event per stored file, a "left_out" event per
// entry left out, then "result", also when the build fails. The builder's messages go to the
// context's errors, followed on failure by a line "vellumix-cli: CAUSE" when the build knows
// more. The image bytes (usedLength of them, or all R with `full`) are stored in `imageOut` when
// given. `build` selects files (--exclude) and refuses a build with anything left out
// (--strict). Returns kExitOk, or kExitFailure when the build failed (its message already on the
// errors). The upload time is estimated at `paceMs`.
int RunPackReport(const std::string& folder, const packer::PackLimits& limits, bool json,
                  const CommandContext& context, std::vector<std::uint8_t>* imageOut,
                  bool full = false, const packer::BuildOptions& build = {},
                  int paceMs = transfer::kTimerPeriodMs);

// Prints to the context's errors what an upload's build left out, one line "vellumix-cli: left
// out: NAME (REASON)" each: the files and folders that could not be packed, and with -v also the
// empty and excluded files; nothing with -q.
void PrintLeftOutWarnings(const packer::BuildReport& report, const CommandContext& context);

// The window's builder makes an image of a folder whose files are all empty: a directory with no
// file, which a device takes as the order to serve nothing. The command-line tool refuses it
// (as list and upload refuse such an image): true, with the cause in `report`, when no file was
// stored.
bool RefusedForNoFile(const std::string& folder, packer::BuildReport& report);

// Prints the line explaining a failed build ("vellumix-cli: CAUSE") when the report has one.
void PrintBuildCause(const packer::BuildReport& report, std::ostream& err);

// Best time of an upload of `imageLength` bytes: one timer tick per frame and one more that
// finds the queue empty, at `paceMs` a tick.
std::int64_t EstimatedUploadMs(std::int64_t imageLength, int paceMs = transfer::kTimerPeriodMs);

}  // namespace cli
