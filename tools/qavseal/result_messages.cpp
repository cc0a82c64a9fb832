#include "result_messages.h"

#include <cstdio>
#include <iterator>

#include "qavseal/qavseal.h"

namespace qavtool {
namespace {

struct Entry {
    uint32_t code;
    const char* name;
    const char* message;
};

constexpr Entry kMessages[] = {
    {QAV_OK, "QAV_OK", "Success."},
    {QAV_E_NOT_SUPPORTED, "QAV_E_NOT_SUPPORTED", "The operation is not supported."},
    {QAV_E_CARD_OBJECT, "QAV_E_CARD_OBJECT", "The card object could not be created."},
    {QAV_E_READER_OBJECT, "QAV_E_READER_OBJECT", "The reader object could not be created."},
    {QAV_E_NULL_POINTER, "QAV_E_NULL_POINTER", "A required argument is missing."},
    {QAV_E_BAD_LENGTH, "QAV_E_BAD_LENGTH", "A length is zero or does not fit the operation."},
    {QAV_E_BAD_ALGORITHM, "QAV_E_BAD_ALGORITHM", "The algorithm or key type is not accepted."},
    {QAV_E_PADDING, "QAV_E_PADDING", "Unsupported padding, or padding failed."},
    {QAV_E_IV_LENGTH, "QAV_E_IV_LENGTH",
     "The initial vector does not match the cipher's block length."},
    {QAV_E_BAD_KEY, "QAV_E_BAD_KEY", "The session key is unknown or of the wrong kind."},
    {QAV_E_BAD_CIPHER_MODE, "QAV_E_BAD_CIPHER_MODE", "The cipher mode is not accepted."},
    {QAV_E_ID_TOO_LARGE, "QAV_E_ID_TOO_LARGE", "A file or key identifier is too large."},
    {QAV_E_NOT_FOUND, "QAV_E_NOT_FOUND", "A required object is absent."},
    {QAV_E_NO_CONTAINER, "QAV_E_NO_CONTAINER", "No container of that name exists on the card."},
    {QAV_E_NOT_INITIALIZED, "QAV_E_NOT_INITIALIZED", "The library is not initialised."},
    {QAV_E_INVALID_HANDLE, "QAV_E_INVALID_HANDLE", "The device handle is not open."},
    {QAV_E_NO_DEVICE, "QAV_E_NO_DEVICE", "No seal key found."},
    {QAV_E_PIN_LENGTH, "QAV_E_PIN_LENGTH", "The PIN length is not accepted."},
    {QAV_E_OFFSET_TOO_LARGE, "QAV_E_OFFSET_TOO_LARGE", "The file offset is too large."},
    {QAV_E_KEY_INDEX, "QAV_E_KEY_INDEX", "The card key index is out of range."},
    {QAV_E_PIN_NOT_ACCEPTED, "QAV_E_PIN_NOT_ACCEPTED",
     "The card does not accept this PIN operation."},
    {QAV_E_CONVERSION, "QAV_E_CONVERSION", "A conversion or an application callback failed."},
    {QAV_E_UNEXPECTED_DATA, "QAV_E_UNEXPECTED_DATA",
     "The card's answer or stored data has an unexpected form."},
    {QAV_E_BUFFER_TOO_SMALL, "QAV_E_BUFFER_TOO_SMALL", "The buffer is too small."},
    {QAV_E_BAD_SELECTOR, "QAV_E_BAD_SELECTOR", "A mode, kind or type is out of range."},
    {QAV_E_TLV_FULL, "QAV_E_TLV_FULL", "Too many elements in one card request."},
    {QAV_E_THREAD, "QAV_E_THREAD", "The device watch could not be started."},
    {QAV_E_PIN_BLOCKED, "QAV_E_PIN_BLOCKED", "The PIN is blocked."},
    {QAV_E_PIN_WRONG, "QAV_E_PIN_WRONG", "Wrong PIN."},
    {QAV_E_PIN_UNCHANGED, "QAV_E_PIN_UNCHANGED", "The new PIN equals the old PIN."},
    {QAV_E_PIN_REFUSED, "QAV_E_PIN_REFUSED", "The card refused the PIN operation."},
    {6, "ERROR_INVALID_HANDLE", "The handle is invalid."},
    // The smart-card service's own codes.
    {0x80100001u, "SCARD_F_INTERNAL_ERROR", "Smart-card service: internal error."},
    {0x80100002u, "SCARD_E_CANCELLED", "Smart-card service: the action was cancelled."},
    {0x80100003u, "SCARD_E_INVALID_HANDLE", "Smart-card service: invalid handle."},
    {0x80100004u, "SCARD_E_INVALID_PARAMETER", "Smart-card service: invalid parameter."},
    {0x80100005u, "SCARD_E_INVALID_TARGET", "Smart-card service: invalid target."},
    {0x80100006u, "SCARD_E_NO_MEMORY", "Not enough memory."},
    {0x80100007u, "SCARD_F_WAITED_TOO_LONG", "Smart-card service: an internal timer expired."},
    {0x80100008u, "SCARD_E_INSUFFICIENT_BUFFER",
     "Smart-card service: the receive buffer is too small."},
    {0x80100009u, "SCARD_E_UNKNOWN_READER", "Unknown reader."},
    {0x8010000Au, "SCARD_E_TIMEOUT", "Smart-card service: timeout."},
    {0x8010000Bu, "SCARD_E_SHARING_VIOLATION", "The card is in use by another application."},
    {0x8010000Cu, "SCARD_E_NO_SMARTCARD", "No card in the reader."},
    {0x8010000Du, "SCARD_E_UNKNOWN_CARD", "Unknown card."},
    {0x8010000Eu, "SCARD_E_CANT_DISPOSE", "The reader cannot dispose of the card."},
    {0x8010000Fu, "SCARD_E_PROTO_MISMATCH", "The card's protocol does not match."},
    {0x80100010u, "SCARD_E_NOT_READY", "The reader or card is not ready."},
    {0x80100011u, "SCARD_E_INVALID_VALUE", "Smart-card service: invalid value."},
    {0x80100012u, "SCARD_E_SYSTEM_CANCELLED",
     "Smart-card service: the system cancelled the action."},
    {0x80100013u, "SCARD_F_COMM_ERROR", "Lost communication with the smart-card service."},
    {0x80100014u, "SCARD_F_UNKNOWN_ERROR", "Smart-card service: unknown internal error."},
    {0x80100015u, "SCARD_E_INVALID_ATR", "The card's ATR is invalid."},
    {0x80100016u, "SCARD_E_NOT_TRANSACTED", "Smart-card service: no transaction is open."},
    {0x80100017u, "SCARD_E_READER_UNAVAILABLE", "The reader is not available."},
    {0x80100018u, "SCARD_P_SHUTDOWN", "Smart-card service: shutting down."},
    {0x80100019u, "SCARD_E_PCI_TOO_SMALL", "Smart-card service: protocol information too small."},
    {0x8010001Au, "SCARD_E_READER_UNSUPPORTED", "The reader driver is not supported."},
    {0x8010001Bu, "SCARD_E_DUPLICATE_READER", "A reader of that name already exists."},
    {0x8010001Cu, "SCARD_E_CARD_UNSUPPORTED", "The card is not supported."},
    {0x8010001Du, "SCARD_E_NO_SERVICE", "The smart-card service is not running."},
    {0x8010001Eu, "SCARD_E_SERVICE_STOPPED",
     "The smart-card service stopped (client and service versions differ)."},
    {0x8010001Fu, "SCARD_E_UNEXPECTED", "Smart-card service: unexpected error."},
    {0x80100020u, "SCARD_E_ICC_INSTALLATION", "Smart-card service: card installation failed."},
    {0x80100021u, "SCARD_E_ICC_CREATEORDER",
     "Smart-card service: card creation order not supported."},
    {0x80100022u, "SCARD_E_UNSUPPORTED_FEATURE", "Smart-card service: feature not supported."},
    {0x80100023u, "SCARD_E_DIR_NOT_FOUND", "Card directory not found."},
    {0x80100024u, "SCARD_E_FILE_NOT_FOUND", "Card file not found."},
    {0x80100025u, "SCARD_E_NO_DIR", "The path is not a directory."},
    {0x80100026u, "SCARD_E_NO_FILE", "The path is not a file."},
    {0x80100027u, "SCARD_E_NO_ACCESS", "Access to the card file denied."},
    {0x80100028u, "SCARD_E_WRITE_TOO_MANY", "The card is full."},
    {0x80100029u, "SCARD_E_BAD_SEEK", "Seeking in the card file failed."},
    {0x8010002Au, "SCARD_E_INVALID_CHV", "The PIN is incorrect."},
    {0x8010002Bu, "SCARD_E_UNKNOWN_RES_MNG", "Smart-card service: unknown resource manager error."},
    {0x8010002Cu, "SCARD_E_NO_SUCH_CERTIFICATE", "No such certificate."},
    {0x8010002Du, "SCARD_E_CERTIFICATE_UNAVAILABLE", "The certificate cannot be obtained."},
    {0x8010002Eu, "SCARD_E_NO_READERS_AVAILABLE", "No smart-card reader is attached."},
    {0x8010002Fu, "SCARD_E_COMM_DATA_LOST", "Data were lost talking to the card."},
    {0x80100030u, "SCARD_E_NO_KEY_CONTAINER", "No key container on the card."},
    {0x80100031u, "SCARD_E_SERVER_TOO_BUSY", "The smart-card service is too busy."},
    {0x80100065u, "SCARD_W_UNSUPPORTED_CARD", "The card does not answer to reset."},
    {0x80100066u, "SCARD_W_UNRESPONSIVE_CARD", "The card does not respond."},
    {0x80100067u, "SCARD_W_UNPOWERED_CARD", "The card has no power."},
    {0x80100068u, "SCARD_W_RESET_CARD", "The card was reset."},
    {0x80100069u, "SCARD_W_REMOVED_CARD", "The card was removed."},
    {0x8010006Au, "SCARD_W_SECURITY_VIOLATION", "Security violation."},
    {0x8010006Bu, "SCARD_W_WRONG_CHV", "The PIN was not accepted."},
    {0x8010006Cu, "SCARD_W_CHV_BLOCKED", "The PIN is blocked."},
    {0x8010006Du, "SCARD_W_EOF", "End of the card file."},
    {0x8010006Eu, "SCARD_W_CANCELLED_BY_USER", "Cancelled by the user."},
    {0x8010006Fu, "SCARD_W_CARD_NOT_AUTHENTICATED", "No PIN was presented to the card."},
};

// What a card's status word means to the person at the desk.
struct StatusEntry {
    uint16_t sw;
    uint16_t mask;
    const char* message;
};

constexpr StatusEntry kStatusWords[] = {
    {0x9000, 0xFFFF, "the command succeeded"},
    {0x6281, 0xFFFF, "part of the returned data may be corrupted"},
    {0x6282, 0xFFFF, "the file ended before the requested length"},
    {0x6581, 0xFFFF, "the card's memory failed"},
    {0x6700, 0xFFFF, "the command's length is wrong"},
    {0x6981, 0xFFFF, "the command does not fit the file's structure"},
    {0x6982, 0xFFFF, "access denied: verify the PIN (or authenticate) first"},
    {0x6983, 0xFFFF, "the PIN or key is blocked"},
    {0x6984, 0xFFFF, "the referenced data cannot be used"},
    {0x6985, 0xFFFF, "the conditions of use are not met"},
    {0x6986, 0xFFFF, "the command is not allowed (no current file)"},
    {0x6988, 0xFFFF, "the secure-messaging MAC or cryptogram is wrong"},
    {0x6A80, 0xFFFF, "the data in the command are wrong, or a signature does not hold"},
    {0x6A81, 0xFFFF, "the function is not supported"},
    {0x6A82, 0xFFFF, "file or application not found"},
    {0x6A83, 0xFFFF, "record not found"},
    {0x6A84, 0xFFFF, "not enough memory space on the card"},
    {0x6A86, 0xFFFF, "wrong parameters P1-P2"},
    {0x6A88, 0xFFFF, "the referenced data are not found"},
    {0x6B00, 0xFFFF, "wrong offset: outside the file"},
    {0x6D00, 0xFFFF, "the card does not know this instruction"},
    {0x6E00, 0xFFFF, "the card does not know this instruction class"},
    {0x6F00, 0xFFFF, "the card reports an internal error"},
    {0x6C00, 0xFF00, "wrong expected length"},
    {0x6100, 0xFF00, "more answer data are waiting"},
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

std::string DescribeStatusWord(uint32_t sw) {
    sw &= 0xFFFF;
    if ((sw & 0xFFF0) == 0x63C0) {
        const uint32_t tries = sw & 0x0F;
        if (tries == 0) return "wrong PIN, no tries left";
        return "wrong PIN, " + std::to_string(tries) + (tries == 1 ? " try left" : " tries left");
    }
    for (const StatusEntry& entry : kStatusWords) {
        if ((sw & entry.mask) == entry.sw) return entry.message;
    }
    return "status word " + Hex4(sw);
}

std::string ResultName(uint32_t code) {
    if (const Entry* entry = Find(code)) return entry->name;
    if (QAV_IS_CARD_STATUS(code)) return "QAV_CARD_STATUS(" + Hex4(code) + ")";
    if (code <= 0xFFFF && code >= 0x6000) return "status word " + Hex4(code);
    return Hex8(code);
}

std::string DescribeResult(uint32_t code) {
    if (const Entry* entry = Find(code)) return entry->message;
    if (QAV_IS_CARD_STATUS(code)) {
        return "The card answered " + Hex4(code) + ": " + DescribeStatusWord(code) + ".";
    }
    if (code <= 0xFFFF && code >= 0x6000) {
        return "Fetching the card's answer failed with " + Hex4(code) + ": " +
               DescribeStatusWord(code) + ".";
    }
    if ((code & 0xFFFF0000u) == 0x80100000u) return "Smart-card service error " + Hex8(code) + ".";
    if ((code & 0xFFFF0000u) == 0xE0170000u) return "Library error " + Hex8(code) + ".";
    return "System error " + std::to_string(code) + ".";
}

}  // namespace qavtool
