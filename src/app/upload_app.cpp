#include "app/upload_app.h"

#include <utility>

#include "app/settings_file.h"
#include "platform/exe_path.h"
#include "platform/socket_layer.h"

namespace app {

std::string lastFolder;

namespace {

constexpr const char* kSocketsFailedText = "Windows sockets initialization failed.";
constexpr int kKiB = 1024;
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

std::string RangeWarning(const char* key, std::int32_t value, std::int32_t limit, const char* unit,
                         std::int32_t replacement) {
    return std::string(key) + " " + std::to_string(value) + " is outside 1.." +
           std::to_string(limit) + unit + "; using " + std::to_string(replacement);
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

packer::PackLimits ReadLimits(const std::string& iniPath, std::vector<std::string>* warnings) {
    SettingsFile settings(iniPath, kSettingsSection, true);
    packer::PackLimits limits;

    std::int32_t romKiB = settings.ReadInt(kMaxRomKey, 0, kSettingsSection);
    if (romKiB == 0) {
        romKiB = kDefaultMaxRomKiB;
    } else if (romKiB < 0 || romKiB > kMaxRomKiBLimit) {
        if (warnings != nullptr) {
            warnings->push_back(
                RangeWarning(kMaxRomKey, romKiB, kMaxRomKiBLimit, " KiB", kDefaultMaxRomKiB));
        }
        romKiB = kDefaultMaxRomKiB;
    }
    limits.maxRomBytes = romKiB * kKiB;

    std::int32_t fileCount = settings.ReadInt(kMaxFileCountKey, 0, kSettingsSection);
    if (fileCount < 1) {
        fileCount = kDefaultMaxFileCount;
    } else if (fileCount > kMaxFileCountLimit) {
        if (warnings != nullptr) {
            warnings->push_back(RangeWarning(kMaxFileCountKey, fileCount, kMaxFileCountLimit, "",
                                             kDefaultMaxFileCount));
        }
        fileCount = kDefaultMaxFileCount;
    }
    limits.maxFileCount = fileCount;
    return limits;
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
    const auto limits = ReadLimits(SettingsPath(), &limitWarnings);
    maxRomBytes = limits.maxRomBytes;
    maxFileCount = limits.maxFileCount;
}

std::string UploadApp::LoadWebPath() {
    SettingsFile settings(SettingsPath(), kSettingsSection, true);
    return settings.ReadString(kWebPathKey, "", kSettingsSection);
}

void UploadApp::SaveWebPath(const std::string& path) {
    const SettingsLocation location = SettingsFileLocation();
    // A folder that cannot be made fails the write below, which is not reported either.
    (void)PrepareSettingsFolder(location, nullptr);
    SettingsFile settings(location.path, kSettingsSection, true);
    settings.WriteString(kWebPathKey, path, kSettingsSection);
}

std::string UploadApp::SettingsPath() const {
    return SettingsFileLocation().path;
}

SettingsLocation UploadApp::SettingsFileLocation() const {
    return LocateSettings(appFolder, kSettingsFileName, hooks_.settingsLocation);
}

}  // namespace app
