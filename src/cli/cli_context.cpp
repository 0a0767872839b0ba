#include "cli/cli_context.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "app/upload_app.h"
#include "packer/printable_name.h"
#include "platform/exe_path.h"
#include "platform/system_text.h"

namespace cli {

namespace {

constexpr int kKiB = 1024;

// A message as one output line.
std::string OneLine(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return text;
}

}  // namespace

void AddLimitOptions(CLI::App& command, LimitOptions& options) {
    command
        .add_option("--ini", options.iniPath,
                    std::string(kIniOptionHelp) + "; max_rom and max_file_count are read from it")
        ->type_name("FILE");
    command
        .add_option("--max-rom", options.maxRomKiB,
                    "image capacity in KiB (overrides the settings' max_rom)")
        ->type_name("KIB")
        ->check(CLI::Range(1, static_cast<int>(app::kMaxRomKiBLimit)));
    command
        .add_option("--max-files", options.maxFiles,
                    "directory entries of the image (overrides the settings' max_file_count)")
        ->type_name("N")
        ->check(CLI::Range(1, static_cast<int>(app::kMaxFileCountLimit)));
}

std::optional<packer::PackLimits> ResolveLimits(const LimitOptions& options, std::ostream& err) {
    const std::string path = SettingsPathFor(options.iniPath);
    std::error_code error;
    if (!options.iniPath.empty() &&
        !std::filesystem::exists(platform::FileSystemPath(path), error)) {
        err << "warning: settings file " << path << " not found; using the default limits\n";
    }

    const auto settings = ReadSettingsFor(options.iniPath, err);
    for (const auto& warning : settings.rangeWarnings) {
        err << "warning: " << warning << "\n";
    }
    auto limits = settings.limits;

    if (options.maxRomKiB != 0) {
        if (options.maxRomKiB < 1 || options.maxRomKiB > app::kMaxRomKiBLimit) {
            err << "--max-rom " << options.maxRomKiB << " is outside 1.." << app::kMaxRomKiBLimit
                << " KiB\n";
            return std::nullopt;
        }
        limits.maxRomBytes = options.maxRomKiB * kKiB;
    }
    if (options.maxFiles != 0) {
        if (options.maxFiles < 1 || options.maxFiles > app::kMaxFileCountLimit) {
            err << "--max-files " << options.maxFiles << " is outside 1.."
                << app::kMaxFileCountLimit << "\n";
            return std::nullopt;
        }
        limits.maxFileCount = options.maxFiles;
    }
    return limits;
}

app::SettingsLocation SettingsLocationFor(const std::string& iniPath) {
    if (!iniPath.empty()) {
        std::error_code error;
        const auto absolute = std::filesystem::absolute(platform::FileSystemPath(iniPath), error);
        return {error ? iniPath : platform::PathText(absolute), false, {}};
    }
    const auto executable = platform::ExecutablePath();
    const std::string folder = executable ? app::FolderOfExecutable(*executable) : std::string();
    return app::LocateSettings(folder, app::kSettingsFileName, {});
}

std::string SettingsPathFor(const std::string& iniPath) {
    return SettingsLocationFor(iniPath).path;
}

std::vector<app::SettingsLayer> SettingsLayersFor(const std::string& iniPath) {
    const auto location = SettingsLocationFor(iniPath);
    if (!iniPath.empty()) {
        return {{location.path, app::SettingsOrigin::kIniFile}};
    }
    return app::LayersOf(location);
}

app::EffectiveSettings ReadSettingsFor(const std::string& iniPath, std::ostream& err) {
    auto settings = app::ReadEffectiveSettings(SettingsLayersFor(iniPath));
    for (const auto& file : settings.files) {
        WarnUnusableSettings(file.problem, err);
    }
    return settings;
}

void WarnUnusableSettings(const std::string& problem, std::ostream& err) {
    if (!problem.empty()) {
        err << "warning: " << packer::PrintableName(problem)
            << "; reading it as a missing settings file\n";
    }
}

ConsoleMessageBox::ConsoleMessageBox(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

void ConsoleMessageBox::MessageBox(const std::string& text, const std::string& /*caption*/,
                                   unsigned style) {
    std::ostream& stream = style == platform::kMbIconHand ? err_ : out_;
    stream << OneLine(text) << std::endl;
}

}  // namespace cli
