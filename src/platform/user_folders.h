#pragma once

#include <optional>
#include <string>

#include "platform/error.h"

namespace platform {

// True when the process may create and replace files in `folder`: it exists, is a folder, we
// have write and search rights on it and its file system is not mounted read-only. A file
// written there goes through a temporary file and a rename, so the folder's rights are what
// count, not those of a file already in it. An empty name is never writable.
bool IsWritableFolder(const std::string& folder);

// The user's home folder: $HOME when it is set and not empty, else the home entry of the
// password database for our user id; nothing when neither tells.
std::optional<std::string> HomeFolder();

// The folder where this program keeps its own data for the user: $XDG_DATA_HOME/vellumix (when
// that is an absolute path) or ~/.local/share/vellumix on POSIX systems, %LOCALAPPDATA%\Vellumix
// on Windows. Not created here; nothing when the system tells no place.
std::optional<std::string> UserDataFolder();

// The names the settings rule (app/settings_location.h) reads for the user's configuration
// folder: the environment variable that names it ("XDG_CONFIG_HOME"; Windows: "APPDATA"), where
// it lies below the home folder when that is unset (".config"; "AppData\Roaming"), and this
// program's folder in it ("vellumix"; "Vellumix").
extern const char* const kConfigHomeVariable;
extern const char* const kConfigHomeBelowHome;
extern const char* const kProgramConfigFolderName;

// The login name of the user running the program, and the computer's name; empty when the
// system does not tell.
std::string UserName();
std::string HostName();

// Creates `folder` and every missing folder above it, each new one with rights for the owner
// only (0700, as configuration folders should have); folders that exist are left as they are.
// Fails when a folder cannot be created (the system's error) or the name exists but is not a
// folder.
Error CreatePrivateFolders(const std::string& folder);

}  // namespace platform
