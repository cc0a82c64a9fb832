// Every export against bad input from its caller: the documented code, in
// the documented order, nothing sent to the card and nothing written to the
// caller's memory. Reserved arguments are not read.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "def_exports.h"
#include "qavseal/qavseal.h"
#include "support/known_commands.h"
#include "support/open_device_fixture.h"

namespace qav {
namespace {

constexpr uint32_t kMax = 0xFFFFFFFFu;
constexpr uint32_t kNull = QAV_E_NULL_POINTER;
constexpr uint32_t kLen = QAV_E_BAD_LENGTH;
const char kName[] = "QAV-RSA1024";
// One of the ATRs the library knows: no application probe, so checks the
// card layer makes are reached with nothing sent before them.
const fake::Bytes kKnownAtr = {0x3B, 0x7E, 0x96, 0x00, 0x00, 0x00, 0x81, 0x50, 0x32, 0x60,
                               0x86, 0x43, 0x20, 0x16, 0x03, 0x18, 0x16, 0x13, 0x14};
// A registered card of any other ATR.
const fake::Bytes kOtherAtr = {0x3B, 0x02, 0x14, 0x50};

// What a caller lends an export; all of it starts as a canary pattern.
struct Lent {
    uint8_t bytes[64];
    uint32_t length;  // an in/out length starts at the row's value
    uint32_t number;
    char** names;
    QAV_SessionKey* key;
    QAV_HANDLE handle;

    void Fill(uint32_t lengthIn) {
        std::memset(this, 0xA5, sizeof *this);
        length = lengthIn;
    }
    bool Untouched(uint32_t lengthIn) const {
        Lent expected;
        expected.Fill(lengthIn);
        return std::memcmp(this, &expected, sizeof *this) == 0;
    }
};

uint32_t QAV_CALLBACK Watch(const char*, uint32_t, uintptr_t, uint32_t) { return 0; }
uint32_t QAV_CALLBACK Mac(const uint8_t*, uint32_t, const uint8_t*, uint32_t, uint8_t*, uintptr_t,
                          uintptr_t) {
    return 1;
}
uint32_t QAV_CALLBACK Cryptogram(const uint8_t*, uint32_t, uint8_t*, uint32_t*, uintptr_t,
                                 uintptr_t) {
    return 1;
}

// The arguments of one call: every pointer null and every number 0, or all
// of them the caller's canaries (numbers at their largest).
struct Args {
    const char* text = nullptr;
    uint8_t* b = nullptr;
    uint32_t n = 0;
    uint32_t* len = nullptr;
    uint32_t* num = nullptr;
    char*** names = nullptr;
    QAV_SessionKey* key = nullptr;
    QAV_SessionKey** keyOut = nullptr;
    QAV_HANDLE* handle = nullptr;
    QAV_DeviceChangeCallback watch = nullptr;
    QAV_MacCallback mac = nullptr;
    QAV_CryptogramCallback cryptogram = nullptr;

    static Args Of(Lent& c) {
        return {kName, c.bytes, kMax,      &c.length, &c.number, &c.names,
                c.key, &c.key,  &c.handle, Watch,     Mac,       Cryptogram};
    }
};

struct Export {
    const char* name;
    bool onDevice;
    std::function<uint32_t(QAV_HANDLE h, const Args& a)> call;
};

// Every export, its reserved arguments given a.n.
#define ON_DEVICE(name, ...)                                                               \
    {                                                                                      \
#name, true,                                                                       \
            [](QAV_HANDLE h, [[maybe_unused]] const Args& a) { return name(__VA_ARGS__); } \
    }
#define LIBRARY(name, ...)                                                                         \
    {                                                                                              \
#name, false, [](QAV_HANDLE, [[maybe_unused]] const Args& a) { return name(__VA_ARGS__); } \
    }
const Export kExports[] = {
    LIBRARY(QAV_Initialize, a.n),
    LIBRARY(QAV_Finalize, a.n),
    LIBRARY(QAV_GetDeviceList, a.names, a.num, a.n),
    LIBRARY(QAV_OpenDevice, a.text, a.handle, a.n),
    ON_DEVICE(QAV_CloseDevice, h, a.n),
    ON_DEVICE(QAV_Lock, h, a.n),
    ON_DEVICE(QAV_Unlock, h, a.n),
    ON_DEVICE(QAV_Transmit, h, a.b, a.n, a.b, a.len, a.num, a.n),
    ON_DEVICE(QAV_Reset, h, a.n),
    ON_DEVICE(QAV_GetState, h, a.n, a.num, a.n),
    ON_DEVICE(QAV_ClearSecureState, h, a.n),
    ON_DEVICE(QAV_GetSealDeviceAbility, h, a.num, a.num, a.n),
    ON_DEVICE(QAV_GetAbilityInfo, h, a.b, a.n),
    ON_DEVICE(QAV_VerifyPIN, h, a.text, a.num, 0),
    ON_DEVICE(QAV_ChangePIN, h, a.text, a.text, a.num, 0),
    ON_DEVICE(QAV_ReloadPIN, h, a.n, nullptr, a.mac, a.text, a.num, 0, 0),
    ON_DEVICE(QAV_GenRandom, h, a.b, a.n, 0),
    ON_DEVICE(QAV_ReadFile, h, a.n, a.n, a.b, a.n, nullptr, 0, 0),
    ON_DEVICE(QAV_WriteFile, h, a.n, a.n, a.b, a.n, a.n, nullptr, a.mac, nullptr, 0, 0),
    ON_DEVICE(QAV_Hash, h, a.n, a.n, a.b, a.n, a.b, a.len, a.n),
    ON_DEVICE(QAV_InternalAuth, h, a.n, a.b, a.n, a.b, a.len, 0),
    ON_DEVICE(QAV_ExternalAuth, h, a.n, a.n, a.cryptogram, a.num, 0, 0),
    ON_DEVICE(QAV_DeliveryKey, h, a.n, a.n, a.b, a.n, a.n),
    ON_DEVICE(QAV_GenerateToken1, h, a.n, a.n, a.b, a.len, a.n),
    ON_DEVICE(QAV_GenerateSK, h, a.n, a.n, a.b, a.n, a.n),
    ON_DEVICE(QAV_ExportAppAuthKey, h, a.n, a.b, a.len, a.n),
    ON_DEVICE(QAV_CipherDataEncrypt, h, a.b, a.n, a.b, a.n, a.n, a.b, a.n, a.b, a.len, a.n),
    ON_DEVICE(QAV_CipherDataDecrypt, h, a.b, a.n, a.b, a.n, a.n, a.b, a.n, a.b, a.len, a.n),
    ON_DEVICE(QAV_CipherDataMac, h, a.b, a.n, a.b, a.n, a.b, a.n, a.b, a.len, a.n),
    ON_DEVICE(QAV_SealWrite, h, a.b, a.n, a.b, a.n, a.n),
    ON_DEVICE(QAV_SealSign, h, a.text, a.b, a.n, a.text, a.b, a.len, a.n),
    ON_DEVICE(QAV_GetSealPic, h, a.n, a.b, a.len, a.n),
    ON_DEVICE(QAV_GetSealWaterMarkPic, h, a.text, a.n, a.b, a.n, a.text, a.b, a.len, a.n),
    ON_DEVICE(QAV_GetCardNumber, h, reinterpret_cast<char*>(a.b), a.len, a.n),
    ON_DEVICE(QAV_GetContainerList, h, a.names, a.num, a.n),
    ON_DEVICE(QAV_ReadCert, h, a.text, a.b, a.len, a.n),
    ON_DEVICE(QAV_GenKeyPair, h, a.text, a.n, a.n),
    ON_DEVICE(QAV_ExportPublicKey, h, a.n, a.text, a.n, a.b, a.len, a.b, a.len, a.n),
    ON_DEVICE(QAV_WritePublicKey, h, a.text, a.n, a.n, a.b, a.n, a.key, a.n, a.mac, 0, 0),
    ON_DEVICE(QAV_WritePrivateKey, h, a.text, a.n, a.n, a.b, a.n, a.key, a.n, a.mac, 0, 0),
    ON_DEVICE(QAV_PublicKeyCalc, h, a.text, a.n, a.b, a.n, a.b, a.len, a.n),
    ON_DEVICE(QAV_PrivateKeyCalc, h, a.text, a.n, a.b, a.n, a.b, a.len, a.n),
    ON_DEVICE(QAV_PrivateKeyCalcRaw, h, a.text, a.b, a.n, a.b, a.len, a.n),
    ON_DEVICE(QAV_VerifyCertData, h, a.text, a.text, a.text, a.n, a.b, a.n, a.n),
    ON_DEVICE(QAV_ImportSessionKey, h, a.n, a.b, a.n, a.text, a.keyOut, a.n),
    ON_DEVICE(QAV_ExportSessionKey, h, a.key, a.text, a.b, a.len, a.n),
    ON_DEVICE(QAV_GetEnDeKeyHandle, h, a.keyOut, a.n),
    ON_DEVICE(QAV_DelSessionKey, h, a.key, a.n),
    ON_DEVICE(QAV_SessionKeyEncrypt, h, a.key, a.n, a.n, a.b, a.n, a.b, a.n, a.b, a.len, a.n),
    ON_DEVICE(QAV_SessionKeyDecrypt, h, a.key, a.n, a.n, a.b, a.n, a.b, a.n, a.b, a.len, a.n),
    LIBRARY(QAV_DetectDeviceChange, a.watch, 0),
    LIBRARY(QAV_CancelDetectDeviceChange, a.n),
};
#undef ON_DEVICE
#undef LIBRARY

class ExportChecksTest : public test::OpenDeviceTest {
protected:
    // Every export (but the starting one, or those without a device) with
    // both argument sets: rc, nothing sent, nothing of the caller's written.
    void ExpectEvery(QAV_HANDLE handle, uint32_t rc, bool onDeviceOnly) {
        const size_t sent = pcsc.SentCommands().size();
        for (const Export& e : kExports) {
            if ((onDeviceOnly && !e.onDevice) || std::strcmp(e.name, "QAV_Initialize") == 0) {
                continue;
            }
            EXPECT_EQ(e.call(handle, Args{}), rc) << e.name << " (nothing)";
            Lent lent;
            lent.Fill(sizeof lent.bytes);
            EXPECT_EQ(e.call(handle, Args::Of(lent)), rc) << e.name << " (canaries)";
            EXPECT_TRUE(lent.Untouched(sizeof lent.bytes)) << e.name;
        }
        EXPECT_EQ(pcsc.SentCommands().size(), sent);
    }
};

TEST_F(ExportChecksTest, TheTableHoldsEveryExportOfTheModuleDefinition) {
    const std::set<std::string> defined = {QAV_DEF_EXPORTS};
    std::set<std::string> tabled;
    for (const Export& e : kExports) EXPECT_TRUE(tabled.insert(e.name).second) << e.name;
    EXPECT_EQ(tabled, defined);
}

TEST_F(ExportChecksTest, LibraryThenHandleComeFirst) {
    const QAV_HANDLE handle = Open();
    ExpectEvery(handle + 1, QAV_E_INVALID_HANDLE, true);
    ExpectEvery(0, QAV_E_INVALID_HANDLE, true);
    QAV_HANDLE closed = 0;
    ASSERT_EQ(QAV_OpenDevice(kReader, &closed, 0), QAV_OK);
    ASSERT_EQ(QAV_CloseDevice(closed, 0), QAV_OK);
    ExpectEvery(closed, QAV_E_INVALID_HANDLE, true);
    // A handle of the library before its last Finalize.
    ASSERT_EQ(QAV_Finalize(0), QAV_OK);
    ExpectEvery(handle, QAV_E_NOT_INITIALIZED, false);
    ASSERT_EQ(QAV_Initialize(0), QAV_OK);
    ExpectEvery(handle, QAV_E_INVALID_HANDLE, true);
}

// One bad call; r goes to every reserved argument and must change nothing.
struct Row {
    const char* what;
    std::function<uint32_t(QAV_HANDLE h, uint32_t r, Lent& c)> call;
    uint32_t rc;
    uint32_t lengthIn = sizeof Lent::bytes;
};

TEST_F(ExportChecksTest, OwnArgumentsInOrderAtTheirBounds) {
    QAV_SessionKey* fixed = nullptr;
    // A PIN without its NUL within 16 digits is read no further than 17.
    const std::vector<char> unterminated(17, '1');
    const char* const longPin = unterminated.data();
    const char kPin18[] = "123456789012345678";
    const char kPin18Other[] = "123456789012345679";
#define ROW(what, call, ...)                                                \
    {                                                                       \
        what,                                                               \
            [&]([[maybe_unused]] QAV_HANDLE h, [[maybe_unused]] uint32_t r, \
                [[maybe_unused]] Lent& c) { return call; },                 \
            __VA_ARGS__                                                     \
    }
    const Row rows[] = {
        {"Initialize, Finalize",
         [](QAV_HANDLE, uint32_t r, Lent&) {
             const uint32_t rc = QAV_Initialize(r);
             return rc != QAV_OK ? rc : QAV_Finalize(r);
         },
         QAV_OK},
        ROW("GetDeviceList names", QAV_GetDeviceList(nullptr, &c.number, 1), kNull),
        ROW("GetDeviceList count", QAV_GetDeviceList(&c.names, nullptr, 1), kNull),
        ROW("OpenDevice name", QAV_OpenDevice(nullptr, &c.handle, r), kNull),
        ROW("OpenDevice handle", QAV_OpenDevice(kReader, nullptr, r), kNull),
        ROW("Transmit command", QAV_Transmit(h, nullptr, 5, c.bytes, &c.length, &c.number, r),
            kNull),
        // The zero length is found before the missing length pointer.
        ROW("Transmit commandLength", QAV_Transmit(h, c.bytes, 0, c.bytes, nullptr, &c.number, r),
            kLen),
        // Shorter than CLA INS P1 P2: refused, not handed to the reader.
        ROW("Transmit 3 command bytes",
            QAV_Transmit(h, c.bytes, 3, c.bytes, &c.length, &c.number, r), kLen),
        ROW("Transmit responseLength", QAV_Transmit(h, c.bytes, 5, c.bytes, nullptr, &c.number, r),
            kNull),
        ROW("Transmit statusWord", QAV_Transmit(h, c.bytes, 5, c.bytes, &c.length, nullptr, r),
            kNull),
        ROW("GetState state first", QAV_GetState(h, 0, nullptr, r), kNull),
        ROW("GetState kind 0", QAV_GetState(h, 0, &c.number, r), QAV_E_BAD_SELECTOR),
        ROW("GetState kind 5", QAV_GetState(h, 5, &c.number, r), QAV_E_BAD_SELECTOR),
        ROW("GetState kind 3", QAV_GetState(h, 3, &c.number, r), QAV_E_NOT_SUPPORTED),
        ROW("GetSealDeviceAbility flag1", QAV_GetSealDeviceAbility(h, nullptr, &c.number, r),
            kNull),
        ROW("GetSealDeviceAbility flag2", QAV_GetSealDeviceAbility(h, &c.number, nullptr, r),
            kNull),
        ROW("GetAbilityInfo info", QAV_GetAbilityInfo(h, nullptr, r), kNull),
        ROW("DetectDeviceChange callback", QAV_DetectDeviceChange(nullptr, 0), kNull),
        ROW("CancelDetectDeviceChange even scope", QAV_CancelDetectDeviceChange(r & ~1u), QAV_OK),
        ROW("VerifyPIN pin", QAV_VerifyPIN(h, nullptr, &c.number, 0), kNull),
        ROW("VerifyPIN 3 digits", QAV_VerifyPIN(h, "123", &c.number, 0), QAV_E_PIN_LENGTH),
        ROW("VerifyPIN unterminated", QAV_VerifyPIN(h, longPin, &c.number, 0), QAV_E_PIN_LENGTH),
        ROW("VerifyPIN triesLeft", QAV_VerifyPIN(h, "1234", nullptr, 0), kNull),
        ROW("ChangePIN old", QAV_ChangePIN(h, nullptr, nullptr, &c.number, 0), kNull),
        ROW("ChangePIN new", QAV_ChangePIN(h, "1234", nullptr, &c.number, 0), kNull),
        ROW("ChangePIN same", QAV_ChangePIN(h, "1234", "1234", &c.number, 0), QAV_E_PIN_UNCHANGED),
        // Past the 17th character two PINs are not compared: too long either way.
        ROW("ChangePIN 18 characters", QAV_ChangePIN(h, kPin18, kPin18Other, &c.number, 0),
            QAV_E_PIN_LENGTH),
        // A new PIN QAV_VerifyPIN would refuse, with its code.
        ROW("ChangePIN new with a letter", QAV_ChangePIN(h, "1234", "12AB", &c.number, 0), kNull),
        ROW("ChangePIN old unterminated", QAV_ChangePIN(h, longPin, "1234", &c.number, 0),
            QAV_E_PIN_LENGTH),
        ROW("ChangePIN new unterminated", QAV_ChangePIN(h, "1234", longPin, &c.number, 0),
            QAV_E_PIN_LENGTH),
        ROW("ReloadPIN pin", QAV_ReloadPIN(h, 4, nullptr, Mac, nullptr, &c.number, 0, 0), kNull),
        ROW("ReloadPIN pin with a letter",
            QAV_ReloadPIN(h, 4, nullptr, Mac, "12AB", &c.number, 0, 0), kNull),
        ROW("ReloadPIN challengeLength",
            QAV_ReloadPIN(h, kMax, nullptr, Mac, "1234", &c.number, 0, 0), kLen),
        ROW("ReloadPIN mac", QAV_ReloadPIN(h, 4, nullptr, nullptr, "1234", &c.number, 0, 0), kNull),
        ROW("ReloadPIN unterminated", QAV_ReloadPIN(h, 4, nullptr, Mac, longPin, &c.number, 0, 0),
            QAV_E_PIN_LENGTH),
        ROW("GenRandom out", QAV_GenRandom(h, nullptr, 4, 0), kNull),
        ROW("GenRandom length", QAV_GenRandom(h, c.bytes, 0, 0), kLen),
        ROW("GenRandom above the maximum", QAV_GenRandom(h, c.bytes, QAV_RANDOM_MAX_LENGTH + 1, 0),
            kLen),
        ROW("ReadFile fid", QAV_ReadFile(h, 0x10000, 0, c.bytes, 4, nullptr, 0, 0),
            QAV_E_ID_TOO_LARGE),
        ROW("ReadFile offset", QAV_ReadFile(h, 1, 0x10000, c.bytes, 4, nullptr, 0, 0),
            QAV_E_OFFSET_TOO_LARGE),
        ROW("ReadFile past 0xFFFF", QAV_ReadFile(h, 1, 0xFFFF, c.bytes, 2, nullptr, 0, 0), kLen),
        ROW("ReadFile length wrapping", QAV_ReadFile(h, 1, 1, c.bytes, kMax, nullptr, 0, 0), kLen),
        ROW("WriteFile fid",
            QAV_WriteFile(h, 0x10000, 0, c.bytes, 4, 0, nullptr, nullptr, nullptr, 0, 0),
            QAV_E_ID_TOO_LARGE),
        ROW("WriteFile offset",
            QAV_WriteFile(h, 1, 0x10000, c.bytes, 4, 0, nullptr, nullptr, nullptr, 0, 0),
            QAV_E_OFFSET_TOO_LARGE),
        ROW("WriteFile data",
            QAV_WriteFile(h, 1, 0, nullptr, 4, 0, nullptr, nullptr, nullptr, 0, 0), kNull),
        ROW("WriteFile past 0xFFFF",
            QAV_WriteFile(h, 1, 0xFFFF, c.bytes, 2, 0, nullptr, nullptr, nullptr, 0, 0), kLen),
        ROW("WriteFile length wrapping",
            QAV_WriteFile(h, 1, 1, c.bytes, kMax, 0, nullptr, nullptr, nullptr, 0, 0), kLen),
        ROW("WriteFile mac without encrypt",
            QAV_WriteFile(h, 1, 0, c.bytes, 4, 8, nullptr, Mac, nullptr, 0, 0), kNull),
        ROW("Hash mode", QAV_Hash(h, 3, 1, c.bytes, 4, c.bytes, &c.length, r), QAV_E_BAD_SELECTOR),
        ROW("Hash algorithm", QAV_Hash(h, 0, 4, c.bytes, 4, c.bytes, &c.length, r),
            QAV_E_BAD_ALGORITHM),
        ROW("Hash data", QAV_Hash(h, 0, 1, nullptr, 4, c.bytes, &c.length, r), kNull),
        ROW("Hash dataLength", QAV_Hash(h, 0, 1, c.bytes, 0, c.bytes, &c.length, r), kLen),
        ROW("Hash outLength", QAV_Hash(h, 0, 1, c.bytes, 4, c.bytes, nullptr, r), kNull),
        ROW("InternalAuth data", QAV_InternalAuth(h, 1, nullptr, 16, c.bytes, &c.length, 0), kNull),
        ROW("InternalAuth dataLength 15",
            QAV_InternalAuth(h, 1, c.bytes, 15, c.bytes, &c.length, 0), kLen),
        ROW("InternalAuth dataLength 17",
            QAV_InternalAuth(h, 1, c.bytes, 17, c.bytes, &c.length, 0), kLen),
        ROW("InternalAuth dataLength max",
            QAV_InternalAuth(h, 1, c.bytes, kMax, c.bytes, &c.length, 0), kLen),
        ROW("InternalAuth outLength", QAV_InternalAuth(h, 1, c.bytes, 16, c.bytes, nullptr, 0),
            kNull),
        ROW("ExternalAuth keyReference 256",
            QAV_ExternalAuth(h, 256, 8, Cryptogram, &c.number, 0, 0), kNull),
        ROW("ExternalAuth challengeLength",
            QAV_ExternalAuth(h, 255, kMax, Cryptogram, &c.number, 0, 0), kLen),
        ROW("ExternalAuth cryptogram", QAV_ExternalAuth(h, 1, 8, nullptr, &c.number, 0, 0), kNull),
        ROW("ExternalAuth triesLeft", QAV_ExternalAuth(h, 1, 8, Cryptogram, nullptr, 0, 0), kNull),
        ROW("DeliveryKey keyType 256", QAV_DeliveryKey(h, 256, 1, c.bytes, 16, r), QAV_E_BAD_KEY),
        ROW("DeliveryKey keyReference 256", QAV_DeliveryKey(h, 255, 256, c.bytes, 16, r),
            QAV_E_ID_TOO_LARGE),
        ROW("DeliveryKey keyLength 57", QAV_DeliveryKey(h, 6, 1, c.bytes, 57, r), kLen),
        ROW("DeliveryKey keyLength max", QAV_DeliveryKey(h, 6, 1, c.bytes, kMax, r), kLen),
        ROW("GenerateToken1 keyType", QAV_GenerateToken1(h, 5, 1, c.bytes, &c.length, r),
            QAV_E_BAD_KEY),
        ROW("GenerateToken1 keyReference 256", QAV_GenerateToken1(h, 6, 256, c.bytes, &c.length, r),
            QAV_E_ID_TOO_LARGE),
        ROW("GenerateToken1 outLength", QAV_GenerateToken1(h, 6, 1, c.bytes, nullptr, r), kNull),
        ROW("GenerateSK dataLength 31", QAV_GenerateSK(h, 6, 1, c.bytes, 31, r), kLen),
        ROW("GenerateSK dataLength max", QAV_GenerateSK(h, 6, 1, c.bytes, kMax, r), kLen),
        ROW("ExportAppAuthKey outLength", QAV_ExportAppAuthKey(h, 1, c.bytes, nullptr, r), kNull),
        ROW("ExportAppAuthKey keyIndex 15", QAV_ExportAppAuthKey(h, 15, c.bytes, &c.length, r),
            QAV_E_KEY_INDEX),
        ROW("CipherDataEncrypt keyMode",
            QAV_CipherDataEncrypt(h, nullptr, 0, nullptr, 0, 2, c.bytes, 16, c.bytes, &c.length, r),
            QAV_E_BAD_CIPHER_MODE),
        ROW("CipherDataEncrypt key",
            QAV_CipherDataEncrypt(h, nullptr, 0, nullptr, 16, 1, c.bytes, 16, c.bytes, &c.length,
                                  r),
            kNull),
        ROW("CipherDataEncrypt keyLength",
            QAV_CipherDataEncrypt(h, nullptr, 0, c.bytes, 15, 1, c.bytes, 16, c.bytes, &c.length,
                                  r),
            kLen),
        ROW("CipherDataEncrypt iv of length 0",
            QAV_CipherDataEncrypt(h, c.bytes, 0, nullptr, 0, 0, c.bytes, 16, c.bytes, &c.length, r),
            kLen),
        ROW("CipherDataDecrypt data",
            QAV_CipherDataDecrypt(h, nullptr, 0, nullptr, 0, 0, nullptr, 16, c.bytes, &c.length, r),
            kNull),
        ROW("CipherDataDecrypt dataLength max",
            QAV_CipherDataDecrypt(h, nullptr, 0, nullptr, 0, 0, c.bytes, kMax, c.bytes, &c.length,
                                  r),
            kLen),
        ROW("CipherDataMac dataLength 0",
            QAV_CipherDataMac(h, nullptr, 0, c.bytes, 16, c.bytes, 0, c.bytes, &c.length, r), kLen),
        ROW("CipherDataMac outLength",
            QAV_CipherDataMac(h, nullptr, 0, c.bytes, 16, c.bytes, 16, c.bytes, nullptr, r), kNull),
        ROW("SealWrite data", QAV_SealWrite(h, nullptr, 0, c.bytes, 0, r), kNull),
        ROW("SealWrite expected", QAV_SealWrite(h, c.bytes, 0, nullptr, 0, r), kNull),
        ROW("SealWrite dataLength", QAV_SealWrite(h, c.bytes, 0, c.bytes, 32, r), kLen),
        ROW("SealWrite expectedLength", QAV_SealWrite(h, c.bytes, 4, c.bytes, 0, r), kLen),
        ROW("SealSign containerName",
            QAV_SealSign(h, nullptr, c.bytes, 32, nullptr, c.bytes, &c.length, r), kNull),
        ROW("SealSign hash", QAV_SealSign(h, kName, nullptr, 0, nullptr, c.bytes, nullptr, r),
            kNull),
        ROW("SealSign hashLength", QAV_SealSign(h, kName, c.bytes, 0, nullptr, c.bytes, nullptr, r),
            kLen),
        ROW("SealSign hashLength max",
            QAV_SealSign(h, kName, c.bytes, kMax, nullptr, c.bytes, &c.length, r), kLen),
        ROW("SealSign signatureLength",
            QAV_SealSign(h, kName, c.bytes, 32, nullptr, c.bytes, nullptr, r), kNull),
        ROW("SealSign capacity 0",
            QAV_SealSign(h, kName, c.bytes, 32, nullptr, c.bytes, &c.length, r), kNull, 0),
        ROW("GetSealPic outLength", QAV_GetSealPic(h, 1, c.bytes, nullptr, r), kNull),
        ROW("GetSealPic capacity 0", QAV_GetSealPic(h, 1, nullptr, &c.length, r), kNull, 0),
        ROW("GetSealWaterMarkPic containerName",
            QAV_GetSealWaterMarkPic(h, nullptr, 1, c.bytes, 32, nullptr, c.bytes, &c.length, r),
            kNull),
        ROW("GetSealWaterMarkPic hash",
            QAV_GetSealWaterMarkPic(h, kName, 1, nullptr, 0, nullptr, c.bytes, nullptr, r), kNull),
        ROW("GetSealWaterMarkPic hashLength",
            QAV_GetSealWaterMarkPic(h, kName, 1, c.bytes, 0, nullptr, c.bytes, nullptr, r), kLen),
        ROW("GetSealWaterMarkPic outLength",
            QAV_GetSealWaterMarkPic(h, kName, 1, c.bytes, 32, nullptr, c.bytes, nullptr, r), kNull),
        ROW("GetCardNumber outLength", QAV_GetCardNumber(h, nullptr, nullptr, r), kNull),
        ROW("GetContainerList names", QAV_GetContainerList(h, nullptr, &c.number, r), kNull),
        ROW("GetContainerList count", QAV_GetContainerList(h, &c.names, nullptr, r), kNull),
        ROW("ReadCert name", QAV_ReadCert(h, nullptr, c.bytes, &c.length, r), kNull),
        ROW("ReadCert outLength", QAV_ReadCert(h, kName, c.bytes, nullptr, r), kNull),
        ROW("GenKeyPair name", QAV_GenKeyPair(h, nullptr, 3, r), kNull),
        ROW("GenKeyPair type 3", QAV_GenKeyPair(h, kName, 3, r), QAV_E_BAD_ALGORITHM),
        ROW("GenKeyPair type 0x21", QAV_GenKeyPair(h, kName, 0x21, r), QAV_E_BAD_ALGORITHM),
        ROW("ExportPublicKey wrapSelector",
            QAV_ExportPublicKey(h, 1, nullptr, 2, c.bytes, &c.length, nullptr, nullptr, r),
            QAV_E_BAD_ALGORITHM),
        ROW("ExportPublicKey name",
            QAV_ExportPublicKey(h, 2, nullptr, 2, c.bytes, &c.length, nullptr, nullptr, r), kNull),
        ROW("WritePublicKey name",
            QAV_WritePublicKey(h, nullptr, 1, 1, c.bytes, 0, nullptr, 4, Mac, 0, 0), kNull),
        ROW("WritePrivateKey value",
            QAV_WritePrivateKey(h, kName, 1, 1, nullptr, 0, nullptr, 4, Mac, 0, 0), kNull),
        ROW("WritePublicKey valueLength",
            QAV_WritePublicKey(h, kName, 1, 1, c.bytes, 0, fixed, 4, Mac, 0, 0), kLen),
        ROW("WritePrivateKey key",
            QAV_WritePrivateKey(h, kName, 1, 1, c.bytes, 4, c.key, 4, Mac, 0, 0), QAV_E_BAD_KEY),
        ROW("PublicKeyCalc name", QAV_PublicKeyCalc(h, nullptr, 1, c.bytes, 0, c.bytes, nullptr, r),
            kNull),
        ROW("PublicKeyCalc input", QAV_PublicKeyCalc(h, kName, 1, nullptr, 0, c.bytes, nullptr, r),
            kNull),
        ROW("PublicKeyCalc inputLength",
            QAV_PublicKeyCalc(h, kName, 1, c.bytes, 0, c.bytes, nullptr, r), kLen),
        ROW("PrivateKeyCalc outLength first",
            QAV_PrivateKeyCalc(h, nullptr, 1, c.bytes, 0, c.bytes, nullptr, r), kNull),
        ROW("PrivateKeyCalc inputLength",
            QAV_PrivateKeyCalc(h, kName, 1, c.bytes, 0, c.bytes, &c.length, r), kLen),
        ROW("PrivateKeyCalcRaw name",
            QAV_PrivateKeyCalcRaw(h, nullptr, c.bytes, 0, c.bytes, &c.length, r), kNull),
        ROW("PrivateKeyCalcRaw input",
            QAV_PrivateKeyCalcRaw(h, kName, nullptr, 0, c.bytes, &c.length, r), kNull),
        ROW("PrivateKeyCalcRaw outLength before inputLength",
            QAV_PrivateKeyCalcRaw(h, kName, c.bytes, 0, nullptr, nullptr, r), kNull),
        ROW("PrivateKeyCalcRaw inputLength",
            QAV_PrivateKeyCalcRaw(h, kName, c.bytes, 0, nullptr, &c.length, r), kLen),
        ROW("VerifyCertData A", QAV_VerifyCertData(h, nullptr, kName, kName, 1, c.bytes, 4, r),
            kNull),
        ROW("VerifyCertData C", QAV_VerifyCertData(h, kName, kName, nullptr, 9, c.bytes, 4, r),
            kNull),
        ROW("VerifyCertData algorithm",
            QAV_VerifyCertData(h, kName, kName, kName, 2, nullptr, 0, r), QAV_E_BAD_ALGORITHM),
        ROW("VerifyCertData data", QAV_VerifyCertData(h, kName, kName, kName, 3, nullptr, 4, r),
            kNull),
        ROW("VerifyCertData dataLength 0",
            QAV_VerifyCertData(h, kName, kName, kName, 1, c.bytes, 0, r), kLen),
        ROW("VerifyCertData dataLength 0x10000",
            QAV_VerifyCertData(h, kName, kName, kName, 1, c.bytes, 0x10000, r), kLen),
        ROW("ImportSessionKey algorithm first",
            QAV_ImportSessionKey(h, 2, c.bytes, 16, nullptr, nullptr, r), QAV_E_BAD_ALGORITHM),
        ROW("ImportSessionKey keyOut",
            QAV_ImportSessionKey(h, 64, c.bytes, 16, nullptr, nullptr, r), kNull),
        ROW("ImportSessionKey key", QAV_ImportSessionKey(h, 64, nullptr, 16, nullptr, &c.key, r),
            kNull),
        ROW("ImportSessionKey keyLength max",
            QAV_ImportSessionKey(h, 64, c.bytes, kMax, nullptr, &c.key, r), kLen),
        ROW("ExportSessionKey unknown key",
            QAV_ExportSessionKey(h, c.key, nullptr, c.bytes, &c.length, r), QAV_E_BAD_KEY),
        ROW("GetEnDeKeyHandle keyOut", QAV_GetEnDeKeyHandle(h, nullptr, r), kNull),
        ROW("DelSessionKey unknown key", QAV_DelSessionKey(h, c.key, r), QAV_E_BAD_KEY),
        ROW("SessionKeyEncrypt null key",
            QAV_SessionKeyEncrypt(h, nullptr, 1, 9, c.bytes, 3, c.bytes, 5, c.bytes, &c.length, r),
            QAV_E_BAD_KEY),
        // The fixed key is SM4: 16-byte blocks.
        ROW("SessionKeyEncrypt iv",
            QAV_SessionKeyEncrypt(h, fixed, 1, 0, c.bytes, 8, c.bytes, 16, c.bytes, &c.length, r),
            QAV_E_IV_LENGTH),
        ROW("SessionKeyEncrypt withIv 2",
            QAV_SessionKeyEncrypt(h, fixed, 2, 0, c.bytes, 8, c.bytes, 16, c.bytes, &c.length, r),
            QAV_E_BAD_CIPHER_MODE),
        ROW("SessionKeyEncrypt padding",
            QAV_SessionKeyEncrypt(h, fixed, 0, 3, c.bytes, 0, c.bytes, 16, c.bytes, &c.length, r),
            QAV_E_BAD_SELECTOR),
        ROW("SessionKeyEncrypt inputLength max",
            QAV_SessionKeyEncrypt(h, fixed, 0, 0, c.bytes, 0, c.bytes, kMax, c.bytes, &c.length, r),
            kLen),
        ROW("SessionKeyDecrypt length before iv",
            QAV_SessionKeyDecrypt(h, fixed, 1, 9, c.bytes, 3, c.bytes, 15, c.bytes, &c.length, r),
            kLen),
        ROW("SessionKeyDecrypt iv",
            QAV_SessionKeyDecrypt(h, fixed, 1, 9, c.bytes, 8, c.bytes, 16, c.bytes, &c.length, r),
            QAV_E_IV_LENGTH),
    };
#undef ROW
    // A card of a known ATR gets no application probe, so the checks are
    // reached with nothing sent; any other card gets the probe's SELECT
    // first, and every check must come before that too.
    for (const fake::Bytes& atr : {kKnownAtr, kOtherAtr}) {
        SCOPED_TRACE(atr == kKnownAtr ? "known ATR" : "other ATR");
        const QAV_HANDLE device = Open(atr);
        ASSERT_EQ(QAV_GetEnDeKeyHandle(device, &fixed, 0), QAV_OK);
        for (const Row& row : rows) {
            for (const uint32_t reserved : {0u, kMax}) {
                Lent lent;
                lent.Fill(row.lengthIn);
                EXPECT_EQ(row.call(device, reserved, lent), row.rc)
                    << row.what << ", reserved " << reserved;
                EXPECT_TRUE(lent.Untouched(row.lengthIn)) << row.what;
                EXPECT_TRUE(pcsc.SentCommands().empty()) << row.what;
                pcsc.ResetCounts();
            }
        }
        ASSERT_EQ(QAV_CloseDevice(device, 0), QAV_OK);
    }
}

// Key handles belong to the device that made them and go with it.
TEST_F(ExportChecksTest, KeyHandlesAreTheirDevicesOnly) {
    const QAV_HANDLE first = Open();
    QAV_HANDLE second = 0;
    ASSERT_EQ(QAV_OpenDevice(kReader, &second, 0), QAV_OK);
    QAV_SessionKey* firstKey = nullptr;
    QAV_SessionKey* again = nullptr;
    ASSERT_EQ(QAV_GetEnDeKeyHandle(first, &firstKey, 0), QAV_OK);
    ASSERT_EQ(QAV_GetEnDeKeyHandle(first, &again, 0), QAV_OK);
    EXPECT_NE(firstKey, again);
    // The card's own key stays on the card; deleting frees only the handle.
    card->Expect(test::kSelectAbility, "90 00");
    EXPECT_EQ(QAV_DelSessionKey(first, again, 0), QAV_OK);
    EXPECT_EQ(QAV_DelSessionKey(first, again, 0), QAV_E_BAD_KEY);
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
