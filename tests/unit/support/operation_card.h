// A seal card faked at the level of its operations: a few files in memory
// behind SelectFile, ReadBinary and UpdateBinary, and mocks for the
// operations a test wants to see called. Tests of what an export does
// around a card operation use it; the commands themselves are the card
// classes' tests'.
#pragma once

#include <gmock/gmock.h>

#include <algorithm>
#include <cstddef>
#include <map>
#include <memory>
#include <vector>

#include "api/frame.h"
#include "card/seal/card_seal.h"

namespace qav::test {

class OperationCard : public CCardSeal {
public:
    using Bytes = std::vector<uint8_t>;

    explicit OperationCard(CReader* reader) : CCardSeal(reader) {}

    // The seal application and file 4000 always answer; other identifiers
    // only when they are in files.
    uint32_t SelectFile(uint32_t byName, const uint8_t*, uint32_t, int32_t fid, uint8_t*, uint32_t*,
                        uint32_t) override {
        if (byName != 0 || fid == 0x4000) return QAV_OK;
        if (files.count(static_cast<uint32_t>(fid)) == 0) return QAV_CARD_STATUS(0x6A82);
        current_ = static_cast<uint32_t>(fid);
        return QAV_OK;
    }
    uint32_t ReadBinary(uint32_t offset, uint8_t* out, uint32_t* length, QAV_ProgressCallback,
                        uintptr_t, uint32_t) override {
        const Bytes& file = files[current_];
        if (out == nullptr) return QAV_OK;
        if (offset + *length > file.size()) return QAV_E_UNEXPECTED_DATA;
        std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(offset), *length, out);
        return QAV_OK;
    }
    uint32_t UpdateBinary(uint32_t offset, const uint8_t* data, uint32_t length, uint32_t,
                          QAV_EncryptCallback, QAV_MacCallback, QAV_ProgressCallback, uintptr_t,
                          uintptr_t) override {
        Bytes& file = files[current_];
        file.resize(std::max<size_t>(file.size(), offset + length));
        std::copy_n(data, length, file.begin() + static_cast<std::ptrdiff_t>(offset));
        return QAV_OK;
    }

    MOCK_METHOD(uint32_t, GetChallenge, (uint8_t*, uint32_t, uint32_t), (override));
    MOCK_METHOD(uint32_t, VerifyPIN, (uint32_t, const char*, uint32_t, uint32_t*, uint32_t),
                (override));
    MOCK_METHOD(uint32_t, ChangePIN,
                (uint32_t, const char*, uint32_t, const char*, uint32_t, uint32_t*, uint32_t),
                (override));
    MOCK_METHOD(uint32_t, RSAPublicKeyCalc,
                (uint32_t, uint32_t, const uint8_t*, uint32_t, uint8_t*, uint32_t*, uint32_t),
                (override));
    MOCK_METHOD(uint32_t, RSAPrivateKeyCalc,
                (uint32_t, uint32_t, const uint8_t*, uint32_t, uint8_t*, uint32_t*, uint32_t),
                (override));
    MOCK_METHOD(uint32_t, ImportSessionKey,
                (uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, const uint8_t*,
                 uint32_t, uint32_t*, uint32_t),
                (override));
    MOCK_METHOD(uint32_t, SessionKeyCipher,
                (uint32_t, uint32_t, uint32_t, const uint8_t*, uint32_t, const uint8_t*, uint32_t,
                 uint8_t*, uint32_t*, uint32_t),
                (override));
    MOCK_METHOD(uint32_t, VerifyCertData,
                (uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                 const uint8_t*, uint32_t, uint32_t),
                (override));

    // Adds a container record to files 3001 and 0FFF.
    void AddContainer(const char* name, uint8_t keyType, uint16_t cert, uint16_t priv,
                      uint16_t pub) {
        Bytes record(60);
        std::copy_n(name, std::char_traits<char>::length(name), record.begin());
        record[41] = keyType;
        const uint16_t fids[] = {cert, priv, pub};
        for (size_t i = 0; i < 3; ++i) {
            record[48 + 2 * i] = static_cast<uint8_t>(fids[i]);
            record[49 + 2 * i] = static_cast<uint8_t>(fids[i] >> 8);
        }
        Bytes& table = files[0x0FFF];
        table.insert(table.end(), record.begin(), record.end());
        files[0x3001] = {static_cast<uint8_t>(table.size() / 60)};
    }

    std::map<uint32_t, Bytes> files;

private:
    uint32_t current_ = 0;
};

// Puts an operation card in place of the open device's card.
inline OperationCard& InstallOperationCard(QAV_HANDLE handle) {
    const std::shared_ptr<CDevice> device = api::State().manager->AcquireDevice(handle);
    auto card = std::make_unique<::testing::StrictMock<OperationCard>>(device->reader.get());
    OperationCard& installed = *card;
    device->card = std::move(card);
    return installed;
}

}  // namespace qav::test
