#include "cli/image_file.h"

#include "platform/file_read.h"

namespace cli {

platform::Result<std::vector<std::uint8_t>> LoadImageFile(const std::string& path) {
    if (path == "-") {
        return platform::ReadStandardInput(kMaxImageFileBytes);
    }
    return platform::ReadRegularFile(path, kMaxImageFileBytes);
}

}  // namespace cli
