#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/user_folders.h"

namespace app {

// Where the settings file lives.
//
// The program keeps "Vellumix.ini" beside its executable, so a copy unpacked anywhere carries
// its own settings. Installed system-wide (/usr/bin is not ours to write), it uses the user's
// configuration folder instead. One rule, for reading and writing alike:
//   1. the executable's folder is writable  -> "<executable folder>Vellumix.ini";
//   2. else $XDG_CONFIG_HOME is set to an absolute path
//                                          -> "$XDG_CONFIG_HOME/vellumix/Vellumix.ini";
//   3. else the home folder is known       -> "<home>/.config/vellumix/Vellumix.ini";
//   4. else (nowhere better)               -> "<executable folder>Vellumix.ini".
// A relative $XDG_CONFIG_HOME is ignored, as the base directory rules ask. In cases 2 and 3
// the folder is created (owner-only rights) when the file is written, not when it is read: a
// user who never saves a setting gets no folder. In cases 2 and 3 a file beside the executable
// is still read, under the user's file (see SettingsLocation::adminPath).

// On Windows the same rule reads %APPDATA% for $XDG_CONFIG_HOME and the profile's
// "AppData\Roaming" for "~/.config", giving "%APPDATA%\Vellumix\Vellumix.ini"; the names come
// from the platform layer.
inline constexpr const char* const& kUserSettingsFolderName = platform::kProgramConfigFolderName;
inline constexpr const char* const& kConfigHomeVariable = platform::kConfigHomeVariable;
inline constexpr const char* const& kDefaultConfigHomeBelowHome = platform::kConfigHomeBelowHome;

// The process facts the rule looks at; tests replace them (an empty function keeps the
// process's own, see WithProcessDefaults).
struct SettingsLocationProbe {
    // Whether files can be created in a folder (default: platform::IsWritableFolder).
    std::function<bool(const std::string& folder)> isWritableFolder;
    // An environment variable, nothing when unset (default: std::getenv).
    std::function<std::optional<std::string>(const std::string& name)> environmentVariable;
    // The user's home folder (default: platform::HomeFolder).
    std::function<std::optional<std::string>()> homeFolder;
};

// `probe` with its empty functions replaced by the process's own.
SettingsLocationProbe WithProcessDefaults(SettingsLocationProbe probe);

struct SettingsLocation {
    std::string path;           // full name of the settings file
    bool inUserFolder = false;  // cases 2 and 3: its folder may still have to be created
    // Cases 2 and 3: "<executable folder>Vellumix.ini", which an administrator may have placed
    // beside a program installed where users cannot write. It is read under `path` (a key in
    // `path` wins), never written. Empty in cases 1 and 4.
    std::string adminPath;
};

// The settings file for an executable in `executableFolder` (ending in a separator, as
// UploadApp::appFolder does), by the rule above. `settingsFileName` is the file's own name.
// Empty functions of `probe` are the process's own.
SettingsLocation LocateSettings(const std::string& executableFolder,
                                const std::string& settingsFileName,
                                const SettingsLocationProbe& probe);

// Makes sure the folder of `location` exists before a write: creates it for a file in the
// user's folder; nothing to do beside the executable. Fails when the folder cannot be created.
platform::Error PrepareSettingsFolder(const SettingsLocation& location);

}  // namespace app
