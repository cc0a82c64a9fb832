// Card answers to the seal card's signing, seal-data and file commands, to
// its authentication, key and cipher commands, and to the identity card's
// commands, all taken from the fuzz input. Nothing
// may read or write past a buffer, no answer may make an operation loop,
// and every output an operation reports as set must be one it could set.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "card/identity/card_zel.h"
#include "card/seal/card_seal.h"
#include "fuzz_reader.h"
#include "qavseal/qavseal.h"

namespace {

using qav::fuzz::Require;

constexpr uint32_t kMaxExchanges = 512;
constexpr uint32_t kUnset = 0xA5A5A5A5u;

uint32_t QAV_CALLBACK Encrypt(const uint8_t*, uint32_t challengeLength, const uint8_t* plain,
                              uint32_t plainLength, uint8_t* out, uint32_t* outLength, uintptr_t,
                              uintptr_t) {
    Require(challengeLength <= 16 && plainLength <= 255);
    const uint32_t padded = (plainLength / 16 + 1) * 16;
    if (padded > *outLength) return 0xE0170028u;
    std::memcpy(out, plain, plainLength);
    std::memset(out + plainLength, 0, padded - plainLength);
    *outLength = padded;
    return QAV_OK;
}

uint32_t QAV_CALLBACK Mac(const uint8_t*, uint32_t, const uint8_t* command, uint32_t length,
                          uint8_t* mac, uintptr_t, uintptr_t) {
    Require(length >= 5 && uint32_t{command[4]} == length - 5 + 4);  // Lc already counts the MAC
    std::memset(mac, 0x4D, 4);
    return QAV_OK;
}

uint32_t QAV_CALLBACK Cryptogram(const uint8_t*, uint32_t, uint8_t* out, uint32_t* outLength,
                                 uintptr_t, uintptr_t) {
    Require(*outLength == 255);
    std::memset(out, 0x3C, 8);
    *outLength = 8;
    return QAV_OK;
}

uint32_t QAV_CALLBACK Progress(uint32_t percent, uintptr_t, uint32_t) {
    Require(percent <= 100);
    return 0;
}

void DriveSealCard(qav::CCardSeal& card, bool t1) {
    std::array<uint8_t, 32> hash{};
    std::array<uint8_t, 64> signature{};
    uint32_t outLength = 64;
    uint32_t location = kUnset;
    if (card.SealSign(0x2101, 0, 1, hash.data(), 32, t1 ? "text" : nullptr, signature.data(),
                      &outLength, nullptr, 0) == QAV_OK) {
        Require(outLength == 64);
    }
    outLength = 1;
    if (card.SealSign(0, 5, 2, nullptr, 0, nullptr, nullptr, &outLength, &location, 0) == QAV_OK) {
        Require(location <= 0xFFFF);
    }
    location = kUnset;
    if (card.SealSign(0x2101, 5, 0, hash.data(), 32, "", nullptr, &outLength, &location, 0) ==
        QAV_OK) {
        Require(location <= 0xFFFF);
    }

    const std::vector<uint8_t> data(300, 0x5A);
    std::array<uint8_t, 32> digest{};
    uint32_t digestLength = 32;
    if (card.SealWrite(data.data(), 300, digest.data(), &digestLength, 0) == QAV_OK) {
        Require(digestLength == 32);
    }
    (void)card.UpdateBinary(0x10, data.data(), 300, 8, Encrypt, Mac, Progress, 0, 0);

    std::vector<uint8_t> file(500);
    uint32_t length = 500;
    (void)card.ReadBinary(0x100, file.data(), &length, Progress, 0, 0);
    Require(length == 500);
    (void)card.ReadBinary(0, nullptr, &length, Progress, 0, 0);
    (void)card.Reset(0);
}

void DriveSealKeyCommands(qav::CCardSeal& card) {
    std::vector<uint8_t> out(512);
    std::array<uint8_t, 16> first{};
    const std::vector<uint8_t> data(480, 0x11);
    uint32_t tries = kUnset;
    const uint32_t auth = card.ExternalAuth(1, 8, Cryptogram, &tries, 0, 0);
    if (auth == QAV_E_PIN_WRONG || auth == QAV_E_PIN_BLOCKED) Require(tries <= 15);
    uint32_t length = 16;
    if (card.InternalAuth(1, data.data(), 16, out.data(), &length, 0) == QAV_OK) {
        Require(length == 16);
    }
    if (card.GenerateToken1(6, 1, out.data(), &length, 0) == QAV_OK) Require(length == 16);
    (void)card.GenerateSK(6, 1, nullptr, 0, 0);
    if (card.ExportAppAuthKey(2, out.data(), &length, 0) == QAV_OK) Require(length <= 16);
    length = 480;
    (void)card.CipherData(0, 0, 0, data.data(), 16, data.data(), 16, 1, data.data(), 480,
                          out.data(), &length, 0);
    Require(length <= 480);
    length = 4;
    (void)card.CipherData(0, 1, 1, nullptr, 0, data.data(), 16, 1, data.data(), 240, out.data(),
                          &length, 0);
    Require(length <= 4);
    length = 417;
    if (card.SessionKeyCipher(1, 2, 1, data.data(), 16, data.data(), 417, out.data(), &length, 0) ==
        QAV_OK) {
        Require(length == 417);
    }
    length = static_cast<uint32_t>(out.size());
    uint32_t firstLength = 16;
    if (card.ExportPublicKey(0, 0x2F01, 0, 0, 0, 0, out.data(), &length, first.data(), &firstLength,
                             0) == QAV_OK) {
        Require(length <= out.size() && firstLength <= 16);
    }
}

void DriveIdentityCard(qav::CCardZel& card) {
    uint32_t tries = kUnset;
    const uint32_t verify = card.VerifyPIN(0, "123456", 6, &tries, 0);
    if (verify == QAV_E_PIN_WRONG || verify == QAV_E_PIN_BLOCKED) Require(tries <= 15);
    tries = kUnset;
    const uint32_t change = card.ChangePIN(0, "1234", 4, "56789", 5, &tries, 0);
    if (change == QAV_E_PIN_WRONG || change == QAV_E_PIN_BLOCKED) Require(tries <= 15);
    (void)card.VerifyPIN(0, nullptr, 0, &tries, 1);
    tries = kUnset;
    const uint32_t auth = card.ExternalAuth(1, 8, Cryptogram, &tries, 0, 0);
    if (auth == QAV_E_PIN_WRONG || auth == QAV_E_PIN_BLOCKED) Require(tries <= 15);
    (void)card.WriteSecuredBlock(1, Encrypt, 16, Mac, 0, 0);

    std::array<uint8_t, 16> challenge{};
    (void)card.GetChallenge(challenge.data(), 16, 0);
    std::vector<uint8_t> file(300);
    uint32_t length = 300;
    (void)card.ReadBinary(0, file.data(), &length, 0);
    const std::vector<uint8_t> data(260, 0xA5);
    (void)card.UpdateBinary(0, data.data(), 260, 4, Encrypt, Mac, 0, 0);
    (void)card.SelectFile(0, nullptr, 0, 0x3F00, nullptr, nullptr, 0);
}

}  // namespace

// Byte 0: bit 0 picks T=1, bit 1 the identity card, bit 2 the seal card's
// key commands; the rest are answers.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool t1 = (data[0] & 1) != 0;
    const uint32_t protocol = t1 ? qav::kProtocolT1 : qav::kProtocolT0;
    qav::fuzz::FuzzReader reader(data + 1, size - 1, protocol, kMaxExchanges);
    if ((data[0] & 2) != 0) {
        qav::CCardZel card(&reader);
        DriveIdentityCard(card);
    } else if ((data[0] & 4) != 0) {
        qav::CCardSeal card(&reader);
        DriveSealKeyCommands(card);
    } else {
        qav::CCardSeal card(&reader);
        DriveSealCard(card, t1);
    }
    return 0;
}
