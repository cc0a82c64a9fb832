// Containers: their names, certificates, key pairs and public keys.
#include <array>
#include <vector>

#include "api/card_export.h"
#include "api/key_tables.h"
#include "device/ber.h"

using qav::CCardSeal;
using qav::CDevice;
using qav::ContainerRecord;
using qav::api::kProbe;
using qav::api::RunCardExport;

namespace {

// Enough of a certificate to know its whole length.
constexpr uint32_t kDerHeaderSize = 8;

}  // namespace

extern "C" QAV_EXPORT uint32_t QAV_API QAV_GetContainerList(QAV_HANDLE handle, char*** names,
                                                            uint32_t* count,
                                                            uint32_t /*reserved*/) {
    const auto checks = [&] {
        return names == nullptr || count == nullptr ? QAV_E_NULL_POINTER : QAV_OK;
    };
    return RunCardExport(handle, checks, kProbe, [&](CDevice& device, CCardSeal&) {
        uint32_t size = 0;
        if (const uint32_t rc = qav::ReadContainerTable(device, nullptr, &size)) return rc;
        std::vector<uint8_t> table(size);
        if (size > 0) {
            if (const uint32_t rc = qav::ReadContainerTable(device, table.data(), &size)) {
                return rc;
            }
        }
        return qav::api::Manager()->AddContainerList(handle, table.data(), table.size(), names,
                                                     count);
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_ReadCert(QAV_HANDLE handle, const char* containerName,
                                                    uint8_t* out, uint32_t* outLength,
                                                    uint32_t /*reserved*/) {
    const auto checks = [&] {
        return containerName == nullptr || outLength == nullptr ? QAV_E_NULL_POINTER : QAV_OK;
    };
    return RunCardExport(handle, checks, kProbe, [&](CDevice& device, CCardSeal&) {
        ContainerRecord container;
        if (const uint32_t rc = qav::FindContainer(device, containerName, &container, nullptr)) {
            return rc;
        }
        const uint32_t file = container.CertificateFid();
        if (file == 0) return QAV_E_NOT_FOUND;
        // The certificate's own header tells its length, so exactly that is
        // read, and a buffer too small gets nothing.
        std::array<uint8_t, kDerHeaderSize> header{};
        uint32_t headerLength = kDerHeaderSize;
        if (const uint32_t rc =
                qav::ReadCardFile(device, file, 0, header.data(), &headerLength, nullptr, 0, 0)) {
            return rc;
        }
        const uint32_t total = qav::DerTotalLength(header.data(), kDerHeaderSize);
        if (out == nullptr || total == 0) {
            *outLength = total;
            return QAV_OK;
        }
        if (*outLength < total) {
            *outLength = total;
            return QAV_E_BUFFER_TOO_SMALL;
        }
        uint32_t length = total;
        if (const uint32_t rc = qav::ReadCardFile(device, file, 0, out, &length, nullptr, 0, 0)) {
            return rc;
        }
        *outLength = total;
        return QAV_OK;
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_GenKeyPair(QAV_HANDLE handle, const char* containerName,
                                                      uint32_t keyType, uint32_t /*reserved*/) {
    const auto checks = [&] {
        if (containerName == nullptr) return QAV_E_NULL_POINTER;
        return qav::api::IsRsaKeyType(keyType) || qav::api::IsSm2KeyType(keyType)
                   ? QAV_OK
                   : QAV_E_BAD_ALGORITHM;
    };
    return RunCardExport(handle, checks, kProbe, [&](CDevice& device, CCardSeal& card) {
        ContainerRecord container;
        if (const uint32_t rc = qav::FindContainer(device, containerName, &container, nullptr)) {
            return rc;
        }
        const uint32_t privateFile = container.PrivateKeyFid();
        const uint32_t publicFile = container.PublicKeyFid();
        if (privateFile == 0 || publicFile == 0) return QAV_E_NOT_FOUND;
        if (qav::api::IsRsaKeyType(keyType)) {
            return card.GenRSAKeyPair(qav::KeyTypeBits(keyType), privateFile, publicFile, nullptr,
                                      nullptr, 0);
        }
        return card.GenSM2KeyPair(qav::api::Sm2Variant(keyType), privateFile, publicFile, nullptr,
                                  nullptr, 0);
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API
QAV_ExportPublicKey(QAV_HANDLE handle, uint32_t mode, const char* containerName,
                    uint32_t wrapSelector, uint8_t* keyOut, uint32_t* keyOutLength,
                    uint8_t* blockOut, uint32_t* blockOutLength, uint32_t /*reserved*/) {
    uint32_t keyPart = 0;
    const auto checks = [&] {
        if (mode == 1) {
            if (wrapSelector == 1) {
                keyPart = 1;
            } else if (wrapSelector != 3) {
                return QAV_E_BAD_ALGORITHM;
            }
        }
        return containerName == nullptr ? QAV_E_NULL_POINTER : QAV_OK;
    };
    return RunCardExport(handle, checks, kProbe, [&](CDevice& device, CCardSeal& card) {
        ContainerRecord container;
        if (const uint32_t rc = qav::FindContainer(device, containerName, &container, nullptr)) {
            return rc;
        }
        const uint32_t publicFile = container.PublicKeyFid();
        if (publicFile == 0) return QAV_E_NOT_FOUND;
        uint32_t keyKind = 0;
        if (container.KeyType() == qav::api::kKeyRsa1024) {
            keyKind = 0;
        } else if (container.KeyType() == qav::api::kKeySm2) {
            keyKind = 1;
        } else {
            return QAV_E_BAD_ALGORITHM;
        }
        return card.ExportPublicKey(mode, static_cast<int32_t>(publicFile), keyKind, 0, 0, keyPart,
                                    keyOut, keyOutLength, blockOut, blockOutLength, 0);
    });
}
