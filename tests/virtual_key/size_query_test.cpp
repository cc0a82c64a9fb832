// Every export that answers a size query (a null buffer), asked for its size
// and then given a buffer of exactly that size: the boundary a caller who
// sizes by asking meets on every call.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "crypto_fixture.h"

namespace qav {
namespace {

using fake::Bytes;

class SizeQueryTest : public test::CryptoTest {};

TEST_F(SizeQueryTest, AnExactBufferTakesWhatTheSizeQueryReported) {
    const Bytes hash = Pattern(32, 0x11);
    const Bytes data = Pattern(32, 0x22);
    const Bytes sm4Key = Pattern(16, 0x33);
    const Bytes rawBlock = Pattern(128, 0x01);  // below the modulus
    QAV_SessionKey* fixed = nullptr;
    ASSERT_EQ(QAV_GetEnDeKeyHandle(handle, &fixed, 0), QAV_OK);
    QAV_SessionKey* imported = nullptr;
    ASSERT_EQ(QAV_ImportSessionKey(handle, 64, sm4Key.data(), 16, nullptr, &imported, 0), QAV_OK);
    uint8_t block[64];

    struct Row {
        const char* what;
        std::function<uint32_t(uint8_t* out, uint32_t* length)> call;
    };
    const QAV_HANDLE h = handle;
    const Row rows[] = {
        {"ReadCert",
         [&](uint8_t* out, uint32_t* length) {
             return QAV_ReadCert(h, "QAV-RSA2048", out, length, 0);
         }},
        {"GetSealPic",
         [&](uint8_t* out, uint32_t* length) { return QAV_GetSealPic(h, 1, out, length, 0); }},
        {"SealSign",
         [&](uint8_t* out, uint32_t* length) {
             return QAV_SealSign(h, "QAV-SM2-Seal", hash.data(), 32, nullptr, out, length, 0);
         }},
        {"Hash",
         [&](uint8_t* out, uint32_t* length) {
             return QAV_Hash(h, 0, 1, data.data(), U32(data.size()), out, length, 0);
         }},
        {"InternalAuth",
         [&](uint8_t* out, uint32_t* length) {
             return QAV_InternalAuth(h, 1, data.data(), 16, out, length, 0);
         }},
        {"ExportAppAuthKey",
         [&](uint8_t* out, uint32_t* length) {
             return QAV_ExportAppAuthKey(h, 1, out, length, 0);
         }},
        {"CipherDataEncrypt",
         [&](uint8_t* out, uint32_t* length) {
             return QAV_CipherDataEncrypt(h, nullptr, 0, nullptr, 0, 0, data.data(),
                                          U32(data.size()), out, length, 0);
         }},
        {"CipherDataDecrypt",
         [&](uint8_t* out, uint32_t* length) {
             return QAV_CipherDataDecrypt(h, nullptr, 0, sm4Key.data(), 16, 1, data.data(),
                                          U32(data.size()), out, length, 0);
         }},
        {"CipherDataMac",
         [&](uint8_t* out, uint32_t* length) {
             return QAV_CipherDataMac(h, nullptr, 0, sm4Key.data(), 16, data.data(),
                                      U32(data.size()), out, length, 0);
         }},
        {"PublicKeyCalc RSA padded",
         [&](uint8_t* out, uint32_t* length) {
             return QAV_PublicKeyCalc(h, "QAV-RSA1024", 1, data.data(), 20, out, length, 0);
         }},
        {"PrivateKeyCalc RSA padded",
         [&](uint8_t* out, uint32_t* length) {
             return QAV_PrivateKeyCalc(h, "QAV-RSA1024", 1, data.data(), 20, out, length, 0);
         }},
        {"PrivateKeyCalcRaw RSA",
         [&](uint8_t* out, uint32_t* length) {
             return QAV_PrivateKeyCalcRaw(h, "QAV-RSA1024", rawBlock.data(), 128, out, length, 0);
         }},
        {"PrivateKeyCalc SM2 signature",
         [&](uint8_t* out, uint32_t* length) {
             return QAV_PrivateKeyCalc(h, "QAV-SM2-Seal", 1, hash.data(), 32, out, length, 0);
         }},
        {"ExportPublicKey SM2",
         [&](uint8_t* out, uint32_t* length) {
             uint32_t blockLength = sizeof block;
             return QAV_ExportPublicKey(h, 0, "QAV-SM2-Seal", 0, out, length, block, &blockLength,
                                        0);
         }},
        {"ExportSessionKey",
         [&](uint8_t* out, uint32_t* length) {
             return QAV_ExportSessionKey(h, imported, nullptr, out, length, 0);
         }},
        {"SessionKeyEncrypt padded",
         [&](uint8_t* out, uint32_t* length) {
             return QAV_SessionKeyEncrypt(h, fixed, 0, 2, nullptr, 0, data.data(), 20, out, length,
                                          0);
         }},
        {"SessionKeyDecrypt",
         [&](uint8_t* out, uint32_t* length) {
             return QAV_SessionKeyDecrypt(h, fixed, 0, 0, nullptr, 0, data.data(), U32(data.size()),
                                          out, length, 0);
         }},
    };
    // QAV_GetSealWaterMarkPic is left out: each call signs anew, so its size
    // may differ from one call to the next (its header says to leave room).
    for (const Row& row : rows) {
        uint32_t reported = 1;  // some exports refuse a capacity of 0 even then
        ASSERT_EQ(row.call(nullptr, &reported), QAV_OK) << row.what;
        ASSERT_GT(reported, 0u) << row.what;
        Bytes out(reported);
        uint32_t length = reported;
        EXPECT_EQ(row.call(out.data(), &length), QAV_OK) << row.what << ", " << reported;
        EXPECT_LE(length, reported) << row.what;
    }
}

}  // namespace
}  // namespace qav
