// Commands and application names more than one part of the library sends.
// Card commands take a header from here and set what varies (P1, P2).
#pragma once

#include <cstdint>
#include <vector>

#include "reader/apdu.h"

namespace qav {

inline constexpr ApduHeader kGetResponseHeader{0x00, 0xC0, 0x00, 0x00};
inline constexpr ApduHeader kSelectHeader{0x00, 0xA4, 0x00, 0x00};
inline constexpr uint8_t kSelectByNameP1 = 0x04;
inline constexpr ApduHeader kReadBinaryHeader{0x00, 0xB0, 0x00, 0x00};
inline constexpr ApduHeader kUpdateBinaryHeader{0x00, 0xD6, 0x00, 0x00};
inline constexpr ApduHeader kSecuredUpdateBinaryHeader{0x04, 0xD6, 0x00, 0x00};
inline constexpr ApduHeader kGetChallengeHeader{0x00, 0x84, 0x00, 0x00};
inline constexpr ApduHeader kExternalAuthHeader{0x00, 0x82, 0x00, 0x00};
inline constexpr ApduHeader kVerifyPinHeader{0x00, 0x20, 0x00, 0x00};
inline constexpr ApduHeader kChangePinHeader{0x80, 0x5E, 0x01, 0x00};
inline constexpr ApduHeader kReloadPinHeader{0x84, 0x5E, 0x00, 0x00};
// The identity-card readers' PIN pad: P2 00 verifies, 01 changes.
inline constexpr ApduHeader kPinPadHeader{0xF0, 0xF2, 0x00, 0x00};

// A0 00 00 04 "SKMP" and A0 00 00 00 03 "ZEL".
inline constexpr uint8_t kSealApplicationName[8] = {0xA0, 0x00, 0x00, 0x04, 0x53, 0x4B, 0x4D, 0x50};
inline constexpr uint8_t kIdentityApplicationName[8] = {0xA0, 0x00, 0x00, 0x00,
                                                        0x03, 0x5A, 0x45, 0x4C};

// 00 A4 04 00 Lc name, for code that sends raw bytes rather than a CApdu.
inline std::vector<uint8_t> EncodeSelectByName(const uint8_t* name, uint32_t length) {
    ApduHeader header = kSelectHeader;
    header.p1 = kSelectByNameP1;
    const CApdu select = CApdu::WithData(nullptr, header, name, length);
    return {select.Command(), select.Command() + select.CommandLength()};
}

}  // namespace qav
