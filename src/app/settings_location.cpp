#include "app/settings_location.h"

#include <cstdlib>
#include <filesystem>
#include <utility>

#include "platform/user_folders.h"

namespace app {

namespace {

std::optional<std::string> ProcessEnvironmentVariable(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

// The user's configuration folder (without the program's own folder below it), or nothing.
std::optional<std::filesystem::path> ConfigHome(const SettingsLocationProbe& probe) {
    const auto configured = probe.environmentVariable(kConfigHomeVariable);
    if (configured && std::filesystem::path(*configured).is_absolute()) {
        return std::filesystem::path(*configured);
    }
    const auto home = probe.homeFolder();
    if (home && !home->empty()) {
        return std::filesystem::path(*home) / kDefaultConfigHomeBelowHome;
    }
    return std::nullopt;
}

}  // namespace

SettingsLocationProbe WithProcessDefaults(SettingsLocationProbe probe) {
    if (!probe.isWritableFolder) {
        probe.isWritableFolder = platform::IsWritableFolder;
    }
    if (!probe.environmentVariable) {
        probe.environmentVariable = ProcessEnvironmentVariable;
    }
    if (!probe.homeFolder) {
        probe.homeFolder = platform::HomeFolder;
    }
    return probe;
}

SettingsLocation LocateSettings(const std::string& executableFolder,
                                const std::string& settingsFileName,
                                const SettingsLocationProbe& probe) {
    const SettingsLocationProbe facts = WithProcessDefaults(probe);
    const SettingsLocation besideExecutable{executableFolder + settingsFileName, false, {}};
    if (facts.isWritableFolder(executableFolder)) {
        return besideExecutable;
    }
    const auto configHome = ConfigHome(facts);
    if (!configHome) {
        return besideExecutable;
    }
    const auto file = *configHome / kUserSettingsFolderName / settingsFileName;
    return {file.lexically_normal().string(), true, besideExecutable.path};
}

bool PrepareSettingsFolder(const SettingsLocation& location, std::string* error) {
    if (!location.inUserFolder) {
        return true;
    }
    return platform::CreatePrivateFolders(
        std::filesystem::path(location.path).parent_path().string(), error);
}

}  // namespace app
