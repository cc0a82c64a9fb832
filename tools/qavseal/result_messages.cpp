#include "result_messages.h"

#include <cstdio>
#include <iterator>

#include "qavseal/qavseal.h"

namespace qavtool {
namespace {

struct Entry {
    uint32_t code;
    const char* message;
};

constexpr Entry kMessages[] = {
    {QAV_OK, "Success."},
    {QAV_E_NOT_SUPPORTED, "The operation is not supported."},
    {QAV_E_CARD_OBJECT, "The card object could not be created."},
    {QAV_E_READER_OBJECT, "The reader object could not be created."},
    {QAV_E_NULL_POINTER, "A required argument is missing."},
    {QAV_E_BAD_LENGTH, "A length is zero or does not fit the operation."},
    {QAV_E_BAD_ALGORITHM, "The algorithm or key type is not accepted."},
    {QAV_E_PADDING, "Unsupported padding, or padding failed."},
    {QAV_E_IV_LENGTH, "The initial vector does not match the cipher's block length."},
    {QAV_E_BAD_KEY, "The session key is unknown or of the wrong kind."},
    {QAV_E_BAD_CIPHER_MODE, "The cipher mode is not accepted."},
    {QAV_E_ID_TOO_LARGE, "A file or key identifier is too large."},
    {QAV_E_NOT_FOUND, "A required object is absent."},
    {QAV_E_NO_CONTAINER, "No container of that name exists on the card."},
    {QAV_E_NOT_INITIALIZED, "The library is not initialised."},
    {QAV_E_INVALID_HANDLE, "The device handle is not open."},
    {QAV_E_NO_DEVICE, "No seal key found."},
    {QAV_E_PIN_LENGTH, "The PIN length is not accepted."},
    {QAV_E_OFFSET_TOO_LARGE, "The file offset is too large."},
    {QAV_E_KEY_INDEX, "The card key index is out of range."},
    {QAV_E_PIN_NOT_ACCEPTED, "The card does not accept this PIN operation."},
    {QAV_E_CONVERSION, "A conversion or an application callback failed."},
    {QAV_E_UNEXPECTED_DATA, "The card's answer or stored data has an unexpected form."},
    {QAV_E_BUFFER_TOO_SMALL, "The buffer is too small."},
    {QAV_E_BAD_SELECTOR, "A mode, kind or type is out of range."},
    {QAV_E_TLV_FULL, "Too many elements in one card request."},
    {QAV_E_THREAD, "The device watch could not be started."},
    {QAV_E_PIN_BLOCKED, "The PIN is blocked."},
    {QAV_E_PIN_WRONG, "Wrong PIN."},
    {QAV_E_PIN_UNCHANGED, "The new PIN equals the old PIN."},
    {QAV_E_PIN_REFUSED, "The card refused the PIN operation."},
    {6, "The handle is invalid."},
    // The smart-card service's own codes.
    {0x80100001u, "Smart-card service: internal error."},
    {0x80100002u, "Smart-card service: the action was cancelled."},
    {0x80100003u, "Smart-card service: invalid handle."},
    {0x80100004u, "Smart-card service: invalid parameter."},
    {0x80100005u, "Smart-card service: invalid target."},
    {0x80100006u, "Not enough memory."},
    {0x80100007u, "Smart-card service: an internal timer expired."},
    {0x80100008u, "Smart-card service: the receive buffer is too small."},
    {0x80100009u, "Unknown reader."},
    {0x8010000Au, "Smart-card service: timeout."},
    {0x8010000Bu, "The card is in use by another application."},
    {0x8010000Cu, "No card in the reader."},
    {0x8010000Du, "Unknown card."},
    {0x8010000Eu, "The reader cannot dispose of the card."},
    {0x8010000Fu, "The card's protocol does not match."},
    {0x80100010u, "The reader or card is not ready."},
    {0x80100011u, "Smart-card service: invalid value."},
    {0x80100012u, "Smart-card service: the system cancelled the action."},
    {0x80100013u, "Lost communication with the smart-card service."},
    {0x80100014u, "Smart-card service: unknown internal error."},
    {0x80100015u, "The card's ATR is invalid."},
    {0x80100016u, "Smart-card service: no transaction is open."},
    {0x80100017u, "The reader is not available."},
    {0x80100018u, "Smart-card service: shutting down."},
    {0x80100019u, "Smart-card service: protocol information too small."},
    {0x8010001Au, "The reader driver is not supported."},
    {0x8010001Bu, "A reader of that name already exists."},
    {0x8010001Cu, "The card is not supported."},
    {0x8010001Du, "The smart-card service is not running."},
    {0x8010001Eu, "The smart-card service stopped (client and service versions differ)."},
    {0x8010001Fu, "Smart-card service: unexpected error."},
    {0x80100020u, "Smart-card service: card installation failed."},
    {0x80100021u, "Smart-card service: card creation order not supported."},
    {0x80100022u, "Smart-card service: feature not supported."},
    {0x80100023u, "Card directory not found."},
    {0x80100024u, "Card file not found."},
    {0x80100025u, "The path is not a directory."},
    {0x80100026u, "The path is not a file."},
    {0x80100027u, "Access to the card file denied."},
    {0x80100028u, "The card is full."},
    {0x80100029u, "Seeking in the card file failed."},
    {0x8010002Au, "The PIN is incorrect."},
    {0x8010002Bu, "Smart-card service: unknown resource manager error."},
    {0x8010002Cu, "No such certificate."},
    {0x8010002Du, "The certificate cannot be obtained."},
    {0x8010002Eu, "No smart-card reader is attached."},
    {0x8010002Fu, "Data were lost talking to the card."},
    {0x80100030u, "No key container on the card."},
    {0x80100031u, "The smart-card service is too busy."},
    {0x80100065u, "The card does not answer to reset."},
    {0x80100066u, "The card does not respond."},
    {0x80100067u, "The card has no power."},
    {0x80100068u, "The card was reset."},
    {0x80100069u, "The card was removed."},
    {0x8010006Au, "Security violation."},
    {0x8010006Bu, "The PIN was not accepted."},
    {0x8010006Cu, "The PIN is blocked."},
    {0x8010006Du, "End of the card file."},
    {0x8010006Eu, "Cancelled by the user."},
    {0x8010006Fu, "No PIN was presented to the card."},
};

const Entry* Find(uint32_t code) {
    for (const Entry& entry : kMessages) {
        if (entry.code == code) return &entry;
    }
    return nullptr;
}

std::string Hex4(uint32_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFF);
    return text;
}

std::string Hex8(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

}  // namespace

bool HasOwnMessage(uint32_t code) { return Find(code) != nullptr; }

std::string DescribeResult(uint32_t code) {
    if (const Entry* entry = Find(code)) return entry->message;
    if (QAV_IS_CARD_STATUS(code)) return "The card answered with status word " + Hex4(code) + ".";
    if (code <= 0xFFFF && code >= 0x6000) {
        return "Fetching the card's answer failed with status word " + Hex4(code) + ".";
    }
    if ((code & 0xFFFF0000u) == 0x80100000u) return "Smart-card service error " + Hex8(code) + ".";
    if ((code & 0xFFFF0000u) == 0xE0170000u) return "Library error " + Hex8(code) + ".";
    return "System error " + std::to_string(code) + ".";
}

}  // namespace qavtool
