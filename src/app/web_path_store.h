#pragma once

#include <string>

#include "app/profile_file.h"
#include "platform/system_text.h"

namespace app {

// Where the main window keeps the web folder between runs (the settings file in the program;
// an in-memory fake in tests).
class WebPathStore {
  public:
    virtual ~WebPathStore() = default;
    // The stored web folder, empty when none is stored.
    virtual std::string LoadWebPath() = 0;
    // Stores the web folder; a write the platform refuses is not reported.
    virtual void SaveWebPath(const std::string& path) = 0;
    // Whether LoadWebPath would give `path` back whole once saved; a path it would cut (the
    // settings file reads at most 255 characters) is never saved, lest another folder be used
    // at the next start.
    virtual bool KeepsWholePath(const std::string& path) const { return FitsProfileRead(path); }
    // Whether the settings file can hold `path` at all: on Windows it is written in the ANSI
    // code page, which lacks most characters of the world (Greek in a Western European one).
    virtual bool HasStoredForm(const std::string& path) const {
        return platform::StoredTextOf(path).has_value();
    }
};

}  // namespace app
