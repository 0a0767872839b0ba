#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "app/effective_settings.h"
#include "app/settings_location.h"
#include "packer/pack_limits.h"
#include "platform/message_box.h"

namespace cli {

// Image limits asked for on the command line.
struct LimitOptions {
    std::string iniPath;  // settings file to read the limits from; empty: the program's own
    int maxRomKiB = 0;    // 0 = not given
    int maxFiles = 0;     // 0 = not given
};

// Adds --ini FILE, --max-rom KIB, --max-files N to a command. Values outside 1..65536 KiB and
// 1..100000 files (including 0) are usage errors.
void AddLimitOptions(CLI::App& command, LimitOptions& options);

// Limits as the desktop program reads them (its settings file, SettingsPathFor, or --ini),
// then the overrides (same bounds as the settings). Warnings go to `err` as "warning: ...".
// nullopt, with a message on `err`, when an override is out of range.
std::optional<packer::PackLimits> ResolveLimits(const LimitOptions& options, std::ostream& err);

// The settings file used: --ini (made absolute against the current directory; never in the
// user's folder, so a missing folder there is the caller's error), else the program's own by
// the rule of app/settings_location.h (beside the executable when its folder is writable, else
// the user's configuration folder).
app::SettingsLocation SettingsLocationFor(const std::string& iniPath);
// SettingsLocationFor(iniPath).path
std::string SettingsPathFor(const std::string& iniPath);
// The files read for the settings: the --ini file alone, else the program's own with the
// administrator's file under it (app::LayersOf).
std::vector<app::SettingsLayer> SettingsLayersFor(const std::string& iniPath);
// Every setting as the programs use it (app::ReadEffectiveSettings of SettingsLayersFor); a
// file that exists but cannot be used is reported on `err` as "warning: PROBLEM; reading it as
// a missing settings file" (PROBLEM names the file and the reason).
app::EffectiveSettings ReadSettingsFor(const std::string& iniPath, std::ostream& err);
// The warning ReadSettingsFor gives for a file's `problem`, when it is not empty.
void WarnUnusableSettings(const std::string& problem, std::ostream& err);

// Help text of --ini, naming the default the rule gives.
inline constexpr const char* kIniOptionHelp =
    "settings file (default: Vellumix.ini beside the program, or "
    "$XDG_CONFIG_HOME/vellumix/Vellumix.ini, ~/.config/vellumix/ by default, when the "
    "program's folder is not writable)";

// Message boxes of the command-line tool: style 16 (errors) to `err`, others to `out`, one
// line each (the text only; line breaks inside it become spaces). What failed is learnt from
// the value the call returns, never from the texts shown here.
class ConsoleMessageBox : public platform::MessageBoxSink {
  public:
    explicit ConsoleMessageBox(std::ostream& out, std::ostream& err);

    void MessageBox(const std::string& text, const std::string& caption, unsigned style) override;

  private:
    std::ostream& out_;
    std::ostream& err_;
};

}  // namespace cli
