// The argument checks of every card export, in their order: each bad
// argument gives its code, and nothing reaches the card.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "qavseal/qavseal.h"
#include "support/open_device_fixture.h"

namespace qav {
namespace {

using Call = std::function<uint32_t(QAV_HANDLE)>;

struct CheckCase {
    const char* what;
    Call call;
    uint32_t expected;
};

uint8_t bytes[32];
uint32_t length = 32;
uint32_t number = 0;
char** names = nullptr;
QAV_SessionKey* key = nullptr;
const char kName[] = "QAV-RSA1024";

// Every card export, called with arguments that pass its own checks.
std::vector<std::pair<const char*, Call>> EveryExport() {
    return {
        {"VerifyPIN", [](QAV_HANDLE h) { return QAV_VerifyPIN(h, "1234", &number, 0); }},
        {"ChangePIN", [](QAV_HANDLE h) { return QAV_ChangePIN(h, "1234", "5678", &number, 0); }},
        {"ReloadPIN",
         [](QAV_HANDLE h) { return QAV_ReloadPIN(h, 4, nullptr, nullptr, "1234", &number, 0, 0); }},
        {"GenRandom", [](QAV_HANDLE h) { return QAV_GenRandom(h, bytes, 4, 0); }},
        {"ReadFile", [](QAV_HANDLE h) { return QAV_ReadFile(h, 1, 0, bytes, 4, nullptr, 0, 0); }},
        {"WriteFile",
         [](QAV_HANDLE h) {
             return QAV_WriteFile(h, 1, 0, bytes, 4, 0, nullptr, nullptr, nullptr, 0, 0);
         }},
        {"Hash", [](QAV_HANDLE h) { return QAV_Hash(h, 0, 1, bytes, 4, bytes, &length, 0); }},
        {"InternalAuth",
         [](QAV_HANDLE h) { return QAV_InternalAuth(h, 1, bytes, 16, bytes, &length, 0); }},
        {"ExternalAuth",
         [](QAV_HANDLE h) { return QAV_ExternalAuth(h, 1, 8, nullptr, &number, 0, 0); }},
        {"DeliveryKey", [](QAV_HANDLE h) { return QAV_DeliveryKey(h, 6, 1, bytes, 16, 0); }},
        {"GenerateToken1",
         [](QAV_HANDLE h) { return QAV_GenerateToken1(h, 6, 1, bytes, &length, 0); }},
        {"GenerateSK", [](QAV_HANDLE h) { return QAV_GenerateSK(h, 6, 1, bytes, 16, 0); }},
        {"ExportAppAuthKey",
         [](QAV_HANDLE h) { return QAV_ExportAppAuthKey(h, 1, bytes, &length, 0); }},
        {"CipherDataEncrypt",
         [](QAV_HANDLE h) {
             return QAV_CipherDataEncrypt(h, nullptr, 0, nullptr, 0, 0, bytes, 16, bytes, &length,
                                          0);
         }},
        {"CipherDataDecrypt",
         [](QAV_HANDLE h) {
             return QAV_CipherDataDecrypt(h, nullptr, 0, nullptr, 0, 0, bytes, 16, bytes, &length,
                                          0);
         }},
        {"CipherDataMac",
         [](QAV_HANDLE h) {
             return QAV_CipherDataMac(h, nullptr, 0, nullptr, 0, bytes, 16, bytes, &length, 0);
         }},
        {"SealWrite", [](QAV_HANDLE h) { return QAV_SealWrite(h, bytes, 4, bytes, 32, 0); }},
        {"SealSign",
         [](QAV_HANDLE h) { return QAV_SealSign(h, kName, bytes, 32, "", bytes, &length, 0); }},
        {"GetSealPic", [](QAV_HANDLE h) { return QAV_GetSealPic(h, 1, bytes, &length, 0); }},
        {"GetSealWaterMarkPic",
         [](QAV_HANDLE h) {
             return QAV_GetSealWaterMarkPic(h, kName, 1, bytes, 32, "", bytes, &length, 0);
         }},
        {"GetCardNumber",
         [](QAV_HANDLE h) {
             return QAV_GetCardNumber(h, reinterpret_cast<char*>(bytes), &length, 0);
         }},
        {"GetContainerList",
         [](QAV_HANDLE h) { return QAV_GetContainerList(h, &names, &number, 0); }},
        {"ReadCert", [](QAV_HANDLE h) { return QAV_ReadCert(h, kName, bytes, &length, 0); }},
        {"GenKeyPair", [](QAV_HANDLE h) { return QAV_GenKeyPair(h, kName, 1, 0); }},
        {"ExportPublicKey",
         [](QAV_HANDLE h) {
             return QAV_ExportPublicKey(h, 0, kName, 0, bytes, &length, nullptr, nullptr, 0);
         }},
        {"WritePublicKey",
         [](QAV_HANDLE h) {
             return QAV_WritePublicKey(h, kName, 1, 1, bytes, 4, nullptr, 4, nullptr, 0, 0);
         }},
        {"WritePrivateKey",
         [](QAV_HANDLE h) {
             return QAV_WritePrivateKey(h, kName, 1, 1, bytes, 4, nullptr, 4, nullptr, 0, 0);
         }},
        {"PublicKeyCalc",
         [](QAV_HANDLE h) { return QAV_PublicKeyCalc(h, kName, 1, bytes, 4, bytes, &length, 0); }},
        {"PrivateKeyCalc",
         [](QAV_HANDLE h) { return QAV_PrivateKeyCalc(h, kName, 1, bytes, 4, bytes, &length, 0); }},
        {"VerifyCertData",
         [](QAV_HANDLE h) { return QAV_VerifyCertData(h, kName, kName, kName, 1, bytes, 4, 0); }},
        {"ImportSessionKey",
         [](QAV_HANDLE h) { return QAV_ImportSessionKey(h, 1, bytes, 16, nullptr, &key, 0); }},
        {"ExportSessionKey",
         [](QAV_HANDLE h) { return QAV_ExportSessionKey(h, key, nullptr, bytes, &length, 0); }},
        {"GetEnDeKeyHandle", [](QAV_HANDLE h) { return QAV_GetEnDeKeyHandle(h, &key, 0); }},
        {"DelSessionKey", [](QAV_HANDLE h) { return QAV_DelSessionKey(h, key, 0); }},
        {"SessionKeyEncrypt",
         [](QAV_HANDLE h) {
             return QAV_SessionKeyEncrypt(h, key, 0, 0, nullptr, 0, bytes, 16, bytes, &length, 0);
         }},
        {"SessionKeyDecrypt",
         [](QAV_HANDLE h) {
             return QAV_SessionKeyDecrypt(h, key, 0, 0, nullptr, 0, bytes, 16, bytes, &length, 0);
         }},
    };
}

class CardExportChecksTest : public test::OpenDeviceTest {};

TEST_F(CardExportChecksTest, LibraryThenHandleComeFirst) {
    const QAV_HANDLE handle = Open();
    const auto exports = EveryExport();
    EXPECT_EQ(exports.size(), 36u);
    for (const auto& [name, call] : exports) {
        EXPECT_EQ(call(handle + 1), QAV_E_INVALID_HANDLE) << name;
    }
    test::StopLibrary();
    for (const auto& [name, call] : exports) {
        EXPECT_EQ(call(handle), QAV_E_NOT_INITIALIZED) << name;
    }
    EXPECT_TRUE(pcsc.SentCommands().empty());
}

TEST_F(CardExportChecksTest, OwnArgumentsInOrder) {
    const QAV_HANDLE h = Open();
    QAV_SessionKey* fixed = nullptr;
    ASSERT_EQ(QAV_GetEnDeKeyHandle(h, &fixed, 0), QAV_OK);
    uint8_t* b = bytes;
    uint32_t* n = &number;
    uint32_t* len = &length;
    const CheckCase cases[] = {
        {"VerifyPIN pin", [&](QAV_HANDLE) { return QAV_VerifyPIN(h, nullptr, n, 0); },
         QAV_E_NULL_POINTER},
        {"ChangePIN old", [&](QAV_HANDLE) { return QAV_ChangePIN(h, nullptr, nullptr, n, 0); },
         QAV_E_NULL_POINTER},
        {"ChangePIN new", [&](QAV_HANDLE) { return QAV_ChangePIN(h, "1234", nullptr, n, 0); },
         QAV_E_NULL_POINTER},
        {"ChangePIN same", [&](QAV_HANDLE) { return QAV_ChangePIN(h, "1234", "1234", n, 0); },
         QAV_E_PIN_UNCHANGED},
        {"ReloadPIN pin",
         [&](QAV_HANDLE) { return QAV_ReloadPIN(h, 4, nullptr, nullptr, nullptr, n, 0, 0); },
         QAV_E_NULL_POINTER},
        {"GenRandom out", [&](QAV_HANDLE) { return QAV_GenRandom(h, nullptr, 0, 0); },
         QAV_E_NULL_POINTER},
        {"GenRandom length", [&](QAV_HANDLE) { return QAV_GenRandom(h, b, 0, 0); },
         QAV_E_BAD_LENGTH},
        {"SealWrite data", [&](QAV_HANDLE) { return QAV_SealWrite(h, nullptr, 0, b, 0, 0); },
         QAV_E_NULL_POINTER},
        {"SealWrite expected", [&](QAV_HANDLE) { return QAV_SealWrite(h, b, 0, nullptr, 0, 0); },
         QAV_E_NULL_POINTER},
        {"SealWrite dataLength", [&](QAV_HANDLE) { return QAV_SealWrite(h, b, 0, b, 32, 0); },
         QAV_E_BAD_LENGTH},
        {"SealWrite expectedLength", [&](QAV_HANDLE) { return QAV_SealWrite(h, b, 4, b, 0, 0); },
         QAV_E_BAD_LENGTH},
        {"SealSign hash",
         [&](QAV_HANDLE) { return QAV_SealSign(h, nullptr, nullptr, 0, nullptr, b, nullptr, 0); },
         QAV_E_NULL_POINTER},
        {"SealSign hashLength",
         [&](QAV_HANDLE) { return QAV_SealSign(h, nullptr, b, 0, nullptr, b, nullptr, 0); },
         QAV_E_BAD_LENGTH},
        {"SealSign signatureLength",
         [&](QAV_HANDLE) { return QAV_SealSign(h, nullptr, b, 32, nullptr, b, nullptr, 0); },
         QAV_E_NULL_POINTER},
        {"GetSealPic outLength", [&](QAV_HANDLE) { return QAV_GetSealPic(h, 1, b, nullptr, 0); },
         QAV_E_NULL_POINTER},
        {"GetSealWaterMarkPic hash",
         [&](QAV_HANDLE) {
             return QAV_GetSealWaterMarkPic(h, nullptr, 1, nullptr, 0, nullptr, b, nullptr, 0);
         },
         QAV_E_NULL_POINTER},
        {"GetSealWaterMarkPic hashLength",
         [&](QAV_HANDLE) {
             return QAV_GetSealWaterMarkPic(h, nullptr, 1, b, 0, nullptr, b, nullptr, 0);
         },
         QAV_E_BAD_LENGTH},
        {"GetSealWaterMarkPic outLength",
         [&](QAV_HANDLE) {
             return QAV_GetSealWaterMarkPic(h, nullptr, 1, b, 32, nullptr, b, nullptr, 0);
         },
         QAV_E_NULL_POINTER},
        {"GetCardNumber outLength",
         [&](QAV_HANDLE) { return QAV_GetCardNumber(h, nullptr, nullptr, 0); }, QAV_E_NULL_POINTER},
        {"GetContainerList names",
         [&](QAV_HANDLE) { return QAV_GetContainerList(h, nullptr, nullptr, 0); },
         QAV_E_NULL_POINTER},
        {"GetContainerList count",
         [&](QAV_HANDLE) { return QAV_GetContainerList(h, &names, nullptr, 0); },
         QAV_E_NULL_POINTER},
        {"ReadCert name", [&](QAV_HANDLE) { return QAV_ReadCert(h, nullptr, b, len, 0); },
         QAV_E_NULL_POINTER},
        {"ReadCert outLength", [&](QAV_HANDLE) { return QAV_ReadCert(h, kName, b, nullptr, 0); },
         QAV_E_NULL_POINTER},
        {"GenKeyPair name", [&](QAV_HANDLE) { return QAV_GenKeyPair(h, nullptr, 3, 0); },
         QAV_E_NULL_POINTER},
        {"GenKeyPair type", [&](QAV_HANDLE) { return QAV_GenKeyPair(h, kName, 3, 0); },
         QAV_E_BAD_ALGORITHM},
        {"ExportPublicKey selector",
         [&](QAV_HANDLE) {
             return QAV_ExportPublicKey(h, 1, nullptr, 2, b, len, nullptr, nullptr, 0);
         },
         QAV_E_BAD_ALGORITHM},
        {"ExportPublicKey name",
         [&](QAV_HANDLE) {
             return QAV_ExportPublicKey(h, 2, nullptr, 2, b, len, nullptr, nullptr, 0);
         },
         QAV_E_NULL_POINTER},
        {"WritePublicKey name",
         [&](QAV_HANDLE) {
             return QAV_WritePublicKey(h, nullptr, 1, 1, b, 0, nullptr, 4, nullptr, 0, 0);
         },
         QAV_E_NULL_POINTER},
        {"WritePrivateKey value",
         [&](QAV_HANDLE) {
             return QAV_WritePrivateKey(h, kName, 1, 1, nullptr, 0, nullptr, 4, nullptr, 0, 0);
         },
         QAV_E_NULL_POINTER},
        {"WritePublicKey valueLength",
         [&](QAV_HANDLE) {
             return QAV_WritePublicKey(h, kName, 1, 1, b, 0, fixed, 4, nullptr, 0, 0);
         },
         QAV_E_BAD_LENGTH},
        {"WritePrivateKey key",
         [&](QAV_HANDLE) {
             return QAV_WritePrivateKey(h, kName, 1, 1, b, 4, reinterpret_cast<QAV_SessionKey*>(b),
                                        4, nullptr, 0, 0);
         },
         QAV_E_BAD_KEY},
        {"PublicKeyCalc name",
         [&](QAV_HANDLE) { return QAV_PublicKeyCalc(h, nullptr, 1, b, 0, b, nullptr, 0); },
         QAV_E_NULL_POINTER},
        {"PublicKeyCalc input",
         [&](QAV_HANDLE) { return QAV_PublicKeyCalc(h, kName, 1, nullptr, 0, b, nullptr, 0); },
         QAV_E_NULL_POINTER},
        {"PublicKeyCalc inputLength",
         [&](QAV_HANDLE) { return QAV_PublicKeyCalc(h, kName, 1, b, 0, b, nullptr, 0); },
         QAV_E_BAD_LENGTH},
        {"PrivateKeyCalc outLength first",
         [&](QAV_HANDLE) { return QAV_PrivateKeyCalc(h, kName, 1, b, 0, b, nullptr, 0); },
         QAV_E_NULL_POINTER},
        {"PrivateKeyCalc inputLength",
         [&](QAV_HANDLE) { return QAV_PrivateKeyCalc(h, kName, 1, b, 0, b, len, 0); },
         QAV_E_BAD_LENGTH},
        {"VerifyCertData C",
         [&](QAV_HANDLE) { return QAV_VerifyCertData(h, kName, kName, nullptr, 9, b, 4, 0); },
         QAV_E_NULL_POINTER},
        {"ImportSessionKey algorithm first",
         [&](QAV_HANDLE) { return QAV_ImportSessionKey(h, 2, b, 16, nullptr, nullptr, 0); },
         QAV_E_BAD_ALGORITHM},
        {"ImportSessionKey keyOut",
         [&](QAV_HANDLE) { return QAV_ImportSessionKey(h, 64, b, 16, nullptr, nullptr, 0); },
         QAV_E_NULL_POINTER},
        {"ExportSessionKey unknown key",
         [&](QAV_HANDLE) { return QAV_ExportSessionKey(h, nullptr, nullptr, b, len, 0); },
         QAV_E_BAD_KEY},
        {"GetEnDeKeyHandle keyOut", [&](QAV_HANDLE) { return QAV_GetEnDeKeyHandle(h, nullptr, 0); },
         QAV_E_NULL_POINTER},
        {"DelSessionKey unknown key",
         [&](QAV_HANDLE) { return QAV_DelSessionKey(h, reinterpret_cast<QAV_SessionKey*>(b), 0); },
         QAV_E_BAD_KEY},
        {"SessionKeyEncrypt unknown key",
         [&](QAV_HANDLE) { return QAV_SessionKeyEncrypt(h, nullptr, 1, 9, b, 3, b, 5, b, len, 0); },
         QAV_E_BAD_KEY},
        // The fixed key is SM4: 16-byte blocks.
        {"SessionKeyDecrypt length before iv",
         [&](QAV_HANDLE) { return QAV_SessionKeyDecrypt(h, fixed, 1, 9, b, 3, b, 15, b, len, 0); },
         QAV_E_BAD_LENGTH},
        {"SessionKeyDecrypt iv",
         [&](QAV_HANDLE) { return QAV_SessionKeyDecrypt(h, fixed, 1, 9, b, 8, b, 16, b, len, 0); },
         QAV_E_IV_LENGTH},
    };
    for (const CheckCase& c : cases) EXPECT_EQ(c.call(h), c.expected) << c.what;
    EXPECT_TRUE(pcsc.SentCommands().empty());
}

// Key handles belong to the device that made them and go with it.
TEST_F(CardExportChecksTest, KeyHandlesAreTheirDevicesOnly) {
    const QAV_HANDLE first = Open();
    QAV_HANDLE second = 0;
    ASSERT_EQ(QAV_OpenDevice(kReader, &second, 0), QAV_OK);
    QAV_SessionKey* firstKey = nullptr;
    QAV_SessionKey* again = nullptr;
    ASSERT_EQ(QAV_GetEnDeKeyHandle(first, &firstKey, 0), QAV_OK);
    ASSERT_EQ(QAV_GetEnDeKeyHandle(first, &again, 0), QAV_OK);
    EXPECT_NE(firstKey, again);
    pcsc.ResetCounts();
    uint8_t out[16];
    uint32_t outLength = sizeof out;
    EXPECT_EQ(QAV_ExportSessionKey(second, firstKey, nullptr, out, &outLength, 0), QAV_E_BAD_KEY);
    EXPECT_EQ(QAV_DelSessionKey(second, firstKey, 0), QAV_E_BAD_KEY);
    QAV_SessionKey* secondKey = nullptr;
    ASSERT_EQ(QAV_GetEnDeKeyHandle(second, &secondKey, 0), QAV_OK);
    // Closing frees the first device's keys (the leak checkers see the rest).
    ASSERT_EQ(QAV_CloseDevice(first, 0), QAV_OK);
    EXPECT_EQ(QAV_DelSessionKey(second, firstKey, 0), QAV_E_BAD_KEY);
    EXPECT_EQ(QAV_DelSessionKey(first, secondKey, 0), QAV_E_INVALID_HANDLE);
    EXPECT_TRUE(pcsc.SentCommands().empty());
}

}  // namespace
}  // namespace qav
