#include "errors.h"

#include "qavseal/qavseal.h"

namespace qav::p11 {

bool PinNotVerified(uint32_t rc) {
    return rc == QAV_CARD_STATUS(0x6982) || rc == QAV_CARD_STATUS(0x6985);
}

CK_RV FromLibrary(uint32_t rc) {
    if (PinNotVerified(rc)) return CKR_USER_NOT_LOGGED_IN;
    switch (rc) {
        case QAV_OK:
            return CKR_OK;
        case QAV_E_NO_MEMORY:
            return CKR_HOST_MEMORY;
        case QAV_E_PIN_WRONG:
            return CKR_PIN_INCORRECT;
        case QAV_E_PIN_BLOCKED:
            return CKR_PIN_LOCKED;
        case QAV_E_PIN_LENGTH:
            return CKR_PIN_LEN_RANGE;
        case QAV_E_PIN_NOT_ACCEPTED:
        case QAV_E_PIN_REFUSED:
        case QAV_E_PIN_UNCHANGED:
        case QAV_E_CONVERSION:
            return CKR_PIN_INVALID;
        case QAV_E_PADDING:
            return CKR_ENCRYPTED_DATA_INVALID;
        case QAV_E_BAD_LENGTH:
            return CKR_DATA_LEN_RANGE;
        case QAV_E_NO_DEVICE:
        case QAV_E_INVALID_HANDLE:
        case 0x80100069u:  // removed card
        case 0x8010000Cu:  // no smart card
        case 0x80100017u:  // reader unavailable
        case 0x80100009u:  // unknown reader
            return CKR_DEVICE_REMOVED;
        case 0x80100068u:  // reset card
            return CKR_DEVICE_ERROR;
        default:
            break;
    }
    if (QAV_IS_CARD_STATUS(rc)) return CKR_DEVICE_ERROR;
    return CKR_FUNCTION_FAILED;
}

}  // namespace qav::p11
