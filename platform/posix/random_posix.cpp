#include <errno.h>
#include <sys/random.h>

#include "platform/random.h"

namespace qav::platform {

bool FillRandom(uint8_t* data, size_t length) noexcept {
    while (length > 0) {
        // Large requests may come back short, and a signal may interrupt the wait
        // for an unseeded pool; both just continue.
        const ssize_t got = getrandom(data, length, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

}  // namespace qav::platform
