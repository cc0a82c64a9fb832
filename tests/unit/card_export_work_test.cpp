// What the card exports do around the card operations they call: padding,
// the size protocol, challenges, the PIN change's follow-up, the payment
// record, the marker byte and the session-key tables.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <numeric>
#include <string>

#include "api/key_tables.h"
#include "api/payment_application.h"
#include "qavseal/qavseal.h"
#include "support/open_device_fixture.h"
#include "support/operation_card.h"

namespace qav {
namespace {

using ::testing::_;
using ::testing::DoAll;
using ::testing::ElementsAreArray;
using ::testing::InSequence;
using ::testing::Return;
using Bytes = std::vector<uint8_t>;

constexpr uint16_t kPublicFile = 0x2202;
constexpr uint16_t kPrivateFile = 0x2102;

Bytes Counting(size_t length, uint8_t from = 1) {
    Bytes bytes(length);
    std::iota(bytes.begin(), bytes.end(), from);
    return bytes;
}

// A card calculation that checks what it was given and answers result.
auto Calculates(Bytes* seen, Bytes result) {
    return [seen, result](uint32_t, uint32_t, const uint8_t* in, uint32_t inLength, uint8_t* out,
                          uint32_t* outLength, uint32_t) {
        seen->assign(in, in + inLength);
        std::copy(result.begin(), result.end(), out);
        *outLength = static_cast<uint32_t>(result.size());
        return QAV_OK;
    };
}

// 00 <type> filler 00 data, one modulus long.
Bytes Padded(uint8_t type, const Bytes& data, size_t modulus) {
    Bytes block(modulus, type == 1 ? 0xFF : 0x5A);
    block[0] = 0x00;
    block[1] = type;
    block[modulus - data.size() - 1] = 0x00;
    std::copy(data.begin(), data.end(), block.end() - static_cast<long>(data.size()));
    return block;
}

class CardExportWorkTest : public test::OpenDeviceTest {
protected:
    void SetUp() override {
        OpenDeviceTest::SetUp();
        handle = Open();
        card = &test::InstallOperationCard(handle);
        card->AddContainer("RSA1024", 0x01, 0x2002, kPrivateFile, kPublicFile);
        card->AddContainer("RSA2048", 0x02, 0x2003, 0x2103, 0x2203);
        card->files[0x1011] = Bytes(1024, 0x00);
    }

    QAV_HANDLE handle = 0;
    test::OperationCard* card = nullptr;
};

TEST_F(CardExportWorkTest, RsaPaddingAroundTheCardCalculation) {
    const Bytes data = Counting(20);
    const Bytes result = Counting(128, 0x80);
    Bytes seen;
    Bytes out(128);
    uint32_t outLength = 128;

    // Padding requested: public pads with block type 2, hands over all.
    EXPECT_CALL(*card, RSAPublicKeyCalc(1024, kPublicFile, _, 128, _, _, 0))
        .WillOnce(Calculates(&seen, result));
    ASSERT_EQ(QAV_PublicKeyCalc(handle, "RSA1024", 1, data.data(), 20, out.data(), &outLength, 0),
              QAV_OK);
    ASSERT_EQ(seen.size(), 128u);
    EXPECT_EQ(seen[0], 0x00);
    EXPECT_EQ(seen[1], 0x02);
    EXPECT_TRUE(std::none_of(seen.begin() + 2, seen.end() - 21, [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(Bytes(seen.end() - 21, seen.end()), Padded(2, data, 21));
    EXPECT_EQ(out, result);

    // Private pads with block type 1; a null out learns the size only.
    EXPECT_CALL(*card, RSAPrivateKeyCalc(1024, kPrivateFile, _, 128, _, _, 0))
        .WillOnce(Calculates(&seen, result));
    outLength = 0;
    ASSERT_EQ(QAV_PrivateKeyCalc(handle, "RSA1024", 1, data.data(), 20, nullptr, &outLength, 0),
              QAV_OK);
    EXPECT_EQ(seen, Padded(1, data, 128));
    EXPECT_EQ(outLength, 128u);

    // No padding requested: one block in, the other type's padding taken off.
    const Bytes block = Counting(128);
    EXPECT_CALL(*card, RSAPublicKeyCalc(1024, kPublicFile, _, 128, _, _, 0))
        .WillOnce(Calculates(&seen, Padded(1, data, 128)));
    outLength = 128;
    ASSERT_EQ(QAV_PublicKeyCalc(handle, "RSA1024", 0, block.data(), 128, out.data(), &outLength, 0),
              QAV_OK);
    EXPECT_EQ(seen, block);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(outLength)), data);

    // A too-small buffer, and a block that is not one modulus long (nothing
    // reaches the card).
    EXPECT_CALL(*card, RSAPublicKeyCalc(_, _, _, _, _, _, _)).WillOnce(Calculates(&seen, result));
    outLength = 127;
    EXPECT_EQ(QAV_PublicKeyCalc(handle, "RSA1024", 1, data.data(), 20, out.data(), &outLength, 0),
              QAV_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(outLength, 128u);
    const Bytes long255 = Counting(255);
    EXPECT_EQ(
        QAV_PublicKeyCalc(handle, "RSA2048", 0, long255.data(), 255, out.data(), &outLength, 0),
        QAV_E_BAD_LENGTH);
}

TEST_F(CardExportWorkTest, CertificateSizeProtocol) {
    Bytes certificate = Counting(300);
    certificate[0] = 0x30;
    certificate[1] = 0x82;
    certificate[2] = 0x01;
    certificate[3] = 0x28;  // 4 + 296
    card->files[0x2002] = certificate;
    card->files[0x2002].resize(512, 0xEE);  // the file is larger than its certificate

    uint32_t length = 0;
    ASSERT_EQ(QAV_ReadCert(handle, "RSA1024", nullptr, &length, 0), QAV_OK);
    EXPECT_EQ(length, 300u);
    Bytes out(299, 0x11);
    length = 299;
    EXPECT_EQ(QAV_ReadCert(handle, "RSA1024", out.data(), &length, 0), QAV_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 300u);
    EXPECT_EQ(out, Bytes(299, 0x11)) << "nothing copied";
    out.assign(600, 0);
    length = 600;
    ASSERT_EQ(QAV_ReadCert(handle, "RSA1024", out.data(), &length, 0), QAV_OK);
    EXPECT_EQ(length, 300u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 300), certificate);
    EXPECT_EQ(QAV_ReadCert(handle, "RSA2048", out.data(), &length, 0), QAV_CARD_STATUS(0x6A82));
    EXPECT_EQ(QAV_ReadCert(handle, "rsa1024", out.data(), &length, 0), QAV_E_NO_CONTAINER);
}

TEST_F(CardExportWorkTest, RandomBytesComeFromWhole16ByteChallenges) {
    uint8_t next = 0;
    const auto challenge = [&](uint8_t* out, uint32_t length, uint32_t) {
        for (uint32_t i = 0; i < length; ++i) out[i] = next++;
        return QAV_OK;
    };
    EXPECT_CALL(*card, GetChallenge(_, 16, 0)).Times(1).WillRepeatedly(challenge);
    Bytes out(16);
    ASSERT_EQ(QAV_GenRandom(handle, out.data(), 16, 0), QAV_OK);
    EXPECT_EQ(out, Counting(16, 0));

    EXPECT_CALL(*card, GetChallenge(_, 16, 0)).Times(2).WillRepeatedly(challenge);
    out.assign(18, 0xEE);
    ASSERT_EQ(QAV_GenRandom(handle, out.data(), 17, 1), QAV_OK);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 17), Counting(17, 16));
    EXPECT_EQ(out[17], 0xEE);

    EXPECT_CALL(*card, GetChallenge(_, 16, 0))
        .WillOnce(challenge)
        .WillOnce(Return(QAV_CARD_STATUS(0x6985)));
    EXPECT_EQ(QAV_GenRandom(handle, out.data(), 32, 0), QAV_CARD_STATUS(0x6985));
}

TEST_F(CardExportWorkTest, ChangedPinIsVerifiedThenMarked) {
    uint32_t tries = 0;
    {
        InSequence order;
        EXPECT_CALL(*card, ChangePIN(0, ::testing::StrEq("1234"), 4, ::testing::StrEq("56789"), 5,
                                     &tries, 0))
            .WillOnce(Return(QAV_OK));
        EXPECT_CALL(*card, VerifyPIN(0, ::testing::StrEq("56789"), 5, &tries, 0))
            .WillOnce(Return(QAV_OK));
    }
    ASSERT_EQ(QAV_ChangePIN(handle, "1234", "56789", &tries, 0), QAV_OK);
    EXPECT_EQ(card->files[0x1011][999], 0x01);
    EXPECT_EQ(card->files[0x1011].size(), 1024u);

    // A refused change, or a failed verification, marks nothing.
    card->files[0x1011][999] = 0x00;
    EXPECT_CALL(*card, ChangePIN(_, _, _, _, _, _, _)).WillOnce(Return(QAV_E_PIN_WRONG));
    EXPECT_EQ(QAV_ChangePIN(handle, "1234", "5678", &tries, 0), QAV_E_PIN_WRONG);
    EXPECT_CALL(*card, ChangePIN(_, _, _, _, _, _, _)).WillOnce(Return(QAV_OK));
    EXPECT_CALL(*card, VerifyPIN(_, _, _, _, _)).WillOnce(Return(QAV_E_PIN_BLOCKED));
    EXPECT_EQ(QAV_ChangePIN(handle, "1234", "5678", &tries, 0), QAV_E_PIN_BLOCKED);
    EXPECT_EQ(card->files[0x1011][999], 0x00);

    // On the PIN pad nothing is passed and nothing follows.
    EXPECT_CALL(*card, ChangePIN(0, nullptr, 0, nullptr, 0, &tries, 1)).WillOnce(Return(QAV_OK));
    EXPECT_EQ(QAV_ChangePIN(handle, nullptr, nullptr, &tries, 1), QAV_OK);
    EXPECT_CALL(*card, VerifyPIN(0, nullptr, 0, &tries, 1)).WillOnce(Return(QAV_OK));
    EXPECT_EQ(QAV_VerifyPIN(handle, nullptr, &tries, 1), QAV_OK);
    EXPECT_EQ(card->files[0x1011][999], 0x00);
}

TEST_F(CardExportWorkTest, CertificateCheckPutsTheMarkerBack) {
    card->AddContainer("A", 0x01, 0x2A01, 0x2A02, 0x2A03);
    card->AddContainer("B", 0x04, 0x2B01, 0x2B02, 0x2B03);
    card->AddContainer("C", 0x01, 0x2C01, 0x2C02, 0x2C03);
    card->files[0x1011][999] = 0x01;
    const Bytes data = Counting(10);
    const auto overwritesMarker = [this](uint32_t result) {
        return [this, result](auto&&...) {
            card->files[0x1011][999] = 0x00;
            return result;
        };
    };
    EXPECT_CALL(*card,
                VerifyCertData(0x2A03, 0x2A02, 0x2B03, 1, 0x2C01, 0x2C03, 0x2C02, 1, _, 10, 0))
        .WillOnce(overwritesMarker(QAV_OK));
    ASSERT_EQ(QAV_VerifyCertData(handle, "A", "B", "C", 3, data.data(), 10, 0), QAV_OK);
    EXPECT_EQ(card->files[0x1011][999], 0x01);

    EXPECT_CALL(*card, VerifyCertData(_, _, _, 0, _, _, _, 0, _, _, _))
        .WillOnce(overwritesMarker(QAV_CARD_STATUS(0x6A80)));
    EXPECT_EQ(QAV_VerifyCertData(handle, "A", "A", "C", 1, data.data(), 10, 0),
              QAV_CARD_STATUS(0x6A80));
    EXPECT_EQ(card->files[0x1011][999], 0x00) << "left as the card operation left it";

    EXPECT_EQ(QAV_VerifyCertData(handle, "A", "B", "C", 2, data.data(), 10, 0),
              QAV_E_BAD_ALGORITHM);
    card->AddContainer("NoCertificate", 0x01, 0, 0x2D02, 0x2D03);
    EXPECT_EQ(QAV_VerifyCertData(handle, "A", "B", "NoCertificate", 1, data.data(), 10, 0),
              QAV_E_NOT_FOUND);
}

TEST_F(CardExportWorkTest, SessionKeyCipherPadsAndUnpads) {
    EXPECT_CALL(*card, ImportSessionKey(0, 0, 4, 1, 0, 0, _, 8, _, 0))
        .WillOnce([](auto, auto, auto, auto, auto, auto, auto, auto, uint32_t* index, auto) {
            *index = 2;
            return QAV_OK;
        });
    const Bytes desKey = Counting(8);
    QAV_SessionKey* key = nullptr;
    ASSERT_EQ(QAV_ImportSessionKey(handle, 8, desKey.data(), 8, nullptr, &key, 0), QAV_OK);

    Bytes seen;
    const auto cipher = [&seen](Bytes answer) {
        return [&seen, answer](auto, auto, auto, auto, auto, const uint8_t* in, uint32_t inLength,
                               uint8_t* out, uint32_t* outLength, auto) {
            seen.assign(in, in + inLength);
            std::copy(answer.begin(), answer.end(), out);
            *outLength = static_cast<uint32_t>(answer.size());
            return QAV_OK;
        };
    };
    const Bytes input = Counting(13);
    Bytes out(32);
    uint32_t outLength = 32;
    EXPECT_CALL(*card, SessionKeyCipher(0, 2, 0, nullptr, 0, _, 16, _, _, 0))
        .WillOnce(cipher(Counting(16)));
    ASSERT_EQ(QAV_SessionKeyEncrypt(handle, key, 0, 2, nullptr, 0, input.data(), 13, out.data(),
                                    &outLength, 0),
              QAV_OK);
    Bytes expected = input;
    expected.insert(expected.end(), {0x03, 0x03, 0x03});
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(outLength, 16u);

    const Bytes iv16 = Counting(16);
    EXPECT_EQ(QAV_SessionKeyEncrypt(handle, key, 1, 2, iv16.data(), 16, input.data(), 13,
                                    out.data(), &outLength, 0),
              QAV_E_IV_LENGTH);
    EXPECT_EQ(QAV_SessionKeyEncrypt(handle, key, 0, 0, nullptr, 0, input.data(), 13, out.data(),
                                    &outLength, 0),
              QAV_E_BAD_LENGTH);

    // Decrypting removes the 80 00.. padding the card's plain text carries.
    Bytes plain = Counting(5);
    plain.insert(plain.end(), {0x80, 0x00, 0x00});
    EXPECT_CALL(*card, SessionKeyCipher(1, 2, 1, _, 8, _, 8, _, _, 0)).WillOnce(cipher(plain));
    outLength = 32;
    ASSERT_EQ(QAV_SessionKeyDecrypt(handle, key, 1, 1, iv16.data(), 8, input.data(), 8, out.data(),
                                    &outLength, 0),
              QAV_OK);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(outLength)),
              Counting(5));
}

TEST(CardNumberTest, TrackDataUpToTheSeparator) {
    struct Case {
        Bytes record;
        uint32_t rc;
        const char* number;
    };
    const Case cases[] = {
        {{0x70, 0x05, 0x57, 0x03, 0x12, 0x3D, 0x45}, QAV_OK, "123"},
        {{0x57, 0x02, 0xD1, 0x23}, QAV_OK, ""},
        {{0x70, 0x04, 0x5A, 0x02, 0x12, 0x34}, QAV_E_NOT_FOUND, ""},
        {{0x70, 0x04, 0x57, 0x00, 0x12, 0x34}, QAV_E_NOT_FOUND, ""},
        // A length running past the record is cut at its end.
        {{0x70, 0x04, 0x57, 0x20, 0x12, 0x34}, QAV_OK, "1234"},
    };
    for (const Case& c : cases) {
        std::string number = "unchanged";
        EXPECT_EQ(api::CardNumberFromRecord(c.record.data(), static_cast<uint32_t>(c.record.size()),
                                            &number),
                  c.rc);
        EXPECT_EQ(number, c.rc == QAV_OK ? c.number : "unchanged");
    }
}

// The wraps a container's key type takes in and out. (Algorithm identifiers
// and padding selectors show in what the ciphers make of them.)
TEST(SessionKeyTablesTest, WrapsOfEachKeyType) {
    const auto mapped = [](uint32_t (*table)(uint32_t, uint32_t*) noexcept, uint32_t in) {
        uint32_t value = 0;
        const uint32_t rc = table(in, &value);
        return rc == QAV_OK ? value : rc;
    };
    constexpr uint32_t kRefused = QAV_E_BAD_ALGORITHM;
    struct Row {
        uint32_t in, importWrap, exportWrap;
    };
    const Row rows[] = {{0, kRefused, kRefused}, {1, 0, 0},          {2, kRefused, 1}, {4, 2, 2},
                        {8, kRefused, kRefused}, {0x20, 1, kRefused}};
    for (const Row& row : rows) {
        EXPECT_EQ(mapped(api::ImportWrapAlgorithm, row.in), row.importWrap) << row.in;
        EXPECT_EQ(mapped(api::ExportWrapAlgorithm, row.in), row.exportWrap) << row.in;
    }
}

}  // namespace
}  // namespace qav
