// Card answers to the key, cipher, hash and certificate commands both card
// classes share, taken from the fuzz input. Nothing may read or write past
// a buffer, and a length an operation reports on success must fit the
// buffer and be the one the command promises.
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

uint32_t QAV_CALLBACK Mac(const uint8_t*, uint32_t challengeLength, const uint8_t* command,
                          uint32_t length, uint8_t* mac, uintptr_t, uintptr_t) {
    Require(challengeLength <= 16);
    Require(length >= 5 && uint32_t{command[4]} == length - 5 + 4);  // Lc already counts the MAC
    std::memset(mac, 0x4D, 4);
    return QAV_OK;
}

// An output of exactly `expected` bytes (any length when 0) in a buffer of room.
void RequireOutput(uint32_t rc, uint32_t length, uint32_t room, uint32_t expected = 0) {
    if (rc != QAV_OK) return;
    Require(length <= room);
    if (expected != 0) Require(length == expected);
}

void DriveKeyCommands(qav::CCardKeyCommands& card) {
    std::vector<uint8_t> out(300);
    const std::vector<uint8_t> input(300, 0x5A);
    uint32_t length = 300;
    RequireOutput(card.ExportSessionKey(1, 0, 1, 0, 0, out.data(), &length, 0), length, 300);
    length = 300;
    RequireOutput(card.ExportSessionKey(0, 1, 6, 0x2101, 1, out.data(), &length, 0), length, 300);
    uint32_t index = 0;
    (void)card.ImportSessionKey(0, 1, 2, 1, 0x2101, 2, input.data(), 250, &index, 0);
    Require(index <= 0xFF);
    length = 20;
    RequireOutput(card.CardHash(2, 1, input.data(), 200, 0x2102, out.data(), &length, 0), length,
                  20);
    length = 300;
    RequireOutput(card.GenRSAKeyPair(1024, 0x2102, 0, out.data(), &length, 0), length, 300, 132);
    length = 256;
    RequireOutput(card.RSAPublicKeyCalc(2048, 0x2202, input.data(), 256, out.data(), &length, 0),
                  length, 256, 256);
    length = 128;
    RequireOutput(card.RSAPrivateKeyCalc(1024, 0x2102, input.data(), 128, out.data(), &length, 0),
                  length, 128, 128);
    (void)card.WriteRSAKey(2048, 1, 0, 0x2202, 1, 0, input.data(), 256, 8, Mac, 0, 0);
    length = 64;
    RequireOutput(card.GenSM2KeyPair(0, 0x2104, 0, out.data(), &length, 0), length, 64, 64);
    length = 100;
    RequireOutput(card.SM2PrivateKeyCalc(0, 0x2104, input.data(), 32, out.data(), &length, 0),
                  length, 100);
    (void)card.SM2PublicKeyCalc(0, 0x2204, input.data(), 96, nullptr, nullptr, 0);
    (void)card.WriteSM2Key(1, 1, 0, 0x2104, 0, 1, input.data(), 48, 4, Mac, 0, 0);
    (void)card.VerifyCertData(1, 2, 3, 0, 4, 5, 6, 0, input.data(), 300, 0);
}

void DriveIdentityVersions(qav::CCardZel& card) {
    std::vector<uint8_t> out(600);
    const std::vector<uint8_t> input(500, 0xA5);
    uint32_t length = 500;
    RequireOutput(
        card.SessionKeyCipher(1, 2, 1, input.data(), 16, input.data(), 500, out.data(), &length, 0),
        length, 500, 500);
    uint32_t keyLength = 200;
    uint32_t blockLength = 50;
    const uint32_t rc = card.ExportPublicKey(0, 0x2202, 0, 0x2102, 1, 0, out.data(), &keyLength,
                                             out.data() + 300, &blockLength, 0);
    RequireOutput(rc, keyLength, 200);
    RequireOutput(rc, blockLength, 50);
}

}  // namespace

// Byte 0: bit 0 picks T=1, bit 1 the identity card; the rest are answers.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint32_t protocol = (data[0] & 1) != 0 ? qav::kProtocolT1 : qav::kProtocolT0;
    qav::fuzz::FuzzReader reader(data + 1, size - 1, protocol, kMaxExchanges);
    if ((data[0] & 2) != 0) {
        qav::CCardZel card(&reader);
        DriveKeyCommands(card);
        DriveIdentityVersions(card);
    } else {
        qav::CCardSeal card(&reader);
        DriveKeyCommands(card);
    }
    return 0;
}
