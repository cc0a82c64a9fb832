// The state questions of QAV_GetState.
#pragma once

#include <cstdint>

#include "device/device.h"

namespace qav::api {

// Where QAV_ChangePIN marks a changed PIN, and QAV_GetState kind 1 looks.
inline constexpr uint16_t kPinMarkerFile = 0x1011;
inline constexpr uint32_t kPinMarkerOffset = 999;

// kind 1: PIN-change marker; 2: file A0F3 holds data; 3: not supported;
// 4: which payment application answers (1..4).
uint32_t ReadDeviceState(CDevice& device, uint32_t kind, uint32_t* state);

}  // namespace qav::api
