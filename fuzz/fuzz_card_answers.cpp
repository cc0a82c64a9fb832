// Every card answer is untrusted: a reader that takes each answer from the
// fuzz input drives the exchange (61xx, 6Cxx, GET RESPONSE) and the seal
// card's selection, challenge and PIN commands. Nothing may read or write
// past a buffer, and no answer may make an operation loop.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "card/seal/card_seal.h"
#include "fuzz_reader.h"
#include "qavseal/qavseal.h"

namespace {

using qav::fuzz::FuzzReader;
using qav::fuzz::Require;

constexpr uint32_t kMaxExchanges = 64;

uint32_t QAV_CALLBACK Encrypt(const uint8_t*, uint32_t, const uint8_t* plain, uint32_t plainLength,
                              uint8_t* out, uint32_t* outLength, uintptr_t, uintptr_t) {
    Require(*outLength >= plainLength);
    std::memcpy(out, plain, plainLength);
    *outLength = plainLength;
    return 1;
}

uint32_t QAV_CALLBACK Mac(const uint8_t*, uint32_t, const uint8_t*, uint32_t, uint8_t* mac,
                          uintptr_t, uintptr_t) {
    std::memset(mac, 0x4D, 4);
    return QAV_OK;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint32_t protocol = (data[0] & 1) != 0 ? qav::kProtocolT1 : qav::kProtocolT0;
    const uint32_t capacity = data[1];
    FuzzReader reader(data + 2, size - 2, protocol, kMaxExchanges);
    qav::CCardSeal card(&reader);

    std::array<uint8_t, 255> fci{};
    uint32_t fciLength = capacity;
    if (card.SelectFile(0, nullptr, 0, 0x3F00, fci.data(), &fciLength, 1) == QAV_OK) {
        Require(fciLength <= capacity);
    }
    std::array<uint8_t, 16> challenge{};
    (void)card.GetChallenge(challenge.data(), 16, 0);

    uint32_t tries = 0xFF;
    const uint32_t verify = card.VerifyPIN(0, "12345", 5, &tries, 0);
    if (verify == QAV_E_PIN_WRONG || verify == QAV_E_PIN_BLOCKED) Require(tries <= 15);
    (void)card.ChangePIN(0, nullptr, 0, nullptr, 0, &tries, 1);
    (void)card.ReloadPIN(data[0] & 1, 8, Encrypt, Mac, "0000", 4, &tries, 0, 0);
    return 0;
}
