#include <charconv>
#include <iostream>
#include <memory>
#include <string>

#include "app/settings_file.h"
#include "app/settings_location.h"
#include "app/upload_app.h"
#include "cli/cli_context.h"
#include "cli/commands.h"

namespace cli {

namespace {

struct SettingsOptions {
    std::string iniPath;
    std::string section = app::kSettingsSection;
    std::string key;
    std::string value;
    std::string defaultText;
    bool defaultGiven = false;
    bool asInt = false;
};

void AddFileOptions(CLI::App& command, SettingsOptions& options) {
    command.add_option("--ini", options.iniPath, kIniOptionHelp)->type_name("FILE");
    command.add_option("--section", options.section, "section of the key")->capture_default_str();
}

// The whole of `text` as a decimal int32; nothing when it is not exactly one.
std::optional<std::int32_t> StrictInt(const std::string& text) {
    std::int32_t number = 0;
    const auto* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, number);
    if (error != std::errc() || stop != end || text.empty()) {
        return std::nullopt;
    }
    return number;
}

int RunGet(const SettingsOptions& options) {
    app::SettingsFile settings(SettingsPathFor(options.iniPath), options.section, true);
    if (options.asInt) {
        std::int32_t fallback = 0;
        if (options.defaultGiven) {
            const auto parsed = StrictInt(options.defaultText);
            if (!parsed) {
                std::cerr << "--default must be a decimal integer with --int\n";
                return kExitUsage;
            }
            fallback = *parsed;
        }
        std::cout << settings.ReadInt(options.key, fallback) << "\n";
        return kExitOk;
    }
    const std::string value =
        settings.ReadString(options.key, options.defaultGiven ? options.defaultText.c_str() : "");
    std::cout.write(value.data(), static_cast<std::streamsize>(value.size()));
    std::cout << "\n";
    return kExitOk;
}

int RunSet(const SettingsOptions& options) {
    const app::SettingsLocation location = SettingsLocationFor(options.iniPath);
    std::string folderError;
    if (!app::PrepareSettingsFolder(location, &folderError)) {
        std::cerr << "cannot store " << options.key << " in " << location.path << ": "
                  << folderError << "\n";
        return kExitFailure;
    }
    app::SettingsFile settings(location.path, options.section, true);
    const auto result = settings.TryWriteString(options.key, options.value);
    if (!result.ok) {
        std::cerr << "cannot store " << options.key << " in " << settings.fileName << ": "
                  << result.error << "\n";
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace

void AddSettingsCommand(CLI::App& app, int& exitCode) {
    auto* settings = app.add_subcommand(
        "settings", "read or write one value of the settings file, or print where it is");
    settings->require_subcommand(1);

    auto getOptions = std::make_shared<SettingsOptions>();
    auto* get = settings->add_subcommand(
        "get", "print a value as the program reads it (missing: the default, or empty)");
    get->add_option("KEY", getOptions->key, "key name")->required();
    auto* defaultOption =
        get->add_option("--default", getOptions->defaultText, "value when the key is missing");
    get->add_flag("--int", getOptions->asInt, "read the value as a number (as atoi does)");
    AddFileOptions(*get, *getOptions);
    get->callback([getOptions, defaultOption, &exitCode] {
        getOptions->defaultGiven = defaultOption->count() > 0;
        exitCode = RunGet(*getOptions);
    });

    auto setOptions = std::make_shared<SettingsOptions>();
    auto* set = settings->add_subcommand("set", "store a value, exactly as given");
    set->add_option("KEY", setOptions->key, "key name")->required();
    set->add_option("VALUE", setOptions->value, "value to store")->required();
    AddFileOptions(*set, *setOptions);
    set->callback([setOptions, &exitCode] { exitCode = RunSet(*setOptions); });

    auto pathOptions = std::make_shared<SettingsOptions>();
    auto* path = settings->add_subcommand(
        "path", "print the settings file the program uses (it may not exist yet)");
    path->add_option("--ini", pathOptions->iniPath, kIniOptionHelp)->type_name("FILE");
    path->callback([pathOptions, &exitCode] {
        std::cout << SettingsPathFor(pathOptions->iniPath) << "\n";
        exitCode = kExitOk;
    });
}

}  // namespace cli
