#include "platform/file_read.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <io.h>
#include <windows.h>

#include "platform/file_io.h"

namespace platform {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;

std::string TooLarge(const std::string& label, std::size_t maxBytes) {
    return label + ": larger than " + std::to_string(maxBytes) + " bytes";
}

bool ReadToEnd(int fd, const std::string& label, std::size_t maxBytes,
               std::vector<std::uint8_t>& bytes, std::string& error) {
    std::size_t total = 0;
    while (true) {
        // One byte past the bound tells a file of exactly maxBytes from a larger one.
        const std::size_t room = std::min(kReadChunk, maxBytes + 1 - total);
        bytes.resize(total + room);
        const long got = ReadSome(fd, bytes.data() + total, room);
        if (got < 0) {
            error = "cannot read " + label + ": " + LastFileErrorText();
            bytes.clear();
            return false;
        }
        total += static_cast<std::size_t>(got);
        if (total > maxBytes) {
            error = TooLarge(label, maxBytes);
            bytes.clear();
            return false;
        }
        if (got == 0) {
            bytes.resize(total);
            return true;
        }
    }
}

}  // namespace

// Windows folders hold no FIFOs, sockets or device nodes: what is not a folder is a file.
bool ReadRegularFile(const std::string& path, std::size_t maxBytes,
                     std::vector<std::uint8_t>& bytes, std::string& error) {
    bytes.clear();
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        error = "cannot open " + path + ": " + std::strerror(EISDIR);
        return false;
    }
    const int fd = OpenForRead(path);
    if (fd < 0) {
        error = "cannot open " + path + ": " + LastFileErrorText();
        return false;
    }
    bool ok = false;
    if (const auto size = RegularFileSize(fd); !size) {
        error = path + ": not a regular file (device)";
    } else if (*size > maxBytes) {
        error = TooLarge(path, maxBytes);
    } else {
        ok = ReadToEnd(fd, path, maxBytes, bytes, error);
    }
    CloseFile(fd);
    return ok;
}

bool ReadStandardInput(std::size_t maxBytes, std::vector<std::uint8_t>& bytes, std::string& error) {
    bytes.clear();
    return ReadToEnd(_fileno(stdin), "standard input", maxBytes, bytes, error);
}

}  // namespace platform
