#include "platform/file_read_common.h"
#include "platform/file_read.h"

#include <algorithm>

#include "platform/file_io.h"

// The parts of reading a whole file that are the same on every system: the order of the checks,
// the bounded read loop and the messages.
namespace platform {
namespace file_read_steps {

std::string TooLarge(const std::string& label, std::size_t maxBytes) {
    return label + ": larger than " + std::to_string(maxBytes) + " bytes";
}

}  // namespace file_read_steps

namespace {

namespace steps = file_read_steps;

constexpr std::size_t kReadChunk = 64 * 1024;

// Reads `descriptor` to its end; false with `error` set on a failed read or more than `maxBytes`.
bool ReadToEnd(int descriptor, const std::string& label, std::size_t maxBytes,
               std::vector<std::uint8_t>& bytes, std::string& error, bool* tooLarge = nullptr) {
    std::size_t total = 0;
    while (true) {
        // One byte past the bound tells a file of exactly maxBytes from a larger one.
        const std::size_t room = std::min(kReadChunk, maxBytes + 1 - total);
        bytes.resize(total + room);
        const long got = steps::ReadWaiting(descriptor, bytes.data() + total, room);
        if (got < 0) {
            error = "cannot read " + label + ": " + LastFileErrorText();
            bytes.clear();
            return false;
        }
        total += static_cast<std::size_t>(got);
        if (total > maxBytes) {
            if (tooLarge != nullptr) {
                *tooLarge = true;
            }
            error = steps::TooLarge(label, maxBytes);
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

bool ReadRegularFile(const std::string& path, std::size_t maxBytes,
                     std::vector<std::uint8_t>& bytes, std::string& error) {
    bytes.clear();
    if (error = steps::RefuseBeforeOpen(path, maxBytes); !error.empty()) {
        return false;
    }
    const int descriptor = steps::OpenNoWait(path);
    if (descriptor < 0) {
        error = "cannot open " + path + ": " + LastFileErrorText();
        return false;
    }
    // The file may have been replaced between the first look and the open: look again.
    bool ok = false;
    if (error = steps::RefuseOpened(descriptor, path, maxBytes); error.empty()) {
        ok = ReadToEnd(descriptor, path, maxBytes, bytes, error);
    }
    CloseFile(descriptor);
    return ok;
}

bool ReadStandardInput(std::size_t maxBytes, std::vector<std::uint8_t>& bytes, std::string& error,
                       bool* tooLarge) {
    bytes.clear();
    return ReadToEnd(steps::StandardInputDescriptor(), "standard input", maxBytes, bytes, error,
                     tooLarge);
}

}  // namespace platform
