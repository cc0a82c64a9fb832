// Session keys: importing, exporting and deleting them on the card, and
// ciphering with them, the host adding and removing the padding.
#include <vector>

#include "api/card_export.h"
#include "api/key_tables.h"
#include "api/session_keys.h"
#include "codec/padding.h"
#include "platform/secure_memory.h"

using qav::CCardSeal;
using qav::CDevice;
using qav::ContainerRecord;
using qav::SessionKeyHandle;
using qav::api::CheckSessionKey;
using qav::api::kNoProbe;
using qav::api::kProbe;
using qav::api::LookUpSessionAlgorithm;
using qav::api::RunCardExport;
using qav::api::SessionAlgorithm;

namespace {

// The card's fixed cipher key, which needs no import.
constexpr uint32_t kFixedKeyNumber = 6;
constexpr uint32_t kFixedKeyAlgorithm = 4;
constexpr uint32_t kEncrypt = 0;
constexpr uint32_t kDecrypt = 1;
constexpr uint32_t kDeleteKey = 2;

// A registered key's algorithm: only known identifiers are ever stored.
SessionAlgorithm AlgorithmOf(const SessionKeyHandle& key) {
    SessionAlgorithm algorithm{0, 1};
    LookUpSessionAlgorithm(key.algorithm, &algorithm);
    return algorithm;
}

// How a session key travels wrapped under a container's key: in under its
// private key, out under its public key. Plain without a container.
struct Wrapping {
    uint32_t wrapped = 0;
    uint32_t file = 0;
    uint32_t algorithm = 0;
};
constexpr bool kIncoming = true;

uint32_t WrappingOf(const CDevice& device, const char* containerName, bool incoming,
                    Wrapping* wrapping) {
    if (containerName == nullptr) return QAV_OK;
    ContainerRecord container;
    if (const uint32_t rc = qav::FindContainer(device, containerName, &container, nullptr)) {
        return rc;
    }
    wrapping->file = incoming ? container.PrivateKeyFid() : container.PublicKeyFid();
    if (wrapping->file == 0) return QAV_E_NOT_FOUND;
    const auto table = incoming ? qav::api::ImportWrapAlgorithm : qav::api::ExportWrapAlgorithm;
    if (const uint32_t rc = table(container.KeyType(), &wrapping->algorithm)) return rc;
    wrapping->wrapped = 1;
    return QAV_OK;
}

// The chaining arguments of the session-key cipher, checked before the
// probe (the card layer checks the mode too, but only after it).
uint32_t CheckChaining(uint32_t withIv, const uint8_t* iv, uint32_t ivLength, uint32_t block) {
    if (withIv > 1) return QAV_E_BAD_CIPHER_MODE;
    if (withIv == 1 && ivLength != block) return QAV_E_IV_LENGTH;
    return withIv == 1 && iv == nullptr ? QAV_E_NULL_POINTER : QAV_OK;
}

}  // namespace

extern "C" QAV_EXPORT uint32_t QAV_API QAV_ImportSessionKey(QAV_HANDLE handle, uint32_t algorithm,
                                                            const uint8_t* key, uint32_t keyLength,
                                                            const char* containerName,
                                                            QAV_SessionKey** keyOut,
                                                            uint32_t /*reserved*/) {
    SessionAlgorithm cipher{};
    const auto checks = [&] {
        if (const uint32_t rc = LookUpSessionAlgorithm(algorithm, &cipher)) return rc;
        if (keyOut == nullptr) return QAV_E_NULL_POINTER;
        // A container wraps the key; without one it travels plain.
        return qav::CheckImportKeyMaterial(containerName != nullptr, cipher.cardNumber, key,
                                           keyLength);
    };
    return RunCardExport(handle, checks, kProbe, [&](CDevice& device, CCardSeal& card) {
        Wrapping wrapping;
        if (const uint32_t rc = WrappingOf(device, containerName, kIncoming, &wrapping)) return rc;
        uint32_t keyIndex = 0;
        if (const uint32_t rc =
                card.ImportSessionKey(0, wrapping.wrapped, cipher.cardNumber, 1, wrapping.file,
                                      wrapping.algorithm, key, keyLength, &keyIndex, 0)) {
            return rc;
        }
        return qav::api::AddSessionKey(handle, keyIndex, algorithm, keyOut);
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_ExportSessionKey(QAV_HANDLE handle, QAV_SessionKey* key,
                                                            const char* containerName, uint8_t* out,
                                                            uint32_t* outLength,
                                                            uint32_t /*reserved*/) {
    const SessionKeyHandle* sessionKey = nullptr;
    const auto checks = [&] { return CheckSessionKey(handle, key, &sessionKey); };
    return RunCardExport(handle, checks, kProbe, [&](CDevice& device, CCardSeal& card) {
        SessionAlgorithm cipher{};
        if (const uint32_t rc = LookUpSessionAlgorithm(sessionKey->algorithm, &cipher)) return rc;
        Wrapping wrapping;
        if (const uint32_t rc = WrappingOf(device, containerName, !kIncoming, &wrapping)) {
            return rc;
        }
        return card.ExportSessionKey(sessionKey->keyNumber, wrapping.wrapped, cipher.cardNumber,
                                     wrapping.file, wrapping.algorithm, out, outLength, 0);
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_GetEnDeKeyHandle(QAV_HANDLE handle,
                                                            QAV_SessionKey** keyOut,
                                                            uint32_t /*reserved*/) {
    const auto checks = [&] { return keyOut == nullptr ? QAV_E_NULL_POINTER : QAV_OK; };
    return RunCardExport(handle, checks, kNoProbe, [&](CDevice&, CCardSeal&) {
        return qav::api::AddSessionKey(handle, kFixedKeyNumber, kFixedKeyAlgorithm, keyOut);
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_DelSessionKey(QAV_HANDLE handle, QAV_SessionKey* key,
                                                         uint32_t /*reserved*/) {
    const SessionKeyHandle* sessionKey = nullptr;
    const auto checks = [&] { return CheckSessionKey(handle, key, &sessionKey); };
    return RunCardExport(handle, checks, kProbe, [&](CDevice&, CCardSeal& card) {
        // The card's own key is not the caller's to delete: only its handle goes.
        if (sessionKey->keyNumber == kFixedKeyNumber) {
            qav::api::DeleteSessionKey(handle, sessionKey);
            return QAV_OK;
        }
        uint32_t index = sessionKey->keyNumber;
        if (const uint32_t rc = card.ImportSessionKey(kDeleteKey, 0, sessionKey->algorithm, 1, 0, 0,
                                                      nullptr, 0, &index, 0)) {
            return rc;  // the handle stays registered
        }
        qav::api::DeleteSessionKey(handle, sessionKey);
        return QAV_OK;
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_SessionKeyEncrypt(
    QAV_HANDLE handle, QAV_SessionKey* key, uint32_t withIv, uint32_t padding, const uint8_t* iv,
    uint32_t ivLength, const uint8_t* input, uint32_t inputLength, uint8_t* out,
    uint32_t* outLength, uint32_t /*reserved*/) {
    const SessionKeyHandle* sessionKey = nullptr;
    uint32_t block = 0;
    uint32_t mode = 0;
    // All of them before the probe, so a bad argument sends nothing.
    const auto checks = [&] {
        if (const uint32_t rc = CheckSessionKey(handle, key, &sessionKey)) return rc;
        block = AlgorithmOf(*sessionKey).blockLength;
        if (const uint32_t rc = CheckChaining(withIv, iv, ivLength, block)) return rc;
        if (const uint32_t rc = qav::api::PaddingModeOfSelector(padding, &mode)) return rc;
        return mode == 0 && inputLength % block != 0 ? QAV_E_BAD_LENGTH : QAV_OK;
    };
    return RunCardExport(handle, checks, kProbe, [&](CDevice&, CCardSeal& card) {
        if (mode == 0) {
            return card.SessionKeyCipher(kEncrypt, sessionKey->keyNumber, withIv, iv, ivLength,
                                         input, inputLength, out, outLength, 0);
        }
        uint32_t paddedLength = 0;
        if (const uint32_t rc = qav::Pad(mode, block, input, inputLength, nullptr, &paddedLength)) {
            return rc;
        }
        std::vector<uint8_t> padded(paddedLength);
        const qav::platform::WipeOnExit wipe(padded);
        if (const uint32_t rc =
                qav::Pad(mode, block, input, inputLength, padded.data(), &paddedLength)) {
            return rc;
        }
        return card.SessionKeyCipher(kEncrypt, sessionKey->keyNumber, withIv, iv, ivLength,
                                     padded.data(), paddedLength, out, outLength, 0);
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_SessionKeyDecrypt(
    QAV_HANDLE handle, QAV_SessionKey* key, uint32_t withIv, uint32_t padding, const uint8_t* iv,
    uint32_t ivLength, const uint8_t* input, uint32_t inputLength, uint8_t* out,
    uint32_t* outLength, uint32_t /*reserved*/) {
    const SessionKeyHandle* sessionKey = nullptr;
    uint32_t block = 0;
    uint32_t mode = 0;
    const auto checks = [&] {
        if (const uint32_t rc = CheckSessionKey(handle, key, &sessionKey)) return rc;
        block = AlgorithmOf(*sessionKey).blockLength;
        if (inputLength % block != 0) return QAV_E_BAD_LENGTH;
        if (const uint32_t rc = CheckChaining(withIv, iv, ivLength, block)) return rc;
        // Known before the card deciphers anything, not only after.
        return qav::api::PaddingModeOfSelector(padding, &mode);
    };
    return RunCardExport(handle, checks, kProbe, [&](CDevice&, CCardSeal& card) {
        std::vector<uint8_t> plain(inputLength);
        const qav::platform::WipeOnExit wipe(plain);
        uint32_t plainLength = inputLength;
        if (const uint32_t rc =
                card.SessionKeyCipher(kDecrypt, sessionKey->keyNumber, withIv, iv, ivLength, input,
                                      inputLength, plain.data(), &plainLength, 0)) {
            return rc;
        }
        return qav::Unpad(mode, block, plain.data(), std::min(plainLength, inputLength), out,
                          outLength);
    });
}
