#include "platform/open_file_limit.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>

#include <algorithm>

namespace platform {

namespace {

// Beyond this the count is not worth its time: any fleet fits.
constexpr long kProbeCeiling = 1L << 20;

long SoftLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return -1;
    }
    return static_cast<long>(std::min<rlim_t>(limit.rlim_cur, kProbeCeiling));
}

// Descriptors open now, from the system's list of them; -1 when it cannot be read.
long OpenDescriptorsListed() {
    DIR* directory = opendir("/proc/self/fd");
    if (directory == nullptr) {
        return -1;
    }
    long count = 0;
    while (const dirent* entry = readdir(directory)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(directory);
    return count - 1;  // the listing's own descriptor
}

}  // namespace

long RaiseOpenFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return -1;
    }
    if (limit.rlim_cur != limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        }
    }
    return limit.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long>(limit.rlim_cur);
}

long SpareFileDescriptors() {
    const long soft = SoftLimit();
    if (soft < 0) {
        return -1;
    }
    long open = OpenDescriptorsListed();
    if (open < 0) {
        open = 0;
        for (int descriptor = 0; descriptor < soft; ++descriptor) {
            open += fcntl(descriptor, F_GETFD) != -1 ? 1 : 0;
        }
    }
    return std::max(0L, soft - open);
}

}  // namespace platform
