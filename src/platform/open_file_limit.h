#pragma once

namespace platform {

// Raises the process's soft limit on open files to its hard limit (desktops start programs with
// a soft limit of 1024 and a far higher hard one). Returns the soft limit now in force, or -1
// when there is no limit or it cannot be read.
long RaiseOpenFileLimit();

// How many more files (sockets included) the process may open now: the soft limit less the
// descriptors already open. -1 when there is no limit or it cannot be told.
long SpareFileDescriptors();

}  // namespace platform
