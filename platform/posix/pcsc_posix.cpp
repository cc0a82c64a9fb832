// What pcsc-lite does differently from WinSCard: it has no lost-context
// error of its own and nothing to wait for before the first call.
#include "platform/pcsc.h"

namespace qav::platform {

bool IsLostContext(uint32_t result) noexcept {
    // A dead or restarted daemon shows as no service (writing to the closed
    // socket, or a new context with no daemon) or a communication error (a
    // call cut off while reading); a handle another reader copy released
    // shows as an invalid handle.
    return result == kScardNoService || result == kScardCommError || result == kScardInvalidHandle;
}

uint32_t WaitForServiceStart() noexcept { return kScardSuccess; }

}  // namespace qav::platform
