#pragma once

#include <string>

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
};

}  // namespace app
