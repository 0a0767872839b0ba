#include "app/settings_location.h"

#include <filesystem>
#include <utility>

#include "platform/system_text.h"
#include "platform/user_folders.h"

namespace app {

namespace {

std::optional<std::string> ProcessEnvironmentVariable(const std::string& name) {
    return platform::EnvironmentVariable(name.c_str());
}

// The user's configuration folder (without the program's own folder below it), or nothing.
std::optional<std::filesystem::path> ConfigHome(const SettingsLocationProbe& probe) {
    const auto configured = probe.environmentVariable(kConfigHomeVariable);
    if (configured && platform::FileSystemPath(*configured).is_absolute()) {
        return platform::FileSystemPath(*configured);
    }
    const auto home = probe.homeFolder();
    if (home && !home->empty()) {
        return platform::FileSystemPath(*home) / kDefaultConfigHomeBelowHome;
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
    return {platform::PathText(file.lexically_normal()), true, besideExecutable.path};
}

platform::Error PrepareSettingsFolder(const SettingsLocation& location) {
    if (!location.inUserFolder) {
        return {};
    }
    return platform::CreatePrivateFolders(
        platform::PathText(platform::FileSystemPath(location.path).parent_path()));
}

}  // namespace app
