// Keys of a container: loading them, calculating with them, and checking a
// certificate with them.
#include "api/card_export.h"
#include "api/device_state.h"
#include "api/key_tables.h"
#include "api/rsa_calc.h"
#include "api/session_keys.h"

using qav::CCardSeal;
using qav::CDevice;
using qav::ContainerRecord;
using qav::api::kProbe;
using qav::api::RsaKey;
using qav::api::RunCardExport;

namespace {

// The public or the private half of a container's key: which file it
// lives in, how the card loads it, how the card calculates with it.
struct KeyHalf {
    RsaKey rsa;
    uint32_t Fid(const ContainerRecord& container) const {
        return rsa == RsaKey::kPublic ? container.PublicKeyFid() : container.PrivateKeyFid();
    }
    uint32_t Sm2Part() const { return rsa == RsaKey::kPublic ? 0 : 1; }
};

uint32_t WriteKey(KeyHalf half, QAV_HANDLE handle, const char* containerName, uint32_t keyType,
                  uint32_t component, const uint8_t* value, uint32_t valueLength,
                  QAV_SessionKey* key, uint32_t challengeLength, QAV_MacCallback mac,
                  uintptr_t context1, uintptr_t context2) {
    const qav::SessionKeyHandle* sessionKey = nullptr;
    const auto checks = [&] {
        if (containerName == nullptr || value == nullptr) return QAV_E_NULL_POINTER;
        if (valueLength == 0) return QAV_E_BAD_LENGTH;
        if (key == nullptr) return QAV_OK;
        return qav::api::CheckSessionKey(handle, key, &sessionKey);
    };
    return RunCardExport(handle, checks, kProbe, [&](CDevice& device, CCardSeal& card) {
        ContainerRecord container;
        if (const uint32_t rc = qav::FindContainer(device, containerName, &container, nullptr)) {
            return rc;
        }
        const uint32_t file = half.Fid(container);
        // The value comes encrypted under the session key when one is named.
        const uint32_t encrypted = sessionKey != nullptr ? 1 : 0;
        const uint32_t keyIndex = sessionKey != nullptr ? sessionKey->keyNumber : 0;
        if (qav::api::IsRsaKeyType(keyType)) {
            return card.WriteRSAKey(qav::KeyTypeBits(keyType), encrypted, component - 1, file,
                                    keyIndex, 1, value, valueLength, challengeLength, mac, context1,
                                    context2);
        }
        if (qav::api::IsSm2KeyType(keyType)) {
            return card.WriteSM2Key(encrypted, half.Sm2Part(), qav::api::Sm2Variant(keyType), file,
                                    keyIndex, 1, value, valueLength, challengeLength, mac, context1,
                                    context2);
        }
        return QAV_E_BAD_ALGORITHM;
    });
}

uint32_t KeyCalc(KeyHalf half, QAV_HANDLE handle, const char* containerName, uint32_t mode,
                 const uint8_t* input, uint32_t inputLength, uint8_t* out, uint32_t* outLength) {
    const bool isPublic = half.rsa == RsaKey::kPublic;
    const auto checks = [&] {
        if (!isPublic && outLength == nullptr) return QAV_E_NULL_POINTER;
        if (containerName == nullptr || input == nullptr) return QAV_E_NULL_POINTER;
        return inputLength == 0 ? QAV_E_BAD_LENGTH : QAV_OK;
    };
    return RunCardExport(handle, checks, kProbe, [&](CDevice& device, CCardSeal& card) {
        ContainerRecord container;
        if (const uint32_t rc = qav::FindContainer(device, containerName, &container, nullptr)) {
            return rc;
        }
        const uint32_t file = half.Fid(container);
        if (file == 0) return QAV_E_NOT_FOUND;
        const uint32_t keyType = container.KeyType();
        if (qav::api::IsRsaKeyType(keyType)) {
            if (outLength == nullptr) return QAV_E_NULL_POINTER;
            return qav::api::RsaCalcWithPadding(card, half.rsa, qav::KeyTypeBits(keyType), file,
                                                mode, input, inputLength, out, outLength);
        }
        if (qav::api::IsSm2KeyType(keyType)) {
            // Public: 1 encrypts, 0 verifies; private: 1 signs, 0 decrypts.
            if (isPublic) {
                return card.SM2PublicKeyCalc(mode != 0 ? 1 : 0, file, input, inputLength, out,
                                             outLength, 0);
            }
            return card.SM2PrivateKeyCalc(mode == 0 ? 1 : 0, file, input, inputLength, out,
                                          outLength, 0);
        }
        return QAV_E_BAD_ALGORITHM;
    });
}

}  // namespace

extern "C" QAV_EXPORT uint32_t QAV_API QAV_WritePublicKey(
    QAV_HANDLE handle, const char* containerName, uint32_t keyType, uint32_t component,
    const uint8_t* value, uint32_t valueLength, QAV_SessionKey* key, uint32_t challengeLength,
    QAV_MacCallback mac, uintptr_t context1, uintptr_t context2) {
    return WriteKey({RsaKey::kPublic}, handle, containerName, keyType, component, value,
                    valueLength, key, challengeLength, mac, context1, context2);
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_WritePrivateKey(
    QAV_HANDLE handle, const char* containerName, uint32_t keyType, uint32_t component,
    const uint8_t* value, uint32_t valueLength, QAV_SessionKey* key, uint32_t challengeLength,
    QAV_MacCallback mac, uintptr_t context1, uintptr_t context2) {
    return WriteKey({RsaKey::kPrivate}, handle, containerName, keyType, component, value,
                    valueLength, key, challengeLength, mac, context1, context2);
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_PublicKeyCalc(QAV_HANDLE handle,
                                                         const char* containerName, uint32_t mode,
                                                         const uint8_t* input, uint32_t inputLength,
                                                         uint8_t* out, uint32_t* outLength,
                                                         uint32_t /*reserved*/) {
    return KeyCalc({RsaKey::kPublic}, handle, containerName, mode, input, inputLength, out,
                   outLength);
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_PrivateKeyCalc(
    QAV_HANDLE handle, const char* containerName, uint32_t mode, const uint8_t* input,
    uint32_t inputLength, uint8_t* out, uint32_t* outLength, uint32_t /*reserved*/) {
    return KeyCalc({RsaKey::kPrivate}, handle, containerName, mode, input, inputLength, out,
                   outLength);
}

// Raw, so that paddings the card does not know (PSS, OAEP) can be made on
// the host around it: the block goes to the card as it is.
extern "C" QAV_EXPORT uint32_t QAV_API QAV_PrivateKeyCalcRaw(
    QAV_HANDLE handle, const char* containerName, const uint8_t* input, uint32_t inputLength,
    uint8_t* out, uint32_t* outLength, uint32_t /*reserved*/) {
    const auto checks = [&] {
        if (containerName == nullptr || input == nullptr || outLength == nullptr) {
            return QAV_E_NULL_POINTER;
        }
        return inputLength == 0 ? QAV_E_BAD_LENGTH : QAV_OK;
    };
    return RunCardExport(handle, checks, kProbe, [&](CDevice& device, CCardSeal& card) {
        ContainerRecord container;
        if (const uint32_t rc = qav::FindContainer(device, containerName, &container, nullptr)) {
            return rc;
        }
        const uint32_t file = container.PrivateKeyFid();
        if (file == 0) return QAV_E_NOT_FOUND;
        const uint32_t keyType = container.KeyType();
        if (!qav::api::IsRsaKeyType(keyType)) return QAV_E_BAD_ALGORITHM;
        const uint32_t bits = qav::KeyTypeBits(keyType);
        if (inputLength != bits / 8) return QAV_E_BAD_LENGTH;
        // The card operation answers the size query and a short buffer itself,
        // before anything is sent.
        return card.RSAPrivateKeyCalc(bits, file, input, inputLength, out, outLength, 0);
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_VerifyCertData(
    QAV_HANDLE handle, const char* containerA, const char* containerB, const char* containerC,
    uint32_t algorithm, const uint8_t* data, uint32_t dataLength, uint32_t /*reserved*/) {
    uint32_t option = 0;
    // Every argument is checked before the first command: the container
    // reads and the marker read would otherwise come before the refusal.
    const auto checks = [&] {
        if (containerA == nullptr || containerB == nullptr || containerC == nullptr) {
            return QAV_E_NULL_POINTER;
        }
        if (algorithm == 3) {
            option = 1;
        } else if (algorithm != 1) {
            return QAV_E_BAD_ALGORITHM;
        }
        if (data == nullptr) return QAV_E_NULL_POINTER;
        return dataLength == 0 || dataLength > 0xFFFF ? QAV_E_BAD_LENGTH : QAV_OK;
    };
    return RunCardExport(handle, checks, kProbe, [&](CDevice& device, CCardSeal& card) {
        ContainerRecord a, b, c;
        for (const auto& [name, record] :
             {std::pair{containerA, &a}, {containerB, &b}, {containerC, &c}}) {
            if (const uint32_t rc = qav::FindContainer(device, name, record, nullptr)) return rc;
        }
        if (a.PublicKeyFid() == 0 || a.PrivateKeyFid() == 0 || b.PublicKeyFid() == 0 ||
            c.PrivateKeyFid() == 0 || c.CertificateFid() == 0) {
            return QAV_E_NOT_FOUND;
        }
        const uint32_t variant = b.KeyType() == qav::api::kKeySm2 ? 1 : 0;
        // The check touches the PIN-change marker; it is put back afterwards.
        uint8_t marker = 0;
        uint32_t markerLength = 1;
        if (const uint32_t rc =
                qav::ReadCardFile(device, qav::api::kPinMarkerFile, qav::api::kPinMarkerOffset,
                                  &marker, &markerLength, nullptr, 0, 0)) {
            return rc;
        }
        if (const uint32_t rc = card.VerifyCertData(
                a.PublicKeyFid(), a.PrivateKeyFid(), b.PublicKeyFid(), variant, c.CertificateFid(),
                c.PublicKeyFid(), c.PrivateKeyFid(), option, data, dataLength, 0)) {
            return rc;
        }
        return qav::WriteCardFile(device, qav::api::kPinMarkerFile, qav::api::kPinMarkerOffset,
                                  &marker, 1, 0, nullptr, nullptr, nullptr, 0, 0);
    });
}
