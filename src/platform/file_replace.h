#pragma once

#include <string>
#include <string_view>

namespace platform {

// Replaces the whole content of the file at `path`, creating the file when it is missing.
//
// The new content is written to a temporary file in the same folder and renamed over the old
// one, so a crash or a full disk leaves either the old or the new file, never a cut one. An
// existing file keeps its permission bits; a symbolic link is followed and its target
// replaced. A new file gets the permissions the process's umask allows.
//
// Returns false, with the reason in `*error` (when not null), if the file exists but is not
// writable by us, or the folder refuses the temporary file, or a write or the rename fails;
// the old file is then unchanged.
bool ReplaceFileContents(const std::string& path, std::string_view contents, std::string* error);

}  // namespace platform
