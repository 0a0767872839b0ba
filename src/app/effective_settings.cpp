#include "app/effective_settings.h"

#include <optional>
#include <utility>

#include "app/profile_file.h"
#include "app/upload_app.h"

namespace app {

namespace {

constexpr int kKiB = 1024;

struct LoadedLayer {
    SettingsLayer layer;
    ProfileFileText file;
};

// The setting `key` from the first layer holding it, its value still the text read.
EffectiveSetting Find(const std::vector<LoadedLayer>& loaded, const char* key) {
    EffectiveSetting setting;
    setting.key = key;
    for (const auto& [layer, file] : loaded) {
        if (!file.text) {
            continue;
        }
        if (auto value = ReadProfileValue(*file.text, kSettingsSection, key)) {
            setting.origin = layer.origin;
            setting.file = layer.path;
            const auto whole = LookUpProfileValue(*file.text, kSettingsSection, key);
            const bool cut = whole && whole->size() > value->size();
            setting.read = InternalValueOf(file, std::move(*value));
            if (cut) {
                setting.fallback = std::string(key) + " is longer than " +
                                   std::to_string(kProfileValueMax) +
                                   " bytes; only its start is read";
            }
            break;
        }
    }
    setting.value = setting.read;
    return setting;
}

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

std::string RangeWarning(const char* key, std::int32_t value, std::int32_t limit, const char* unit,
                         std::int32_t replacement) {
    return std::string(key) + " " + std::to_string(value) + " is outside 1.." +
           std::to_string(limit) + unit + "; using " + std::to_string(replacement);
}

std::int32_t RomKiB(EffectiveSetting& setting, std::vector<std::string>& rangeWarnings) {
    const std::int32_t kib = ParseProfileInt(setting.read);
    if (kib == 0) {
        if (setting.origin != SettingsOrigin::kDefault) {
            setting.fallback = std::string(kMaxRomKey) + " " + Quoted(setting.read) +
                               " reads as 0; using " + std::to_string(kDefaultMaxRomKiB);
        }
        return kDefaultMaxRomKiB;
    }
    if (kib < 0 || kib > kMaxRomKiBLimit) {
        setting.fallback =
            RangeWarning(kMaxRomKey, kib, kMaxRomKiBLimit, " KiB", kDefaultMaxRomKiB);
        rangeWarnings.push_back(setting.fallback);
        return kDefaultMaxRomKiB;
    }
    return kib;
}

std::int32_t FileCount(EffectiveSetting& setting, std::vector<std::string>& rangeWarnings) {
    const std::int32_t count = ParseProfileInt(setting.read);
    if (count < 1) {
        if (setting.origin != SettingsOrigin::kDefault) {
            setting.fallback = std::string(kMaxFileCountKey) + " " + Quoted(setting.read) +
                               " reads below 1; using " + std::to_string(kDefaultMaxFileCount);
        }
        return kDefaultMaxFileCount;
    }
    if (count > kMaxFileCountLimit) {
        setting.fallback =
            RangeWarning(kMaxFileCountKey, count, kMaxFileCountLimit, "", kDefaultMaxFileCount);
        rangeWarnings.push_back(setting.fallback);
        return kDefaultMaxFileCount;
    }
    return count;
}

}  // namespace

const char* OriginName(SettingsOrigin origin) {
    switch (origin) {
        case SettingsOrigin::kUserFile:
            return "user's file";
        case SettingsOrigin::kAdminFile:
            return "admin file";
        case SettingsOrigin::kIniFile:
            return "--ini file";
        case SettingsOrigin::kDefault:
            break;
    }
    return "default";
}

std::vector<SettingsLayer> LayersOf(const SettingsLocation& location) {
    std::vector<SettingsLayer> layers{{location.path, SettingsOrigin::kUserFile}};
    if (!location.adminPath.empty() && location.adminPath != location.path) {
        layers.push_back({location.adminPath, SettingsOrigin::kAdminFile});
    }
    return layers;
}

std::vector<std::string> EffectiveSettings::Fallbacks() const {
    std::vector<std::string> fallbacks;
    for (const EffectiveSetting* setting : {&maxRom, &maxFileCount, &webPath}) {
        if (!setting->fallback.empty()) {
            fallbacks.push_back(setting->fallback);
        }
    }
    return fallbacks;
}

EffectiveSettings ReadEffectiveSettings(const std::vector<SettingsLayer>& layers) {
    EffectiveSettings settings;
    std::vector<LoadedLayer> loaded;
    for (const auto& layer : layers) {
        loaded.push_back({layer, ReadProfileFile(layer.path)});
        const auto& file = loaded.back().file;
        settings.files.push_back({layer, file.missing, file.problem});
    }

    settings.maxRom = Find(loaded, kMaxRomKey);
    settings.limits.maxRomBytes = RomKiB(settings.maxRom, settings.rangeWarnings) * kKiB;
    settings.maxRom.value = std::to_string(settings.limits.maxRomBytes);

    settings.maxFileCount = Find(loaded, kMaxFileCountKey);
    settings.limits.maxFileCount = FileCount(settings.maxFileCount, settings.rangeWarnings);
    settings.maxFileCount.value = std::to_string(settings.limits.maxFileCount);

    settings.webPath = Find(loaded, kWebPathKey);
    return settings;
}

}  // namespace app
