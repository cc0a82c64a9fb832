#include "api/device_state.h"

#include <array>

#include "api/payment_application.h"
#include "device/seal_application.h"
#include "qavseal/qavseal.h"

namespace qav::api {
namespace {

constexpr uint16_t kStateFile = 0xA0F3;

uint32_t PinMarkerState(CDevice& device, uint32_t* state) {
    if (const uint32_t rc = SelectSealApplication(device, 0, 0)) return rc;
    uint8_t marker = 0;
    uint32_t length = 1;
    if (const uint32_t rc = ReadCardFile(device, kPinMarkerFile, kPinMarkerOffset, &marker, &length,
                                         nullptr, 0, 0)) {
        return rc;
    }
    *state = marker == 0x01 ? 1 : 0;
    return QAV_OK;
}

uint32_t StateFileState(CDevice& device, uint32_t* state) {
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

}  // namespace

uint32_t ReadDeviceState(CDevice& device, uint32_t kind, uint32_t* state) {
    switch (kind) {
        case 1:
            return PinMarkerState(device, state);
        case 2:
            return StateFileState(device, state);
        case 3:
            return QAV_E_NOT_SUPPORTED;
        default:
            return FindPaymentApplication(device, state);
    }
}

}  // namespace qav::api
