// Every export family against its own commands sent raw, on key 0.
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "bench_setup.h"
#include "family_support.h"

namespace bench {
namespace {

constexpr uint8_t kGetChallenge[] = {0x00, 0x84, 0x00, 0x00, 0x08};
constexpr uint32_t kScratchFile = 0x1011;
// The most one READ BINARY or UPDATE BINARY of the library carries.
constexpr uint32_t kOnePiece = 240;
constexpr char kSealContainer[] = "QAV-SM2-Seal";
constexpr char kRsaContainer[] = "QAV-RSA1024";

}  // namespace

Lines RegisterFamilies(const Setup& setup) {
    Lines lines;
    const Key& key = setup.keys.front();
    const QAV_HANDLE device = key.device->Handle();
    const RawCard& raw = *key.raw;
    // Buffers live as long as the benchmarks that use them.
    auto buffer = std::make_shared<std::vector<uint8_t>>(64 * 1024);
    const std::array<uint8_t, 32> hash{};

    const auto family = [&](const char* name, const char* label, std::function<bool()> call) {
        RegisterFamily(lines, name, label, raw, *key.rawControl, std::move(call));
    };
    family("Transmit", "QAV_Transmit", [device, buffer] {
        uint32_t length = 256;
        uint32_t statusWord = 0;
        return QAV_Transmit(device, kGetChallenge, sizeof kGetChallenge, buffer->data(), &length,
                            &statusWord, 0) == QAV_OK &&
               statusWord == 0x9000 && length == 8;
    });
    family("VerifyPIN", "QAV_VerifyPIN", [device] {
        uint32_t tries = 0;
        return QAV_VerifyPIN(device, kPin, &tries, 0) == QAV_OK;
    });
    family("GenRandom", "QAV_GenRandom (16 bytes)",
           [device, buffer] { return QAV_GenRandom(device, buffer->data(), 16, 0) == QAV_OK; });
    family("GetAbilityInfo", "QAV_GetAbilityInfo",
           [device, buffer] { return QAV_GetAbilityInfo(device, buffer->data(), 0) == QAV_OK; });
    family("ReadFile", "QAV_ReadFile (one piece)", [device, buffer] {
        return QAV_ReadFile(device, kScratchFile, 0, buffer->data(), kOnePiece, nullptr, 0, 0) ==
               QAV_OK;
    });
    // Zeros: the scratch file's bytes past the piece keep their meaning.
    auto zeros = std::make_shared<const std::vector<uint8_t>>(kOnePiece);
    family("WriteFile", "QAV_WriteFile (one piece)", [device, zeros] {
        return QAV_WriteFile(device, kScratchFile, 0, zeros->data(), kOnePiece, 0, nullptr, nullptr,
                             nullptr, 0, 0) == QAV_OK;
    });
    family("Hash", "QAV_Hash (SM3, 32 bytes)", [device, buffer, hash] {
        uint32_t length = 32;
        return QAV_Hash(device, 0, 1, hash.data(), hash.size(), buffer->data(), &length, 0) ==
                   QAV_OK &&
               length == 32;
    });
    family("SealSign", "QAV_SealSign", [device, buffer, hash] {
        uint32_t length = 64;
        return QAV_SealSign(device, kSealContainer, hash.data(), hash.size(), nullptr,
                            buffer->data(), &length, 0) == QAV_OK &&
               length == 64;
    });
    family("GetSealPic", "QAV_GetSealPic", [device, buffer] {
        uint32_t length = static_cast<uint32_t>(buffer->size());
        return QAV_GetSealPic(device, 1, buffer->data(), &length, 0) == QAV_OK && length > 0;
    });
    family("GetContainerList", "QAV_GetContainerList", [device] {
        char** names = nullptr;
        uint32_t count = 0;
        return QAV_GetContainerList(device, &names, &count, 0) == QAV_OK && count > 0;
    });
    family("PublicKeyCalc", "QAV_PublicKeyCalc (RSA-1024)", [device, buffer, hash] {
        uint32_t length = 1024;
        return QAV_PublicKeyCalc(device, kRsaContainer, 1, hash.data(), 16, buffer->data(), &length,
                                 0) == QAV_OK &&
               length == 128;
    });
    family("PrivateKeyCalc", "QAV_PrivateKeyCalc (RSA-1024)", [device, buffer, hash] {
        uint32_t length = 1024;
        return QAV_PrivateKeyCalc(device, kRsaContainer, 1, hash.data(), 16, buffer->data(),
                                  &length, 0) == QAV_OK &&
               length == 128;
    });
    QAV_SessionKey* cardKey = nullptr;
    if (QAV_GetEnDeKeyHandle(device, &cardKey, 0) != QAV_OK) {
        RegisterFailure("Family/SessionKeyEncrypt", "QAV_GetEnDeKeyHandle failed");
        return lines;
    }
    family("SessionKeyEncrypt", "QAV_SessionKeyEncrypt (32 bytes)",
           [device, buffer, hash, cardKey] {
               uint32_t length = 64;
               return QAV_SessionKeyEncrypt(device, cardKey, 0, 0, nullptr, 0, hash.data(),
                                            hash.size(), buffer->data(), &length, 0) == QAV_OK &&
                      length == 32;
           });
    return lines;
}

}  // namespace bench
