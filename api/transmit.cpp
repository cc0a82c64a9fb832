#include "api/transmit.h"

#include <algorithm>
#include <array>
#include <vector>

#include "card/card.h"
#include "device/seal_application.h"
#include "qavseal/qavseal.h"
#include "reader/iso_commands.h"
#include "reader/status_words.h"

namespace qav::api {
namespace {

constexpr uint16_t kPinMarkerFile = 0x1011;
constexpr uint32_t kPinMarkerOffset = 999;
constexpr uint16_t kStateFile = 0xA0F3;
constexpr uint32_t kPaymentResponseSize = 256;

using Command = std::vector<uint8_t>;

Command SelectByAid(const std::vector<uint8_t>& aid) {
    return EncodeSelectByName(aid.data(), static_cast<uint32_t>(aid.size()));
}

std::vector<uint8_t> Text(const char* text) {
    std::vector<uint8_t> bytes;
    for (; *text != '\0'; ++text) bytes.push_back(static_cast<uint8_t>(*text));
    return bytes;
}

// Sends a selection without Le; a card that wants Le (6700) gets the same
// command with Le 00. Result: the transport's error, or 0 with the status.
// A failing second send counts as "no 9000" rather than as an error.
uint32_t SelectWithLeRetry(CDevice& device, const Command& command, uint32_t* statusWord) {
    std::array<uint8_t, kPaymentResponseSize> response{};
    uint32_t length = kPaymentResponseSize;
    if (const uint32_t rc =
            TransmitRaw(device, command.data(), static_cast<uint32_t>(command.size()),
                        response.data(), &length, statusWord)) {
        return rc;
    }
    if (*statusWord != kStatusWrongLength) return QAV_OK;
    Command withLe = command;
    withLe.push_back(0x00);
    response.fill(0);
    length = kPaymentResponseSize;
    if (TransmitRaw(device, withLe.data(), static_cast<uint32_t>(withLe.size()), response.data(),
                    &length, statusWord) != QAV_OK) {
        *statusWord = 0;
    }
    return QAV_OK;
}

uint32_t PaymentApplication(CDevice& device, uint32_t* state) {
    const Command directories[] = {SelectByAid(Text("1PAY.SYS.DDF01")),
                                   SelectByAid(Text("2PAY.SYS.DDF01"))};
    bool found = false;
    for (const Command& command : directories) {
        uint32_t sw = 0;
        if (const uint32_t rc = SelectWithLeRetry(device, command, &sw)) return rc;
        if (sw == kStatusOk) {
            found = true;
            break;
        }
    }
    if (!found) return QAV_E_NOT_FOUND;

    const uint8_t lastByte[] = {0x01, 0x02, 0x03, 0x06};
    for (uint32_t i = 0; i < 4; ++i) {
        const Command command =
            SelectByAid({0xA0, 0x00, 0x00, 0x03, 0x33, 0x01, 0x01, lastByte[i]});
        uint32_t sw = 0;
        if (const uint32_t rc = SelectWithLeRetry(device, command, &sw)) return rc;
        if (sw == kStatusOk) {
            *state = i + 1;
            return QAV_OK;
        }
    }
    return QAV_E_NOT_FOUND;
}

}  // namespace

uint32_t TransmitRaw(CDevice& device, const uint8_t* command, uint32_t commandLength,
                     uint8_t* response, uint32_t* responseLength, uint32_t* statusWord) {
    const uint32_t capacity = *responseLength;
    if (const uint32_t rc = device.reader->Transmit(command, commandLength, response,
                                                    responseLength, statusWord, 0)) {
        return rc;
    }
    if (!IsBytesWaiting(*statusWord)) return QAV_OK;
    *responseLength = capacity;
    return device.card->GetResponse(statusWord, response, responseLength);
}

uint32_t ReadDeviceState(CDevice& device, uint32_t kind, uint32_t* state) {
    switch (kind) {
        case 1: {
            if (const uint32_t rc = SelectSealApplication(device, 0, 0)) return rc;
            uint8_t marker = 0;
            uint32_t length = 1;
            if (const uint32_t rc = ReadCardFile(device, kPinMarkerFile, kPinMarkerOffset, &marker,
                                                 &length, nullptr, 0, 0)) {
                return rc;
            }
            *state = marker == 0x01 ? 1 : 0;
            return QAV_OK;
        }
        case 2: {
            if (const uint32_t rc = SelectSealApplication(device, 0, 0)) return rc;
            std::array<uint8_t, 4> content{};
            uint32_t length = 4;
            if (const uint32_t rc =
                    ReadCardFile(device, kStateFile, 0, content.data(), &length, nullptr, 0, 0)) {
                return rc;
            }
            *state = (content[0] | content[1] | content[2] | content[3]) != 0 ? 1 : 0;
            return QAV_OK;
        }
        case 3:
            return QAV_E_NOT_SUPPORTED;
        default:
            return PaymentApplication(device, state);
    }
}

}  // namespace qav::api
