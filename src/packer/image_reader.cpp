#include "packer/image_reader.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "packer/printable_name.h"
#include "packer/web_image.h"
#include "platform/tree_writer.h"

namespace packer {
namespace {

constexpr std::size_t kEntrySize = kDirectoryEntrySize;
constexpr std::size_t kNameField = kImageNameField;

std::uint32_t LoadU32LE(const std::uint8_t* source) {
    return static_cast<std::uint32_t>(source[0]) | (static_cast<std::uint32_t>(source[1]) << 8) |
           (static_cast<std::uint32_t>(source[2]) << 16) |
           (static_cast<std::uint32_t>(source[3]) << 24);
}

bool AllBytesAre(const std::uint8_t* data, std::size_t length, std::uint8_t value) {
    return std::all_of(data, data + length, [value](std::uint8_t b) { return b == value; });
}

ImageReadResult Malformed(std::string error) {
    ImageReadResult result;
    result.error = std::move(error);
    return result;
}

std::string EntryLabel(std::size_t index) {
    return "entry " + std::to_string(index) + ": ";
}

// Checks the name field of a used entry and returns the name, or an error text.
bool ReadName(const std::uint8_t* record, std::size_t index, std::string& name,
              std::string& error) {
    error.clear();
    const auto* end = static_cast<const std::uint8_t*>(std::memchr(record, 0, kNameField));
    if (end == nullptr) {
        error = EntryLabel(index) + "name is not zero-terminated within 24 bytes";
        return false;
    }
    const auto nameLength = static_cast<std::size_t>(end - record);
    if (!AllBytesAre(end, kNameField - nameLength, 0)) {
        error = EntryLabel(index) + "name is not padded with zero bytes";
        return false;
    }
    name.assign(reinterpret_cast<const char*>(record), nameLength);
    if (name.empty()) {
        error = EntryLabel(index) + "name is empty";
    } else if (name.front() != '/') {
        error =
            EntryLabel(index) + "name \"" + PrintableName(name) + "\" does not begin with \"/\"";
    } else if (name.size() == 1) {
        error = EntryLabel(index) + "name \"/\" has nothing after the \"/\"";
    }
    return error.empty();
}

// The directory of an image whose first entry is unused: it has no files, so N is the number of
// zero entries before the 0xFF fill (or the end). Such an image is refused either way.
ImageReadResult ReadEmptyDirectory(const std::uint8_t* data, std::size_t length) {
    std::size_t count = 0;
    while ((count + 1) * kEntrySize <= length &&
           AllBytesAre(data + count * kEntrySize, kEntrySize, 0)) {
        ++count;
    }
    const std::size_t used = count * kEntrySize;
    if (!AllBytesAre(data + used, length - used, kFillByte)) {
        return Malformed("entry 0 is unused but data follows the directory at byte " +
                         std::to_string(used));
    }
    // Well formed, but the device would take it as the order to erase every page it serves.
    return Malformed(kNoFileInImage);
}

}  // namespace

ImageReadResult ReadImageDirectory(const std::uint8_t* data, std::size_t length) {
    if (data == nullptr || length < kEntrySize) {
        return Malformed("image of " + std::to_string(length) +
                         " bytes is shorter than one directory entry (32 bytes)");
    }
    if (length > UINT32_MAX) {
        return Malformed("image of " + std::to_string(length) + " bytes is too large");
    }
    if (AllBytesAre(data, kEntrySize, 0)) {
        return ReadEmptyDirectory(data, length);
    }

    // N from where the first file begins, right after the directory.
    const std::uint32_t firstOffset = LoadU32LE(data + kNameField);
    if (firstOffset < kEntrySize || firstOffset % kEntrySize != 0) {
        return Malformed("entry 0: offset " + std::to_string(firstOffset) +
                         " is not the end of a directory of 32-byte entries");
    }
    if (firstOffset > length) {
        return Malformed("directory of " + std::to_string(firstOffset) +
                         " bytes (from entry 0's offset) is longer than the image of " +
                         std::to_string(length) + " bytes");
    }
    const std::size_t entryCount = firstOffset / kEntrySize;

    ImageReadResult result;
    ImageDirectory& directory = result.directory;
    directory.entryCount = static_cast<int>(entryCount);
    std::uint64_t expectedOffset = firstOffset;
    bool unusedSeen = false;
    for (std::size_t index = 0; index < entryCount; ++index) {
        const std::uint8_t* record = data + index * kEntrySize;
        if (AllBytesAre(record, kEntrySize, 0)) {
            unusedSeen = true;
            continue;
        }
        if (unusedSeen) {
            return Malformed(EntryLabel(index) + "used entry after an unused one (a hole)");
        }
        ImageEntryView entry;
        std::string error;
        if (!ReadName(record, index, entry.name, error)) {
            return Malformed(error);
        }
        entry.offset = LoadU32LE(record + kNameField);
        entry.size = LoadU32LE(record + kNameField + 4);
        if (entry.size == 0) {
            return Malformed(EntryLabel(index) + "size is 0");
        }
        if (entry.offset < expectedOffset) {
            return Malformed(EntryLabel(index) + "offset " + std::to_string(entry.offset) +
                             " overlaps the previous content (expected " +
                             std::to_string(expectedOffset) + ")");
        }
        if (entry.offset > expectedOffset) {
            return Malformed(EntryLabel(index) + "offset " + std::to_string(entry.offset) +
                             " leaves a hole after the previous content (expected " +
                             std::to_string(expectedOffset) + ")");
        }
        const std::uint64_t end = expectedOffset + entry.size;
        if (end > length) {
            return Malformed(EntryLabel(index) + "content of " + std::to_string(entry.size) +
                             " bytes at offset " + std::to_string(entry.offset) +
                             " runs past the image end (" + std::to_string(length) + " bytes)");
        }
        expectedOffset = end;
        directory.entries.push_back(std::move(entry));
    }
    // Anything after the contents can only be the image's fill.
    const auto used = static_cast<std::size_t>(expectedOffset);
    if (!AllBytesAre(data + used, length - used, kFillByte)) {
        return Malformed("bytes after the last content (from byte " + std::to_string(used) +
                         ") are not 0xFF fill");
    }
    directory.usedLength = static_cast<std::uint32_t>(used);
    result.ok = true;
    result.nameError = CheckImageNames(directory.entries);
    return result;
}

namespace {

// Splits "/a/b/c" into its segments; false for an empty, "." or ".." segment.
bool SplitSafeName(const std::string& name, std::vector<std::string>& segments) {
    segments.clear();
    if (name.empty() || name.front() != '/') {
        return false;
    }
    std::size_t start = 1;
    while (true) {
        const std::size_t slash = name.find('/', start);
        const std::string segment =
            name.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (segment.empty() || segment == "." || segment == "..") {
            return false;
        }
        segments.push_back(segment);
        if (slash == std::string::npos) {
            return true;
        }
        start = slash + 1;
    }
}

std::string Quoted(const std::string& name) {
    return "\"" + PrintableName(name) + "\"";
}

}  // namespace

std::string CheckImageNames(const std::vector<ImageEntryView>& entries) {
    std::unordered_map<std::string, std::size_t> files;    // name -> its entry
    std::unordered_map<std::string, std::size_t> folders;  // folder -> first entry inside it
    std::vector<std::string> segments;
    for (std::size_t index = 0; index < entries.size(); ++index) {
        const std::string& name = entries[index].name;
        if (!SplitSafeName(name, segments)) {
            return EntryLabel(index) + "name " + Quoted(name) +
                   " has an empty, \".\" or \"..\" part or no leading \"/\"";
        }
        if (const auto same = files.find(name); same != files.end()) {
            return "entries " + std::to_string(same->second) + " and " + std::to_string(index) +
                   " have the same name " + Quoted(name);
        }
        if (const auto inside = folders.find(name); inside != folders.end()) {
            return Quoted(name) + " is both a file (entry " + std::to_string(index) +
                   ") and a folder (entry " + std::to_string(inside->second) + ", " +
                   Quoted(entries[inside->second].name) + ")";
        }
        for (std::size_t slash = name.find('/', 1); slash != std::string::npos;
             slash = name.find('/', slash + 1)) {
            const std::string folder = name.substr(0, slash);
            if (const auto file = files.find(folder); file != files.end()) {
                return Quoted(folder) + " is both a file (entry " + std::to_string(file->second) +
                       ") and a folder (entry " + std::to_string(index) + ", " + Quoted(name) + ")";
            }
            folders.emplace(folder, index);
        }
        files.emplace(name, index);
    }
    return {};
}

platform::Error ExtractImage(
    const std::uint8_t* data, std::size_t length, const ImageDirectory& directory,
    const std::string& folder,
    const std::function<void(const ImageEntryView&, const std::string&)>& written) {
    // Every name is checked before anything is written, so a bad image leaves no partial tree.
    if (const std::string nameError = CheckImageNames(directory.entries); !nameError.empty()) {
        return platform::Error{0, "refusing the image: " + nameError};
    }
    std::vector<std::vector<std::string>> paths(directory.entries.size());
    for (std::size_t i = 0; i < directory.entries.size(); ++i) {
        const ImageEntryView& entry = directory.entries[i];
        SplitSafeName(entry.name, paths[i]);
        if (static_cast<std::uint64_t>(entry.offset) + entry.size > length) {
            return platform::Error{0, "entry " + Quoted(entry.name) + " runs past the image end"};
        }
    }
    platform::TreeWriter writer(folder);
    if (platform::Error refused = writer.Open()) {
        return refused;
    }
    for (std::size_t i = 0; i < directory.entries.size(); ++i) {
        const ImageEntryView& entry = directory.entries[i];
        platform::TreeWriteError failure;
        if (!writer.WriteFile(paths[i], data + entry.offset, entry.size, failure)) {
            std::string path = folder;
            for (std::size_t s = 0; s <= failure.segment && s < paths[i].size(); ++s) {
                path.append("/").append(paths[i][s]);
            }
            std::string error = "cannot write " + Quoted(path) + ": " + failure.reason;
            if (failure.partial) {
                error +=
                    failure.removeError.empty()
                        ? "; the partly written file was removed"
                        : "; the partly written file could not be removed: " + failure.removeError;
            }
            error += " (" + std::to_string(i) + " of " + std::to_string(directory.entries.size()) +
                     " files written)";
            return platform::Error{0, std::move(error)};
        }
        if (written) {
            written(entry, folder + entry.name);
        }
    }
    return {};
}

}  // namespace packer
