#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <climits>

#include "platform/random.h"

namespace qav::platform {

bool FillRandom(uint8_t* data, size_t length) noexcept {
    while (length > 0) {
        const ULONG piece = length > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(length);
        const NTSTATUS status =
            BCryptGenRandom(nullptr, data, piece, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (status < 0) return false;  // NT status codes: failures are negative
        data += piece;
        length -= piece;
    }
    return true;
}

}  // namespace qav::platform
