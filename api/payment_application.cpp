#include "api/payment_application.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "api/transmit.h"
#include "card/common/card_output.h"
#include "card/seal/card_seal.h"
#include "codec/hex.h"
#include "device/ber.h"
#include "device/seal_application.h"
#include "qavseal/qavseal.h"
#include "reader/iso_commands.h"
#include "reader/status_words.h"

namespace qav::api {
namespace {

constexpr uint32_t kPaymentResponseSize = 256;
constexpr uint8_t kStateAidEndings[] = {0x01, 0x02, 0x03, 0x06};
constexpr uint8_t kCardNumberAidEndings[] = {0x01, 0x02, 0x06};
constexpr uint32_t kRecordSize = 255;
constexpr uint8_t kTrackDataTag = 0x57;

using Command = std::vector<uint8_t>;

Command SelectByName(const uint8_t* name, size_t length) {
    return EncodeSelectByName(name, static_cast<uint32_t>(length));
}

Command SelectDirectory(const char* name) {
    return SelectByName(reinterpret_cast<const uint8_t*>(name), std::strlen(name));
}

// Sends a selection without Le; a card that wants Le (6700) gets the same
// command with Le 00. Result: the transport's error, or 0 with the status.
// A failing second send counts as "no 9000" rather than as an error.
uint32_t SelectWithLeRetry(CDevice& device, const Command& command, uint32_t* statusWord) {
    std::vector<uint8_t> response(kPaymentResponseSize);
    uint32_t length = kPaymentResponseSize;
    if (const uint32_t rc =
            TransmitRaw(device, command.data(), static_cast<uint32_t>(command.size()),
                        response.data(), &length, statusWord)) {
        return rc;
    }
    if (*statusWord != kStatusWrongLength) return QAV_OK;
    Command withLe = command;
    withLe.push_back(0x00);
    std::fill(response.begin(), response.end(), 0);
    length = kPaymentResponseSize;
    if (TransmitRaw(device, withLe.data(), static_cast<uint32_t>(withLe.size()), response.data(),
                    &length, statusWord) != QAV_OK) {
        *statusWord = 0;
    }
    return QAV_OK;
}

uint32_t SelectCardNumberApplication(CCardSeal& card) {
    uint32_t rc = QAV_OK;
    for (const uint8_t ending : kCardNumberAidEndings) {
        const PaymentAid aid = PaymentAidEnding(ending);
        // Only whether it answers matters, whatever the length of its answer.
        uint32_t length = 0;
        rc = card.SelectFile(1, aid.data(), static_cast<uint32_t>(aid.size()), 0, nullptr, &length,
                             0);
        if (rc == QAV_OK) break;
    }
    return rc;
}

// READ RECORD 1 of short file 1; a 6Cxx answer is asked again with that Le.
uint32_t ReadFirstRecord(CDevice& device, std::vector<uint8_t>* record) {
    uint8_t command[] = {0x00, 0xB2, 0x01, 0x0C, 0x00};
    record->assign(kRecordSize, 0);
    uint32_t length = kRecordSize;
    uint32_t sw = 0;
    if (const uint32_t rc =
            TransmitRaw(device, command, sizeof command, record->data(), &length, &sw)) {
        return rc;
    }
    if ((sw >> 8) == 0x6C) {
        command[4] = static_cast<uint8_t>(sw);
        length = kRecordSize;
        if (const uint32_t rc =
                TransmitRaw(device, command, sizeof command, record->data(), &length, &sw)) {
            return rc;
        }
    }
    if (sw != 0x9000) return QAV_CARD_STATUS(sw);
    record->resize(std::min(length, kRecordSize));
    return QAV_OK;
}

}  // namespace

PaymentAid PaymentAidEnding(uint8_t last) noexcept {
    return {0xA0, 0x00, 0x00, 0x03, 0x33, 0x01, 0x01, last};
}

uint32_t FindPaymentApplication(CDevice& device, uint32_t* state) {
    bool found = false;
    for (const char* directory : {"1PAY.SYS.DDF01", "2PAY.SYS.DDF01"}) {
        uint32_t sw = 0;
        if (const uint32_t rc = SelectWithLeRetry(device, SelectDirectory(directory), &sw)) {
            return rc;
        }
        if (sw == kStatusOk) {
            found = true;
            break;
        }
    }
    if (!found) return QAV_E_NOT_FOUND;

    for (uint32_t i = 0; i < sizeof kStateAidEndings; ++i) {
        const PaymentAid aid = PaymentAidEnding(kStateAidEndings[i]);
        uint32_t sw = 0;
        if (const uint32_t rc =
                SelectWithLeRetry(device, SelectByName(aid.data(), aid.size()), &sw)) {
            return rc;
        }
        if (sw == kStatusOk) {
            *state = i + 1;
            return QAV_OK;
        }
    }
    return QAV_E_NOT_FOUND;
}

uint32_t CardNumberFromRecord(const uint8_t* record, uint32_t length, std::string* number) {
    const uint8_t* element = FindBerTag(record, length, kTrackDataTag);
    if (element == nullptr) return QAV_E_NOT_FOUND;
    // The element's own one-byte length, bounded by the record. In the
    // usual record, 70 L 57 L' track, it is the record length - 4.
    const auto at = static_cast<uint32_t>(element - record);
    if (at + 2 > length || element[1] >= 0x80) return QAV_E_NOT_FOUND;
    const uint32_t valueLength = std::min<uint32_t>(element[1], length - at - 2);
    if (valueLength == 0) return QAV_E_NOT_FOUND;
    uint32_t textSize = 0;
    if (const uint32_t rc = BytesToHex(element + 2, valueLength, nullptr, &textSize)) return rc;
    std::string text(textSize, '\0');
    if (const uint32_t rc = BytesToHex(element + 2, valueLength, text.data(), &textSize)) return rc;
    text.resize(textSize - 1);
    const size_t separator = text.find_first_of("Dd");
    if (separator != std::string::npos) text.resize(separator);
    *number = std::move(text);
    return QAV_OK;
}

uint32_t ReadCardNumber(CDevice& device, char* out, uint32_t* outLength) {
    CCardSeal* card = SealCardOf(device);
    if (card == nullptr) return QAV_E_NOT_SUPPORTED;
    if (const uint32_t rc = SelectCardNumberApplication(*card)) return rc;
    std::vector<uint8_t> record;
    if (const uint32_t rc = ReadFirstRecord(device, &record)) return rc;
    std::string number;
    if (const uint32_t rc =
            CardNumberFromRecord(record.data(), static_cast<uint32_t>(record.size()), &number)) {
        return rc;
    }
    return HandOut(reinterpret_cast<const uint8_t*>(number.c_str()),
                   static_cast<uint32_t>(number.size() + 1), reinterpret_cast<uint8_t*>(out),
                   outLength);
}

}  // namespace qav::api
