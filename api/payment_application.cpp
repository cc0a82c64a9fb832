#include "api/payment_application.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "api/transmit.h"
#include "qavseal/qavseal.h"
#include "reader/iso_commands.h"
#include "reader/status_words.h"

namespace qav::api {
namespace {

constexpr uint32_t kPaymentResponseSize = 256;
constexpr uint8_t kStateAidEndings[] = {0x01, 0x02, 0x03, 0x06};

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

}  // namespace qav::api
