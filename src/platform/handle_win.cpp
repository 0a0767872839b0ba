#include "platform/handle_win.h"

#include <algorithm>

namespace platform {

DWORD WriteAllToHandle(HANDLE file, const void* data, std::size_t size) {
    const char* rest = static_cast<const char*>(data);
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        DWORD put = 0;
        if (WriteFile(file, rest, chunk, &put, nullptr) == 0 || put == 0) {
            return GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
        }
        rest += put;
        size -= put;
    }
    return 0;
}

}  // namespace platform
