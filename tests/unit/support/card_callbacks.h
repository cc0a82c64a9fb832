// Stand-ins for the application's callbacks: a logged, predictable cipher
// (bytes inverted, then 80 00.. up to whole 16-byte blocks, a full block
// more when already aligned), a fixed MAC, and progress. All three take the
// address of one log as their first user value, as the seal card hands the
// same value to each.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "qavseal/qavseal.h"
#include "support/scripted_reader.h"

namespace qav::test {

inline constexpr uint32_t kCallbackFailure = 0x0000BEEF;
inline const std::vector<uint8_t> kFakeMac = {0x4D, 0x41, 0x43, 0x21};

struct CallbackLog {
    std::vector<std::string> challenges;
    std::vector<std::vector<uint8_t>> plains;
    std::vector<uint32_t> rooms;  // *outLength offered to encrypt
    std::vector<std::string> macInputs;
    std::vector<uintptr_t> secondUsers;
    uint32_t encryptResult = QAV_OK;
    uint32_t macResult = QAV_OK;
    uint32_t claimedLength = 0;  // non-zero: encrypt reports this length instead
    std::vector<uint32_t> percents;

    uintptr_t User() { return reinterpret_cast<uintptr_t>(this); }
};

inline std::vector<uint8_t> FakeCryptogram(const uint8_t* plain, size_t length) {
    std::vector<uint8_t> out((length / 16 + 1) * 16, 0);
    for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(~plain[i]);
    out[length] = 0x80;
    return out;
}

inline std::vector<uint8_t> FakeCryptogram(const std::vector<uint8_t>& plain) {
    return FakeCryptogram(plain.data(), plain.size());
}

inline uint32_t QAV_CALLBACK LoggedEncrypt(const uint8_t* challenge, uint32_t challengeLength,
                                           const uint8_t* plain, uint32_t plainLength, uint8_t* out,
                                           uint32_t* outLength, uintptr_t user1, uintptr_t user2) {
    auto* log = reinterpret_cast<CallbackLog*>(user1);
    log->challenges.push_back(Hex(challenge, challengeLength));
    log->plains.emplace_back(plain, plain + plainLength);
    log->rooms.push_back(*outLength);
    log->secondUsers.push_back(user2);
    if (log->encryptResult != QAV_OK) return log->encryptResult;
    const std::vector<uint8_t> cryptogram = FakeCryptogram(plain, plainLength);
    if (cryptogram.size() > *outLength) return kCallbackFailure;
    std::copy(cryptogram.begin(), cryptogram.end(), out);
    *outLength =
        log->claimedLength != 0 ? log->claimedLength : static_cast<uint32_t>(cryptogram.size());
    return QAV_OK;
}

inline uint32_t QAV_CALLBACK LoggedMac(const uint8_t*, uint32_t, const uint8_t* command,
                                       uint32_t commandLength, uint8_t* mac, uintptr_t user1,
                                       uintptr_t) {
    auto* log = reinterpret_cast<CallbackLog*>(user1);
    log->macInputs.push_back(Hex(command, commandLength));
    if (log->macResult != QAV_OK) return log->macResult;
    std::copy(kFakeMac.begin(), kFakeMac.end(), mac);
    return QAV_OK;
}

inline uint32_t QAV_CALLBACK LoggedProgress(uint32_t percent, uintptr_t user, uint32_t reserved) {
    auto* log = reinterpret_cast<CallbackLog*>(user);
    log->percents.push_back(percent);
    EXPECT_EQ(reserved, 0u);
    return 0;
}

// Bytes joined: Join(a, b, c).
inline std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts) {
    size_t total = 0;
    for (const auto& part : parts) total += part.size();
    std::vector<uint8_t> out(total);
    auto at = out.begin();
    for (const auto& part : parts) at = std::copy(part.begin(), part.end(), at);
    return out;
}

// header, then Lc = the data's length, then the data, as hex.
inline std::string Command(std::string_view header, const std::vector<uint8_t>& data) {
    return Hex(Join({Bytes(header), {static_cast<uint8_t>(data.size())}, data}));
}

// length bytes counting up from first.
inline std::vector<uint8_t> Counting(size_t length, uint8_t first = 0) {
    std::vector<uint8_t> out(length);
    for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(first + i);
    return out;
}

// An answer: data then 90 00, as hex.
inline std::string Answer(const std::vector<uint8_t>& data, std::string_view status = "90 00") {
    return Hex(Join({data, Bytes(status)}));
}

}  // namespace qav::test
