#pragma once

#include <string>
#include <vector>

#include "app/settings_location.h"
#include "packer/pack_limits.h"

namespace app {

// Where a settings value came from.
enum class SettingsOrigin {
    kDefault,    // no file holds the key
    kUserFile,   // the file writes go to (beside the program when its folder is writable)
    kAdminFile,  // the file beside a program whose folder is not writable
    kIniFile,    // a file named on the command line
};

// "default", "user's file", "admin file", "--ini file".
const char* OriginName(SettingsOrigin origin);

// One settings file to read; earlier files override later ones key by key.
struct SettingsLayer {
    std::string path;
    SettingsOrigin origin = SettingsOrigin::kUserFile;
};

// The files both programs read for `location`: its file (where writes go), then the
// administrator's file beside the program when that is another one.
std::vector<SettingsLayer> LayersOf(const SettingsLocation& location);

// A settings file as the read found it.
struct SettingsFileState {
    SettingsLayer layer;
    bool missing = false;
    std::string problem;  // why an existing file was read as missing (ReadProfileFile)
};

// One setting as the programs use it.
struct EffectiveSetting {
    const char* key = "";
    std::string value;                                 // as used: bytes, files or the folder
    SettingsOrigin origin = SettingsOrigin::kDefault;  // where the text read came from
    std::string file;                                  // that file; empty for the default
    std::string read;                                  // the text read from it
    std::string fallback;  // why the value differs from what was read; empty when it does not
};

// Every setting of section "DEFAULT" as both programs use it.
struct EffectiveSettings {
    std::vector<SettingsFileState> files;  // the layers, in order
    EffectiveSetting maxRom;               // value: maxRomBytes
    EffectiveSetting maxFileCount;         // value: maxFileCount
    EffectiveSetting webPath;
    packer::PackLimits limits;
    // The fallbacks of limits outside their supported range (the ones vellumix-cli warns of),
    // as "max_rom 70000 is outside 1..65536 KiB; using 192".
    std::vector<std::string> rangeWarnings;

    // Every fallback of the settings above, in their order (the window tells them at start-up).
    std::vector<std::string> Fallbacks() const;
};

// Reads each layer once (an unusable file reads as missing) and takes each key from the first
// layer that has it; the limits then fall back as UploadApp::LoadLimits describes.
EffectiveSettings ReadEffectiveSettings(const std::vector<SettingsLayer>& layers);

}  // namespace app
