// Fuzz target for the image reader behind `list` and `extract`.
//
// Input: the image bytes as they would come from a file.
//
// Checked, whenever the reader accepts the image:
//   - every entry lies inside the data, begins at or after the directory and is not empty;
//   - every name is "/"-rooted, 2 to 23 bytes, without zero bytes;
//   - the contents follow each other from the end of the directory without holes;
//   - laying the accepted entries out again (directory, contents, 0xFF fill) gives back exactly
//     the input, so nothing in the input was ignored.
// When it refuses, it says why. The name check (nameError) agrees with a plain quadratic one:
// names with an empty, "." or ".." segment, two equal names, or a name that is also another's
// folder. Accepted images are also extracted into a scratch folder: an image with a name error
// is refused before anything is written; otherwise extraction either refuses with a reason or
// writes exactly the entries' files, all inside the folder, and nothing else.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "packer/image_reader.h"
#include "packer/web_image.h"

namespace {

[[noreturn]] void Fault(const char* what) {
    std::fprintf(stderr, "image_reader_fuzz: %s\n", what);
    std::abort();
}

void Require(bool condition, const char* what) {
    if (!condition) {
        Fault(what);
    }
}

void RequireEntriesInsideData(const packer::ImageDirectory& directory, std::size_t length) {
    const std::uint64_t directoryBytes =
        static_cast<std::uint64_t>(directory.entryCount) * packer::kDirectoryEntrySize;
    Require(directory.entryCount >= 0 && directoryBytes <= length,
            "the directory is longer than the data");
    Require(directory.entries.size() <= static_cast<std::size_t>(directory.entryCount),
            "more entries than directory records");
    std::uint64_t expected = directoryBytes;
    for (const auto& entry : directory.entries) {
        Require(entry.size >= 1, "an accepted entry is empty");
        Require(entry.offset == expected, "an accepted entry leaves a hole or overlaps");
        Require(static_cast<std::uint64_t>(entry.offset) + entry.size <= length,
                "an accepted entry lies outside the data");
        Require(entry.name.size() >= 2 &&
                    entry.name.size() <= static_cast<std::size_t>(packer::kMaxImageNameLength),
                "an accepted name has a bad length");
        Require(entry.name.front() == '/', "an accepted name is not rooted");
        Require(entry.name.find('\0') == std::string::npos, "an accepted name holds a zero byte");
        expected += entry.size;
    }
    Require(directory.usedLength == expected, "usedLength is not directory plus contents");
}

// The image the builder would have laid out for these entries, padded to `length`.
std::vector<std::uint8_t> LayOutAgain(const packer::ImageDirectory& directory,
                                      const std::uint8_t* data, std::size_t length) {
    std::vector<std::uint8_t> image(
        static_cast<std::size_t>(directory.entryCount) * packer::kDirectoryEntrySize, 0);
    for (std::size_t i = 0; i < directory.entries.size(); ++i) {
        const auto& entry = directory.entries[i];
        std::uint8_t* record = image.data() + i * packer::kDirectoryEntrySize;
        std::memcpy(record, entry.name.data(), entry.name.size());
        packer::StoreU32LE(record + packer::kImageNameField, entry.offset);
        packer::StoreU32LE(record + packer::kImageNameField + 4, entry.size);
    }
    for (const auto& entry : directory.entries) {
        image.insert(image.end(), data + entry.offset, data + entry.offset + entry.size);
    }
    image.resize(length, packer::kFillByte);
    return image;
}

// A private folder below the temporary folder for the whole run, removed at exit.
class ScratchFolder {
  public:
    ScratchFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "image_reader_fuzz.XXXXXX").string();
        Require(mkdtemp(pattern.data()) != nullptr, "cannot create the scratch folder");
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code code;
        std::filesystem::remove_all(path_, code);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

const std::filesystem::path& Scratch() {
    static const ScratchFolder folder;
    return folder.path();
}

std::string ReadWhole(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool BadSegment(const std::string& name) {
    std::size_t start = 1;
    while (true) {
        const std::size_t slash = name.find('/', start);
        const std::string segment =
            name.substr(start, slash == std::string::npos ? slash : slash - start);
        if (segment.empty() || segment == "." || segment == "..") {
            return true;
        }
        if (slash == std::string::npos) {
            return false;
        }
        start = slash + 1;
    }
}

// True when the names cannot stand side by side in a folder, found the slow, obvious way.
bool NamesClash(const packer::ImageDirectory& directory) {
    const auto& entries = directory.entries;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (BadSegment(entries[i].name)) {
            return true;
        }
        for (std::size_t j = 0; j < entries.size(); ++j) {
            const std::string& a = entries[i].name;
            const std::string& b = entries[j].name;
            if (i != j && (a == b || (b.size() > a.size() && b.compare(0, a.size(), a) == 0 &&
                                      b[a.size()] == '/'))) {
                return true;
            }
        }
    }
    return false;
}

void RequireExtractStaysInside(const packer::ImageDirectory& directory, const std::uint8_t* data,
                               std::size_t length, bool namesClash) {
    const std::filesystem::path root = Scratch() / "out";
    std::error_code code;
    std::filesystem::remove_all(root, code);
    const platform::Error error = packer::ExtractImage(data, length, directory, root.string());
    const bool extracted = !error;
    if (namesClash) {
        Require(!extracted, "an image with a name error was extracted");
        Require(!std::filesystem::exists(root), "a refused image left something behind");
    } else if (extracted) {
        std::map<std::string, std::string> expected;  // relative path -> content
        for (const auto& entry : directory.entries) {
            expected[entry.name.substr(1)] =
                std::string(reinterpret_cast<const char*>(data) + entry.offset, entry.size);
        }
        std::size_t files = 0;
        for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
            Require(!item.is_symlink(), "extraction made a link");
            if (!item.is_regular_file()) {
                continue;
            }
            ++files;
            const auto found = expected.find(item.path().lexically_relative(root).string());
            Require(found != expected.end(), "extraction wrote a file that is not an entry");
            Require(ReadWhole(item.path()) == found->second, "an extracted file differs");
        }
        Require(files == expected.size(), "extraction left out an entry");
    } else {
        Require(!error.text.empty(), "extraction refused without a reason");
    }
    // Nothing may appear beside the target folder.
    std::size_t besides = 0;
    for (const auto& item : std::filesystem::directory_iterator(Scratch())) {
        besides += item.path().filename() != "out" ? 1 : 0;
    }
    Require(besides == 0, "extraction wrote outside its folder");
    std::filesystem::remove_all(root, code);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const packer::ImageReadResult result = packer::ReadImageDirectory(data, size);
    if (!result.ok) {
        Require(!result.error.empty(), "a refusal without a reason");
        Require(result.nameError.empty(), "a name error for a malformed image");
        return 0;
    }
    Require(result.error.empty(), "an accepted image with an error text");
    RequireEntriesInsideData(result.directory, size);
    Require(
        LayOutAgain(result.directory, data, size) == std::vector<std::uint8_t>(data, data + size),
        "the accepted directory does not describe the whole input");
    const bool namesClash = NamesClash(result.directory);
    Require(result.nameError.empty() != namesClash, "the name check disagrees with the slow one");
    RequireExtractStaysInside(result.directory, data, size, namesClash);
    return 0;
}
