// Short command APDUs as the card receives them, and its answers.
#pragma once

#include <optional>

#include "bytes.h"

namespace vcard {

struct Apdu {
  uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
  Bytes data;
  bool hasLe = false;
  size_t le = 0;  // 1..256 when hasLe
};

// Empty optional when the length bytes do not add up.
std::optional<Apdu> ParseApdu(const Bytes& command);

struct Answer {
  Bytes data;
  uint16_t sw = 0x9000;
};

inline Answer Status(uint16_t sw) { return Answer{{}, sw}; }
inline Answer Ok(Bytes data = {}) { return Answer{std::move(data), 0x9000}; }

namespace sw {
constexpr uint16_t kOk = 0x9000;
constexpr uint16_t kWrongLength = 0x6700;
constexpr uint16_t kSecurity = 0x6982;
constexpr uint16_t kBlocked = 0x6983;
constexpr uint16_t kConditions = 0x6985;
constexpr uint16_t kNoCurrentEf = 0x6986;
constexpr uint16_t kSmBadMac = 0x6988;
constexpr uint16_t kWrongData = 0x6A80;
constexpr uint16_t kNotFound = 0x6A82;
constexpr uint16_t kRecordNotFound = 0x6A83;
constexpr uint16_t kNoSpace = 0x6A84;
constexpr uint16_t kWrongP1P2 = 0x6A86;
constexpr uint16_t kRefNotFound = 0x6A88;
constexpr uint16_t kWrongOffset = 0x6B00;
constexpr uint16_t kBadIns = 0x6D00;
constexpr uint16_t kBadCla = 0x6E00;
constexpr uint16_t kNoPrecise = 0x6F00;
}  // namespace sw

}  // namespace vcard
