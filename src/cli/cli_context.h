#pragma once

#include <iostream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "packer/pack_limits.h"
#include "platform/message_box.h"

namespace cli {

// Image limits asked for on the command line.
struct LimitOptions {
    std::string iniPath;  // settings file to read the limits from; empty: the one of the program
    int maxRomKiB = 0;    // 0 = not given
    int maxFiles = 0;     // 0 = not given
};

// Adds --ini FILE, --max-rom KIB, --max-files N to a command. Values outside 1..65536 KiB and
// 1..100000 files (including 0) are usage errors.
void AddLimitOptions(CLI::App& command, LimitOptions& options);

// Limits as the desktop program reads them (the Vellumix.ini beside the executable, or --ini),
// then the overrides (same bounds as the settings). Warnings go to `err` as "warning: ...".
// nullopt, with a message on `err`, when an override is out of range.
std::optional<packer::PackLimits> ResolveLimits(const LimitOptions& options, std::ostream& err);

// Path of the settings file used: --ini (made absolute against the current directory) or
// "<executable folder>/Vellumix.ini".
std::string SettingsPathFor(const std::string& iniPath);

// Message boxes of the command-line tool: style 16 (errors) to stderr, others to stdout, one
// line each (the text only; line breaks inside it become spaces); records every message.
class ConsoleMessageBox : public platform::MessageBoxSink {
  public:
    struct Shown {
        std::string text;
        std::string caption;
        unsigned style = 0;
    };

    explicit ConsoleMessageBox(std::ostream& out = std::cout, std::ostream& err = std::cerr);

    void MessageBox(const std::string& text, const std::string& caption, unsigned style) override;

    // Every message shown so far, oldest first.
    const std::vector<Shown>& Messages() const { return messages_; }

  private:
    std::ostream& out_;
    std::ostream& err_;
    std::vector<Shown> messages_;
};

}  // namespace cli
