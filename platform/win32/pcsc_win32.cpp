// What WinSCard does differently from pcsc-lite: the lost context is
// Windows error 6, and the service may still be starting.
#include <windows.h>
#include <winscard.h>

#include "platform/pcsc.h"

namespace qav::platform {

bool IsLostContext(uint32_t result) noexcept {
    return result == ERROR_INVALID_HANDLE || result == kScardInvalidHandle;
}

uint32_t WaitForServiceStart() noexcept {
    HANDLE started = SCardAccessStartedEvent();
    if (started == nullptr) return static_cast<uint32_t>(GetLastError());
    const DWORD wait = WaitForSingleObject(started, INFINITE);
    const DWORD waitError = wait == WAIT_FAILED ? GetLastError() : 0;
    SCardReleaseStartedEvent();
    return static_cast<uint32_t>(waitError);
}

}  // namespace qav::platform
