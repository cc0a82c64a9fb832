// The payment application a seal key may carry beside the seal
// application: which one answers, and the account number it holds.
#pragma once

#include <array>
#include <cstdint>

#include "device/device.h"

namespace qav::api {

using PaymentAid = std::array<uint8_t, 8>;

// A0 00 00 03 33 01 01 followed by this last byte.
PaymentAid PaymentAidEnding(uint8_t last) noexcept;

// Selects a payment directory, then the applications ending 01, 02, 03, 06
// in turn (each without Le, again with Le 00 after 6700): *state is the
// position (1..4) of the first that answers 9000.
uint32_t FindPaymentApplication(CDevice& device, uint32_t* state);

}  // namespace qav::api
