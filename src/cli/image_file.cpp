#include "cli/image_file.h"

#include "platform/file_read.h"

namespace cli {

bool LoadImageFile(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& error) {
    error.clear();
    if (path == "-") {
        return platform::ReadStandardInput(kMaxImageFileBytes, bytes, error);
    }
    return platform::ReadRegularFile(path, kMaxImageFileBytes, bytes, error);
}

}  // namespace cli
