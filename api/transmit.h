// One raw command through a device, as QAV_Transmit sends it.
#pragma once

#include <cstdint>

#include "device/device.h"

namespace qav::api {

// One command through the device's reader; an answer announced with 61xx is
// gathered whole with GET RESPONSE, then copied only if it fits. Other
// status words are the caller's to judge: they are not turned into results.
uint32_t TransmitRaw(CDevice& device, const uint8_t* command, uint32_t commandLength,
                     uint8_t* response, uint32_t* responseLength, uint32_t* statusWord);

}  // namespace qav::api
