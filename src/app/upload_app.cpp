#include "app/upload_app.h"

#include <utility>

#include "app/effective_settings.h"
#include "app/settings_file.h"
#include "platform/exe_path.h"
#include "platform/socket_calls.h"

namespace app {

std::string lastFolder;

namespace {

constexpr const char* kSocketsFailedText = "Windows sockets initialization failed.";
constexpr int kExitCode = 0;

StartupHooks WithPlatformDefaults(StartupHooks hooks) {
    if (!hooks.socketLayerStartup) {
        hooks.socketLayerStartup = platform::SocketLayerStartup;
    }
    if (!hooks.executablePath) {
        hooks.executablePath = platform::ExecutablePath;
    }
    hooks.settingsLocation = WithProcessDefaults(std::move(hooks.settingsLocation));
    return hooks;
}

StartupHooks HooksFor(std::optional<std::string> executablePath) {
    StartupHooks hooks;
    if (executablePath) {
        hooks.executablePath = [path = std::move(*executablePath)] {
            return std::optional<std::string>(path);
        };
    }
    return hooks;
}

}  // namespace

std::string ApplicationNameFromPath(const std::string& executablePath) {
    const auto separator = executablePath.find_last_of("\\/:");
    std::string name =
        separator == std::string::npos ? executablePath : executablePath.substr(separator + 1);
    const auto dot = name.rfind('.');
    if (dot != std::string::npos) {
        name.erase(dot);
    }
    return name;
}

std::string FolderOfExecutable(const std::string& executablePath) {
    const auto separator = platform::LastPathSeparator(executablePath);
    if (separator == std::string::npos) {
        return executablePath + platform::kPathSeparator;
    }
    return executablePath.substr(0, separator + 1);
}

UploadApp::UploadApp(std::optional<std::string> executablePath)
    : UploadApp(HooksFor(std::move(executablePath))) {}

UploadApp::UploadApp(StartupHooks hooks) : hooks_(WithPlatformDefaults(std::move(hooks))) {
    // The name is fixed before start-up runs: the socket error box already carries it.
    applicationName = ApplicationNameFromPath(hooks_.executablePath().value_or(std::string()));
}

bool UploadApp::InitInstance(platform::MessageBoxSink& messages,
                             const std::function<void(UploadApp&)>& runMainWindow) {
    if (!hooks_.socketLayerStartup()) {
        messages.MessageBox(kSocketsFailedText, applicationName, platform::kMbIconExclamation);
        return false;
    }
    const auto executablePath = hooks_.executablePath();
    if (!executablePath) {
        return false;
    }
    appFolder = FolderOfExecutable(*executablePath);
    LoadLimits();
    (void)logPipe.Open();
    if (runMainWindow) {
        runMainWindow(*this);
    }
    return false;
}

int UploadApp::ExitInstance() {
    logPipe.Close();
    return kExitCode;
}

void UploadApp::LoadLimits() {
    auto effective = ReadEffectiveSettings(LayersOf(SettingsFileLocation()));
    maxRomBytes = effective.limits.maxRomBytes;
    maxFileCount = effective.limits.maxFileCount;
    const auto fallbacks = effective.Fallbacks();
    limitWarnings.insert(limitWarnings.end(), fallbacks.begin(), fallbacks.end());
}

std::string UploadApp::LoadWebPath() {
    return ReadEffectiveSettings(LayersOf(SettingsFileLocation())).webPath.value;
}

void UploadApp::SaveWebPath(const std::string& path) {
    if (!HasStoredForm(path) || !KeepsWholePath(path)) {
        return;  // it would be read back cut or changed: another folder
    }
    const SettingsLocation location = SettingsFileLocation();
    // A folder that cannot be made fails the write below, which is not reported either.
    (void)PrepareSettingsFolder(location);
    SettingsFile settings(location.path, kSettingsSection, true);
    settings.WriteString(kWebPathKey, path, kSettingsSection);
}

SettingsLocation UploadApp::SettingsFileLocation() const {
    return LocateSettings(appFolder, kSettingsFileName, hooks_.settingsLocation);
}

}  // namespace app
