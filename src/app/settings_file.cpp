#include "app/settings_file.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "app/upload_app.h"
#include "platform/exe_path.h"
#include "platform/system_text.h"

namespace app {

namespace {

constexpr char kSeparator = platform::kPathSeparator;

// Folder part of a path, ending in the separator; empty when the path has none.
std::string FolderOf(const std::string& path) {
    const auto slash = platform::LastPathSeparator(path);
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// File name without its folder and without the extension (from its last dot).
std::string StemOf(const std::string& path) {
    const auto slash = platform::LastPathSeparator(path);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const auto dot = name.rfind('.');
    if (dot != std::string::npos) {
        name.erase(dot);
    }
    return name;
}

// The current directory without trailing separators, then one separator.
std::string CurrentDirectoryFolder(std::string directory) {
    while (!directory.empty() && platform::IsPathSeparator(directory.back())) {
        directory.pop_back();
    }
    return directory + kSeparator;
}

bool IsComplete(const std::string& fileName) {
    return platform::IsAbsolutePath(fileName);
}

}  // namespace

SettingsEnvironment SettingsEnvironment::FromProcess() {
    SettingsEnvironment environment;
    environment.executablePath = platform::ExecutablePath();
    std::error_code error;
    environment.currentDirectory = platform::PathText(std::filesystem::current_path(error));
    return environment;
}

SettingsFile::SettingsFile(std::string name, std::string sectionName, bool moduleFolder)
    : SettingsFile(std::move(name), std::move(sectionName), moduleFolder,
                   SettingsEnvironment::FromProcess()) {}

SettingsFile::SettingsFile(std::string name, std::string sectionName, bool moduleFolder,
                           const SettingsEnvironment& environment)
    : useModuleFolder(moduleFolder), fileName(std::move(name)), section(std::move(sectionName)) {
    const std::string executable = environment.executablePath.value_or(std::string());
    const std::string folder = useModuleFolder
                                   ? FolderOf(executable)
                                   : CurrentDirectoryFolder(environment.currentDirectory);
    if (fileName.empty()) {
        fileName = folder + StemOf(executable) + ".ini";
    }
    if (!IsComplete(fileName)) {
        fileName = folder + fileName;
    }
    if (section.empty()) {
        section = ApplicationNameFromPath(executable);
    }
}

std::string_view SettingsFile::ReadValue(const std::string& key, const char* sectionName,
                                         const char* defaultValue) {
    if (sectionName != nullptr) {
        section = sectionName;
    }
    const std::string value =
        ReadProfileString(section, key, defaultValue != nullptr ? defaultValue : "", fileName);
    const std::size_t length = std::min(value.size(), valueBuffer.size() - 1);
    std::copy_n(value.data(), length, valueBuffer.data());
    valueBuffer[length] = '\0';
    return std::string_view(valueBuffer.data(), length);
}

std::string SettingsFile::ReadString(const std::string& key, const char* defaultValue,
                                     const char* sectionName) {
    return std::string(ReadValue(key, sectionName, defaultValue != nullptr ? defaultValue : ""));
}

std::int32_t SettingsFile::ReadInt(const std::string& key, std::int32_t defaultValue,
                                   const char* sectionName) {
    const std::string defaultText = std::to_string(defaultValue);
    return ParseProfileInt(ReadValue(key, sectionName, defaultText.c_str()));
}

void SettingsFile::WriteString(const std::string& key, const std::string& value,
                               const char* sectionName) {
    (void)TryWriteString(key, value, sectionName);
}

ProfileWriteResult SettingsFile::TryWriteString(const std::string& key, const std::string& value,
                                                const char* sectionName) {
    if (sectionName != nullptr) {
        section = sectionName;
    }
    return WriteProfileString(section, key, value, fileName);
}

}  // namespace app
