#include "platform/secure_memory.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <string.h>
#endif

namespace qav::platform {

void SecureWipe(void* data, size_t length) noexcept {
    if (data == nullptr || length == 0) return;
#if defined(_WIN32)
    SecureZeroMemory(data, length);
#else
    explicit_bzero(data, length);
#endif
}

}  // namespace qav::platform
