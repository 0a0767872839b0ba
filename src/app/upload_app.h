#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/log_pipe.h"
#include "app/web_path_store.h"
#include "packer/pack_limits.h"
#include "platform/message_box.h"

namespace app {

// The web folder last loaded from the settings or last chosen in the folder chooser.
extern std::string lastFolder;

// Application name from an executable path: cut at the last dot, keep what follows the last
// backslash, slash or colon ("C:\\bin\\a.b.exe" -> "a.b", "/usr/bin/vellumix" -> "vellumix").
std::string ApplicationNameFromPath(const std::string& executablePath);

// The one application object: start-up, limits, settings access and the diagnostic pipe.
class UploadApp : public WebPathStore {
public:
    // `executablePath` stands in for the platform's query in tests; by default the real one.
    explicit UploadApp(std::optional<std::string> executablePath = std::nullopt);

    // Start-up in order: socket layer, appFolder, LoadLimits, LogPipe::Open, then
    // runMainWindow (the modal life of the program). Always returns false.
    bool InitInstance(platform::MessageBoxSink& messages,
                      const std::function<void(UploadApp&)>& runMainWindow);
    // Releases the log pipe; returns the exit code.
    int ExitInstance();

    // Reads max_rom and max_file_count from "<appFolder>Vellumix.ini", section "DEFAULT".
    void LoadLimits();
    std::string LoadWebPath() override;
    void SaveWebPath(const std::string& path) override;

    packer::PackLimits Limits() const { return {maxRomBytes, maxFileCount}; }
    const std::string& ApplicationName() const { return applicationName; }
    // "<appFolder>Vellumix.ini"
    std::string SettingsPath() const;

    std::string appFolder;             // ends in the platform separator once set
    std::int32_t maxRomBytes = 196608; // from max_rom x 1024
    std::int32_t maxFileCount = 40;    // from max_file_count
    LogPipe logPipe;
    std::string applicationName;
    // Settings values that were out of the supported range and replaced by their defaults;
    // the hosts tell the user.
    std::vector<std::string> limitWarnings;

private:
    std::optional<std::string> executablePath_;
};

}  // namespace app
