#pragma once

#include <optional>
#include <ostream>
#include <span>

namespace ui {

// The desktop program's own command-line options, answered before any window (or display
// connection) exists, so that help2man and package checks can run it headless:
//   -h, --help   prints the usage text;
//   --version    prints "vellumix <version>".
// Every other argument is left for Qt (-platform NAME, -style NAME, ...); arguments after "--"
// are not looked at.
//
// Returns the exit code when an option was answered on `out` (the program then ends), or
// nothing when the program should start as usual. `argv` is main's, program name first.
std::optional<int> AnswerInformationOption(std::span<char* const> argv, std::ostream& out);

}  // namespace ui
