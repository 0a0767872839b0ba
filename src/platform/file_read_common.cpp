#include "platform/file_read_common.h"
#include "platform/file_read.h"

#include <algorithm>
#include <cerrno>

#include "platform/file_io.h"

// The parts of reading a whole file that are the same on every system: the order of the checks,
// the bounded read loop and the messages.
namespace platform {
namespace file_read_steps {

Error TooLarge(const std::string& label, std::size_t maxBytes) {
    return Error{EFBIG, label + ": larger than " + std::to_string(maxBytes) + " bytes"};
}

}  // namespace file_read_steps

namespace {

namespace steps = file_read_steps;

constexpr std::size_t kReadChunk = 64 * 1024;

// Reads `descriptor` to its end; the error on a failed read or more than `maxBytes`.
Result<std::vector<std::uint8_t>> ReadToEnd(int descriptor, const std::string& label,
                                            std::size_t maxBytes) {
    std::vector<std::uint8_t> bytes;
    std::size_t total = 0;
    while (true) {
        // One byte past the bound tells a file of exactly maxBytes from a larger one.
        const std::size_t room = std::min(kReadChunk, maxBytes + 1 - total);
        bytes.resize(total + room);
        const Result<std::size_t> got = steps::ReadWaiting(descriptor, bytes.data() + total, room);
        if (!got) {
            return got.error().In("cannot read " + label);
        }
        total += *got;
        if (total > maxBytes) {
            return steps::TooLarge(label, maxBytes);
        }
        if (*got == 0) {
            bytes.resize(total);
            return bytes;
        }
    }
}

}  // namespace

Result<std::vector<std::uint8_t>> ReadRegularFile(const std::string& path, std::size_t maxBytes) {
    if (Error refused = steps::RefuseBeforeOpen(path, maxBytes)) {
        return refused;
    }
    const Result<int> descriptor = steps::OpenNoWait(path);
    if (!descriptor) {
        return descriptor.error().In("cannot open " + path);
    }
    // The file may have been replaced between the first look and the open: look again.
    Error refused = steps::RefuseOpened(*descriptor, path, maxBytes);
    Result<std::vector<std::uint8_t>> bytes =
        refused ? std::move(refused) : ReadToEnd(*descriptor, path, maxBytes);
    CloseFile(*descriptor);
    return bytes;
}

Result<std::vector<std::uint8_t>> ReadStandardInput(std::size_t maxBytes) {
    return ReadToEnd(steps::StandardInputDescriptor(), "standard input", maxBytes);
}

}  // namespace platform
