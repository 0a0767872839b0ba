#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/log_pipe.h"
#include "app/settings_location.h"
#include "app/web_path_store.h"
#include "packer/pack_limits.h"
#include "platform/message_box.h"

namespace app {

// The settings file and its keys; where it lives: settings_location.h.
inline constexpr const char* kSettingsFileName = "Vellumix.ini";
inline constexpr const char* kSettingsSection = "DEFAULT";
inline constexpr const char* kWebPathKey = "web_path";
inline constexpr const char* kMaxRomKey = "max_rom";
inline constexpr const char* kMaxFileCountKey = "max_file_count";

// Limits used when the settings give none, or an unusable one.
inline constexpr std::int32_t kDefaultMaxRomKiB = 192;
inline constexpr std::int32_t kDefaultMaxFileCount = 40;
// Largest limits taken from the settings. Beyond them the buffers sized from the limits could
// not be allocated, or 2 x maxRomBytes would overflow an int32, so larger values are replaced
// by the defaults (with a warning); the command-line overrides share the bounds.
inline constexpr std::int32_t kMaxRomKiBLimit = 65536;
inline constexpr std::int32_t kMaxFileCountLimit = 100000;

// The web folder last loaded from the settings or last chosen in the folder chooser.
extern std::string lastFolder;

// Application name from an executable path: the part after the last backslash, slash or colon,
// cut at its last dot ("C:\\bin\\a.b.exe" -> "a.b", "/usr/bin/vellumix" -> "vellumix"; a dot
// in a folder name cuts nothing: "/opt/v1.2/bin/vellumix" -> "vellumix").
std::string ApplicationNameFromPath(const std::string& executablePath);

// The folder of an executable path, up to and including its last separator; the whole path and
// a separator when it has none.
std::string FolderOfExecutable(const std::string& executablePath);

// Platform queries that start-up makes; tests replace them.
struct StartupHooks {
    std::function<bool()> socketLayerStartup;                    // default: SocketLayerStartup
    std::function<std::optional<std::string>()> executablePath;  // default: ExecutablePath
    // Where the settings file lives (LocateSettings); empty functions: the process's own.
    SettingsLocationProbe settingsLocation;
};

// The one application object: start-up, limits, settings access and the diagnostic pipe.
class UploadApp : public WebPathStore {
  public:
    // `executablePath` stands in for the platform's query in tests; by default the real one.
    explicit UploadApp(std::optional<std::string> executablePath = std::nullopt);
    // Tests: the platform queries replaced (an empty function keeps the platform's own).
    explicit UploadApp(StartupHooks hooks);

    // Start-up in order: socket layer (failing: "Windows sockets initialization failed." with
    // caption = application name, exclamation style, and nothing more), executable path
    // (failing: nothing more, silently), appFolder, LoadLimits, LogPipe::Open, then
    // runMainWindow (the modal life of the program). Always returns false.
    bool InitInstance(platform::MessageBoxSink& messages,
                      const std::function<void(UploadApp&)>& runMainWindow);
    // Releases the log pipe; returns the exit code.
    int ExitInstance();

    // Reads max_rom and max_file_count (section "DEFAULT", ReadEffectiveSettings), each from the
    // first file holding it: the settings file (SettingsFileLocation), then the administrator's
    // file beside the program when the settings file lives elsewhere. A missing or unusable file
    // (a folder, FIFO, device, unreadable or binary) counts as absent. Fallbacks:
    //   - max_rom in KiB: reading as 0 (absent, empty, no leading digits) gives 192; negative or
    //     above kMaxRomKiBLimit gives 192 and a range warning (rangeWarnings);
    //   - max_file_count: below 1 gives 40; above kMaxFileCountLimit gives 40 and a range
    //     warning.
    // Every fallback that `settings show` reports (a limit replaced by its default, a web_path
    // read cut) is noted in limitWarnings.
    void LoadLimits();
    // web_path from the same files; empty when none is stored.
    std::string LoadWebPath() override;
    // Stores web_path, creating the user's settings folder first when the file lives there; a
    // refused write is not reported (the folder is simply not remembered). A path that would be
    // read back cut (KeepsWholePath) is not stored.
    void SaveWebPath(const std::string& path) override;

    packer::PackLimits Limits() const { return {maxRomBytes, maxFileCount}; }
    const std::string& ApplicationName() const { return applicationName; }
    // The settings file by the rule of settings_location.h: "<appFolder>Vellumix.ini" when
    // appFolder is writable, else the user's "vellumix/Vellumix.ini". Decided on every call,
    // as every settings operation is.
    SettingsLocation SettingsFileLocation() const;

    std::string appFolder;              // ends in the platform separator once set
    std::int32_t maxRomBytes = 196608;  // from max_rom x 1024
    std::int32_t maxFileCount = 40;     // from max_file_count
    LogPipe logPipe;
    std::string applicationName;
    // Settings values not used as written (EffectiveSettings::Fallbacks); the window tells the
    // user at start-up.
    std::vector<std::string> limitWarnings;

  private:
    StartupHooks hooks_;
};

}  // namespace app
