#include "platform/file_io.h"

#include <cerrno>

namespace platform {

Result<int> DescriptorOrErrno(int descriptor) {
    if (descriptor < 0) {
        return Error::OfErrno(errno);
    }
    return descriptor;
}

}  // namespace platform
