#pragma once

#include <memory>
#include <string>

#include "platform/error.h"

namespace platform {

// Tells that something below a folder changed: a file or folder made, written, renamed or
// removed, at any depth (inotify on Linux, one watch per folder, added as folders appear;
// ReadDirectoryChangesW over the whole tree on Windows). It says only that, not what: the
// caller looks at the folder again. Folders reached through links are not watched.
class FolderWatch {
  public:
    enum class State {
        kQuiet,    // nothing changed within the wait
        kChanged,  // something changed (events that came together are taken at once)
        kGone,     // the folder itself was removed or renamed
    };

    FolderWatch();
    ~FolderWatch();
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    // Starts watching `folder` and everything below it.
    platform::Error Start(const std::string& folder);
    // Waits at most `timeoutMs` (0: only looks) for a change; fails when the system stopped
    // telling.
    Result<State> Wait(int timeoutMs);

  private:
    struct System;
    std::unique_ptr<System> system_;
};

}  // namespace platform
