// The session-key handles a caller holds: host objects owned by the
// device's record.
#pragma once

#include <cstdint>

#include "device/device_record.h"
#include "qavseal/qavseal.h"

namespace qav::api {

// The handle's object when it was made for this device and is still
// registered; QAV_E_BAD_KEY otherwise (nothing is read through it then).
uint32_t CheckSessionKey(QAV_HANDLE handle, const QAV_SessionKey* key,
                         const SessionKeyHandle** found);

// Registers a new handle with the device and gives it to the caller.
uint32_t AddSessionKey(QAV_HANDLE handle, uint32_t keyNumber, uint32_t algorithm,
                       QAV_SessionKey** keyOut);

// Unregisters and frees it.
void DeleteSessionKey(QAV_HANDLE handle, const SessionKeyHandle* key);

}  // namespace qav::api
