#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/error.h"

namespace platform {

// Where and why TreeWriter::WriteFile failed.
struct TreeWriteError {
    std::size_t segment = 0;  // index of the path segment at which it failed
    std::string reason;       // the system's reason, "not a folder" or "is a folder"
    // When the file was created but not written whole (a full disk): empty when the part
    // written was removed again, else why it could not be.
    bool partial = false;
    std::string removeError;
};

// Writes files below one root folder without ever leaving it.
//
// Paths are given as segments below the root (checked by the caller: no empty, "." or ".."
// segment, no "/"). Folders on the way are created (0755 before the umask) or must already be
// real folders: a symbolic link inside the root is never followed, whether it stands for a
// folder or a file. A file is never opened for writing while it exists: whatever stands at its
// name (a file, a link, a hard link to a file elsewhere, a FIFO) is unlinked first and the file
// is created anew (0644 before the umask), exclusively, so nothing outside the root is written
// through an entry planted inside it.
class TreeWriter {
  public:
    explicit TreeWriter(std::string root) : root_(std::move(root)) {}
    ~TreeWriter();
    TreeWriter(const TreeWriter&) = delete;
    TreeWriter& operator=(const TreeWriter&) = delete;

    // Creates the root with its missing parents (a link given as the root itself is followed)
    // and opens it. Fails with "cannot create folder ROOT: REASON".
    Error Open();

    // Writes `size` bytes from `data` as the file root/segments[0]/.../segments.back(). A file
    // that cannot be written whole is removed, so that no truncated file is left behind.
    bool WriteFile(const std::vector<std::string>& segments, const std::uint8_t* data,
                   std::size_t size, TreeWriteError& error);

  private:
    std::string root_;
    int rootFd_ = -1;
};

}  // namespace platform
