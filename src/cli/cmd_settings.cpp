#include <QJsonObject>
#include <algorithm>
#include <array>
#include <charconv>
#include <memory>
#include <ostream>
#include <string>
#include <utility>

#include "app/effective_settings.h"
#include "app/profile_file.h"
#include "app/settings_file.h"
#include "app/settings_location.h"
#include "app/upload_app.h"
#include "cli/cli_context.h"
#include "cli/commands.h"
#include "cli/output.h"
#include "packer/printable_name.h"

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
    bool anyKey = false;
    bool json = false;
};

// The keys the programs read in section DEFAULT.
constexpr std::array<const char*, 3> kKnownKeys = {app::kWebPathKey, app::kMaxRomKey,
                                                   app::kMaxFileCountKey};

bool SameName(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

std::string_view Trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Whether the programs read `key` of `section` (names compare as the reader compares them).
bool IsKnownKey(const std::string& section, const std::string& key) {
    if (!SameName(Trimmed(section), app::kSettingsSection)) {
        return true;  // other sections are the user's own
    }
    for (const char* known : kKnownKeys) {
        if (SameName(Trimmed(key), known)) {
            return true;
        }
    }
    return false;
}

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

int RunGet(const SettingsOptions& options, const CommandContext& context) {
    app::SettingsFile settings(SettingsPathFor(options.iniPath), options.section, true);
    WarnUnusableSettings(app::ReadProfileFile(settings.fileName).problem, context.Err());
    if (options.asInt) {
        std::int32_t fallback = 0;
        if (options.defaultGiven) {
            const auto parsed = StrictInt(options.defaultText);
            if (!parsed) {
                context.Err() << "--default must be a decimal integer with --int\n";
                return kExitUsage;
            }
            fallback = *parsed;
        }
        context.Out() << settings.ReadInt(options.key, fallback) << "\n";
        return kExitOk;
    }
    const std::string value =
        settings.ReadString(options.key, options.defaultGiven ? options.defaultText.c_str() : "");
    context.Out().write(value.data(), static_cast<std::streamsize>(value.size()));
    context.Out() << "\n";
    return kExitOk;
}

int RunSet(const SettingsOptions& options, const CommandContext& context) {
    // An empty section would become the program's own name (SettingsFile), so it is refused
    // here with the key, not left to the write.
    for (const auto& [name, text] :
         {std::pair{"section name", &options.section}, std::pair{"key", &options.key}}) {
        if (Trimmed(*text).empty()) {
            context.Err() << "cannot store a value: the " << name << " is empty\n";
            return kExitUsage;
        }
    }
    if (!options.anyKey && !IsKnownKey(options.section, options.key)) {
        context.Err() << "unknown key '" << packer::PrintableName(options.key) << "' in section "
                      << app::kSettingsSection << " (the programs read " << kKnownKeys[0] << ", "
                      << kKnownKeys[1] << ", " << kKnownKeys[2]
                      << "); give --any-key to store it all the same\n";
        return kExitUsage;
    }
    if (!app::FitsProfileRead(options.value)) {
        context.Err() << "cannot store " << packer::PrintableName(options.key) << ": the value is "
                      << options.value.size() << " bytes long and a read returns at most "
                      << app::kProfileValueMax
                      << " bytes (254 when quoted), so it would be read back cut\n";
        return kExitFailure;
    }
    const app::SettingsLocation location = SettingsLocationFor(options.iniPath);
    if (const platform::Error folderError = app::PrepareSettingsFolder(location)) {
        context.Err() << "cannot store " << options.key << " in " << location.path << ": "
                      << folderError.text << "\n";
        return kExitFailure;
    }
    app::SettingsFile settings(location.path, options.section, true);
    const auto result = settings.TryWriteString(options.key, options.value);
    if (!result.ok) {
        context.Err() << "cannot store " << options.key << " in " << settings.fileName << ": "
                      << result.error << "\n";
        return kExitFailure;
    }
    return kExitOk;
}

void PrintSetting(const char* name, const app::EffectiveSetting& setting, std::ostream& out) {
    out << name << ": "
        << (setting.value.empty() ? "(empty)" : packer::PrintableName(setting.value)) << " ("
        << app::OriginName(setting.origin);
    if (setting.origin == app::SettingsOrigin::kDefault) {
        out << ": " << setting.key << " is not set";
    } else {
        out << " " << packer::PrintableName(setting.file) << ": " << setting.key << "="
            << packer::PrintableName(setting.read);
    }
    if (!setting.fallback.empty()) {
        out << "; fallback: " << setting.fallback;
    }
    out << ")\n";
}

// The origin as a JSON value: "default", "user_file", "admin_file", "ini_file".
QString JsonOrigin(app::SettingsOrigin origin) {
    switch (origin) {
        case app::SettingsOrigin::kUserFile:
            return QStringLiteral("user_file");
        case app::SettingsOrigin::kAdminFile:
            return QStringLiteral("admin_file");
        case app::SettingsOrigin::kIniFile:
            return QStringLiteral("ini_file");
        case app::SettingsOrigin::kDefault:
            break;
    }
    return QStringLiteral("default");
}

// "file" per file read, "setting" per setting, then "result".
void PrintShowJson(const app::EffectiveSettings& settings, std::ostream& out) {
    JsonLines json(out);
    for (const auto& file : settings.files) {
        QJsonObject object{{"origin", JsonOrigin(file.layer.origin)}};
        PutName(object, file.layer.path, "path");
        object.insert("state", file.missing           ? "missing"
                               : file.problem.empty() ? "read"
                                                      : "ignored");
        if (!file.problem.empty()) {
            object.insert("reason", QString::fromStdString(file.problem));
        }
        json.Write("file", object);
    }
    // `object` holds the value ("value", and "value_hex" for a path that is not UTF-8).
    const auto put = [&json](const char* name, const app::EffectiveSetting& setting,
                             QJsonObject object) {
        object.insert("name", name);
        object.insert("key", setting.key);
        object.insert("origin", JsonOrigin(setting.origin));
        if (setting.origin != app::SettingsOrigin::kDefault) {
            PutName(object, setting.file, "path");
            PutName(object, setting.read, "read");
        }
        if (!setting.fallback.empty()) {
            object.insert("fallback", QString::fromStdString(setting.fallback));
        }
        json.Write("setting", object);
    };
    put("maxRomBytes", settings.maxRom, {{"value", settings.limits.maxRomBytes}});
    put("maxFileCount", settings.maxFileCount, {{"value", settings.limits.maxFileCount}});
    QJsonObject webPath;
    PutName(webPath, settings.webPath.value, "value");
    put(app::kWebPathKey, settings.webPath, webPath);
    json.Write("result", QJsonObject{{"ok", true}});
}

int RunShow(const SettingsOptions& options, const CommandContext& context) {
    const auto settings = app::ReadEffectiveSettings(SettingsLayersFor(options.iniPath));
    if (options.json) {
        PrintShowJson(settings, context.Out());
        return kExitOk;
    }
    for (const auto& file : settings.files) {
        context.Out() << app::OriginName(file.layer.origin) << ": "
                      << packer::PrintableName(file.layer.path) << " ("
                      << (file.missing           ? "missing"
                          : file.problem.empty() ? "read"
                                                 : "ignored: " + file.problem)
                      << ")\n";
    }
    PrintSetting("maxRomBytes", settings.maxRom, context.Out());
    PrintSetting("maxFileCount", settings.maxFileCount, context.Out());
    PrintSetting(app::kWebPathKey, settings.webPath, context.Out());
    return kExitOk;
}

}  // namespace

void AddSettingsCommand(CLI::App& app, const CommandContext& context, int& exitCode) {
    auto* settings = app.add_subcommand(
        "settings",
        "read or write one value of the settings file, show the settings as the programs use "
        "them, or print where the file is");
    settings->require_subcommand(1);

    auto getOptions = std::make_shared<SettingsOptions>();
    auto* get = settings->add_subcommand(
        "get", "print a value as the program reads it (missing: the default, or empty)");
    get->add_option("KEY", getOptions->key, "key name")->required();
    auto* defaultOption =
        get->add_option("--default", getOptions->defaultText, "value when the key is missing");
    get->add_flag("--int", getOptions->asInt, "read the value as a number (as atoi does)");
    AddFileOptions(*get, *getOptions);
    get->callback([getOptions, defaultOption, &context, &exitCode] {
        getOptions->defaultGiven = defaultOption->count() > 0;
        exitCode = RunGet(*getOptions, context);
    });

    auto setOptions = std::make_shared<SettingsOptions>();
    auto* set = settings->add_subcommand("set", "store a value, exactly as given");
    set->add_option("KEY", setOptions->key, "key name")->required();
    set->add_option("VALUE", setOptions->value, "value to store")->required();
    set->add_flag("--any-key", setOptions->anyKey,
                  "store a key of section DEFAULT that the programs do not read (known: web_path, "
                  "max_rom, max_file_count; otherwise exit 2)");
    AddFileOptions(*set, *setOptions);
    set->callback([setOptions, &context, &exitCode] { exitCode = RunSet(*setOptions, context); });

    auto showOptions = std::make_shared<SettingsOptions>();
    auto* show = settings->add_subcommand(
        "show",
        "print maxRomBytes, maxFileCount and web_path as both programs will use them, the file "
        "each came from (user's file, admin file beside the program, --ini file, or default) "
        "and every fallback with its reason");
    show->add_option("--ini", showOptions->iniPath, kIniOptionHelp)->type_name("FILE");
    show->add_flag("--json", showOptions->json,
                   "print JSON Lines: a \"file\" event per file read, a \"setting\" event per "
                   "setting, then \"result\"");
    show->callback(
        [showOptions, &context, &exitCode] { exitCode = RunShow(*showOptions, context); });

    auto pathOptions = std::make_shared<SettingsOptions>();
    auto* path = settings->add_subcommand(
        "path", "print the settings file the program uses (it may not exist yet)");
    path->add_option("--ini", pathOptions->iniPath, kIniOptionHelp)->type_name("FILE");
    path->callback([pathOptions, &context, &exitCode] {
        context.Out() << SettingsPathFor(pathOptions->iniPath) << "\n";
        exitCode = kExitOk;
    });
}

}  // namespace cli
