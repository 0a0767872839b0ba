#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/profile_file.h"

namespace app {

// What a SettingsFile needs to know about the process to complete its file name and section.
struct SettingsEnvironment {
    // Full path of the executable; nothing when the platform cannot tell (its folder and name
    // then count as empty).
    std::optional<std::string> executablePath;
    // The current directory.
    std::string currentDirectory;

    // The running process's values.
    static SettingsEnvironment FromProcess();
};

// One settings file of the INI kind and a current section; every read and write goes through
// the file itself (nothing is cached). Objects live for one settings operation.
class SettingsFile {
  public:
    // A read's characters in internal text: on Windows UTF-8, up to three bytes each.
    static constexpr std::size_t kValueBufferSize = 3 * kProfileValueMax + 1;

    // Completes the arguments:
    //   - an empty `name` becomes "<folder><executable name without extension>.ini";
    //   - a name that does not start with '/' is taken as relative and prefixed with the folder
    //     (a complete, absolute name on this platform is one starting with '/'; a leading
    //     drive such as "C:" means nothing here);
    //   - the folder is the executable's folder with `useModuleFolder`, else the current
    //     directory; it ends in '/';
    //   - an empty `sectionName` becomes the application name (ApplicationNameFromPath).
    explicit SettingsFile(std::string name, std::string sectionName, bool moduleFolder);
    // As above, with the process facts given (tests).
    explicit SettingsFile(std::string name, std::string sectionName, bool moduleFolder,
                          const SettingsEnvironment& environment);
    virtual ~SettingsFile() = default;

    // The value of `key` (or `defaultValue`, empty when null, if the file, section or key is
    // missing), cut to 255 characters. A non-null `sectionName` replaces the object's section for
    // this and all later calls. The view points into valueBuffer: valid until the next read on
    // the same object.
    std::string_view ReadValue(const std::string& key, const char* sectionName = nullptr,
                               const char* defaultValue = nullptr);
    // ReadValue as a new string. Note the order: default before section.
    std::string ReadString(const std::string& key, const char* defaultValue = nullptr,
                           const char* sectionName = nullptr);
    // The value read as atoi does (ParseProfileInt); a missing key gives `defaultValue`, a value
    // without leading digits gives 0.
    std::int32_t ReadInt(const std::string& key, std::int32_t defaultValue,
                         const char* sectionName = nullptr);
    // Sets `key` to `value` in the file (see SetProfileValue). A refused write is not reported.
    void WriteString(const std::string& key, const std::string& value,
                     const char* sectionName = nullptr);
    // WriteString, keeping the outcome for callers that do report it.
    ProfileWriteResult TryWriteString(const std::string& key, const std::string& value,
                                      const char* sectionName = nullptr);

    bool useModuleFolder = false;
    // Value of the most recent read, zero-terminated.
    std::array<char, kValueBufferSize> valueBuffer{};
    std::string fileName;
    std::string section;
};

}  // namespace app
