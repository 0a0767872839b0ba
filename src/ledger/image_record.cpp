#include "ledger/image_record.h"

#include <cstdlib>

#include "packer/image_reader.h"
#include "platform/exe_path.h"
#include "platform/sha256.h"
#include "platform/user_folders.h"

namespace ledger {

namespace {

constexpr char kFileName[] = "ledger.sqlite";

std::optional<std::string> DefaultPath() {
    const auto folder = platform::UserDataFolder();
    if (!folder) {
        return std::nullopt;
    }
    return *folder + platform::kPathSeparator + kFileName;
}

}  // namespace

std::optional<ImageRecord> ImageRecordOf(const std::uint8_t* bytes, std::size_t length) {
    const packer::ImageReadResult read = packer::ReadImageDirectory(bytes, length);
    if (!read.ok) {
        return std::nullopt;
    }
    ImageRecord record;
    record.sha256 = platform::Sha256::Hex(platform::Sha256::Of(bytes, length));
    record.bytes = static_cast<std::int64_t>(length);
    for (const auto& entry : read.directory.entries) {
        record.files.push_back(ImageFile{
            entry.name, entry.offset, entry.size,
            platform::Sha256::Hex(platform::Sha256::Of(bytes + entry.offset, entry.size))});
    }
    return record;
}

platform::Result<std::string> LedgerPath(const std::string& given) {
    if (!given.empty()) {
        return given;
    }
    const char* named = std::getenv("VELLUMIX_LEDGER");
    if (named != nullptr && named[0] != '\0') {
        return std::string(named);
    }
    const auto path = DefaultPath();
    if (!path) {
        return platform::Error{
            0, "no folder for the ledger (neither XDG_DATA_HOME nor a home folder is known)"};
    }
    return *path;
}

bool IsDefaultPlace(const std::string& path) {
    const auto place = DefaultPath();
    return place && *place == path;
}

}  // namespace ledger
