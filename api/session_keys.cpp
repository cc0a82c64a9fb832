#include "api/session_keys.h"

#include <memory>

#include "api/frame.h"

namespace qav::api {
namespace {

// The caller's handle is the object's address; it is only compared until
// the device's record vouches for it.
const SessionKeyHandle* Object(const QAV_SessionKey* key) {
    return reinterpret_cast<const SessionKeyHandle*>(key);
}

}  // namespace

uint32_t CheckSessionKey(QAV_HANDLE handle, const QAV_SessionKey* key,
                         const SessionKeyHandle** found) {
    if (const uint32_t rc = Manager()->CheckKeyHandle(handle, Object(key))) return rc;
    *found = Object(key);
    return QAV_OK;
}

uint32_t AddSessionKey(QAV_HANDLE handle, uint32_t keyNumber, uint32_t algorithm,
                       QAV_SessionKey** keyOut) {
    auto key = std::make_unique<SessionKeyHandle>();
    key->keyNumber = keyNumber;
    key->algorithm = algorithm;
    auto* address = reinterpret_cast<QAV_SessionKey*>(key.get());
    if (const uint32_t rc = Manager()->AddKeyHandle(handle, std::move(key))) return rc;
    *keyOut = address;
    return QAV_OK;
}

void DeleteSessionKey(QAV_HANDLE handle, const SessionKeyHandle* key) {
    Manager()->RemoveKeyHandle(handle, key);
}

}  // namespace qav::api
