#pragma once

#include <string>
#include <string_view>

#include "platform/error.h"

namespace platform {

// Replaces the whole content of the file at `path`, creating the file when it is missing.
//
// The new content is written to a temporary file in the same folder and renamed over the old
// one, so a crash or a full disk leaves either the old or the new file, never a cut one. An
// existing file keeps its permission bits, and its owner and group as far as the process may
// give them (root keeps both, another user keeps a group it belongs to); a symbolic link is
// followed and its target replaced. A new file gets the permissions the process's umask allows.
//
// Fails, with the system's error number and the reason, if the file exists but is not a regular
// file ("cannot write PATH: not a regular file (KIND)", nothing is replaced) or is not writable
// by us, or the folder refuses the temporary file, or a write or the rename fails; the old file
// is then unchanged.
Error ReplaceFileContents(const std::string& path, std::string_view contents);

// The file that ReplaceFileContents(path, ...) replaces: the end of a chain of symbolic links,
// else `path` itself.
std::string ReplacedFile(const std::string& path);

// Writes `contents` to an output the user named, keeping what the path is:
//   "-"                                  standard output;
//   "/dev/stdout", "/dev/fd/N",          written through that open descriptor (keeping a
//   "/proc/self/fd/N"                    redirection's offset and append mode);
//   a regular file, or a missing one     replaced atomically (ReplaceFileContents);
//   a symbolic link                      the file it leads to is replaced, the link stays;
//   a character device or a FIFO         written as a stream, nothing replaced (a FIFO waits
//                                        for its reader, as a shell redirection does);
//   a folder, socket or block device     refused ("cannot write PATH: Is a directory",
//                                        "cannot write PATH: not a file, character device or
//                                        FIFO (KIND)").
// A failure carries the whole message.
Error WriteOutputFile(const std::string& path, std::string_view contents);

// Checks, before the contents exist, that WriteOutputFile(path, ...) can succeed: the same
// refusals, and write permission on the file or device and on the folder a replacement is
// created in. A full disk or a failing device can still fail the write itself.
Error CheckOutputFile(const std::string& path);

// True when `path` is "-" or names what standard output is (the same file, pipe or device, as
// "/dev/stdout" or "/proc/self/fd/1" do), so that a caller can keep its other output off it.
bool IsStandardOutput(const std::string& path);

}  // namespace platform
