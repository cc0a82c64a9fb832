// The payment application a seal key may carry beside the seal
// application: which one answers, and the account number it holds.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "device/device.h"

namespace qav::api {

using PaymentAid = std::array<uint8_t, 8>;

// A0 00 00 03 33 01 01 followed by this last byte.
PaymentAid PaymentAidEnding(uint8_t last) noexcept;

// Selects a payment directory, then the applications ending 01, 02, 03, 06
// in turn (each without Le, again with Le 00 after 6700): *state is the
// position (1..4) of the first that answers 9000.
uint32_t FindPaymentApplication(CDevice& device, uint32_t* state);

// The account number in a payment record: the track data of element 57 as
// upper-case hexadecimal, up to its field separator D. QAV_E_NOT_FOUND
// without an element 57.
uint32_t CardNumberFromRecord(const uint8_t* record, uint32_t length, std::string* number);

// Selects a payment application by name (ending 01, 02, then 06), reads
// its first record and hands over the account number, NUL-terminated, with
// the size protocol (*outLength counts the NUL).
uint32_t ReadCardNumber(CDevice& device, char* out, uint32_t* outLength);

}  // namespace qav::api
