// PKCS #1 v1.5 blocks against OpenSSL: an RSA key on the host carries our
// blocks through its raw operations and OpenSSL removes the padding, and the
// other way round.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <memory>
#include <vector>

#include "codec/padding.h"
#include "qavseal/qavseal.h"

namespace qav {
namespace {

using Bytes = std::vector<uint8_t>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CtxPtr = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;

constexpr uint32_t kModulusBytes = 128;

enum class Op { kEncrypt, kDecrypt, kSign, kVerifyRecover };

// One RSA operation with the given padding; empty on failure.
Bytes RsaOp(EVP_PKEY* key, Op op, int padding, const Bytes& in) {
    const CtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr), &EVP_PKEY_CTX_free);
    if (!ctx) return {};
    using Init = int (*)(EVP_PKEY_CTX*);
    using Step = int (*)(EVP_PKEY_CTX*, unsigned char*, size_t*, const unsigned char*, size_t);
    Init init = nullptr;
    Step step = nullptr;
    switch (op) {
        case Op::kEncrypt:
            init = EVP_PKEY_encrypt_init, step = EVP_PKEY_encrypt;
            break;
        case Op::kDecrypt:
            init = EVP_PKEY_decrypt_init, step = EVP_PKEY_decrypt;
            break;
        case Op::kSign:
            init = EVP_PKEY_sign_init, step = EVP_PKEY_sign;
            break;
        case Op::kVerifyRecover:
            init = EVP_PKEY_verify_recover_init, step = EVP_PKEY_verify_recover;
            break;
    }
    if (init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding) != 1) return {};
    Bytes out(kModulusBytes);
    size_t length = out.size();
    if (step(ctx.get(), out.data(), &length, in.data(), in.size()) != 1) return {};
    out.resize(length);
    return out;
}

class Pkcs1OpenSslTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        key_ = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(kModulusBytes * 8));
        ASSERT_NE(key_, nullptr);
    }
    static void TearDownTestSuite() {
        EVP_PKEY_free(key_);
        key_ = nullptr;
    }
    static EVP_PKEY* key_;
};

EVP_PKEY* Pkcs1OpenSslTest::key_ = nullptr;

// Mode 4 travels as a signature (private raw operation, then OpenSSL's public
// recovery), mode 5 as an encryption (public raw, then OpenSSL's decryption).
struct Direction {
    uint32_t mode;
    Op raw;       // what carries our block
    Op unpadded;  // OpenSSL's padded counterpart that reads it
    Op padded;    // OpenSSL's padded operation that makes a block for us
    Op rawBack;   // the raw operation that lays that block bare
};
constexpr Direction kDirections[] = {
    {4, Op::kDecrypt, Op::kVerifyRecover, Op::kSign, Op::kEncrypt},
    {5, Op::kEncrypt, Op::kDecrypt, Op::kEncrypt, Op::kDecrypt},
};

TEST_F(Pkcs1OpenSslTest, BlocksReadByTheOtherSide) {
    for (const Direction& d : kDirections) {
        for (const uint32_t length : {1u, 20u, kModulusBytes - 11}) {
            SCOPED_TRACE(testing::Message() << "mode " << d.mode << " length " << length);
            Bytes data(length);
            for (uint32_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(0xA7 ^ (i * 31));

            Bytes ours(kModulusBytes);
            uint32_t oursLength = kModulusBytes;
            ASSERT_EQ(Pad(d.mode, kModulusBytes, data.data(), length, ours.data(), &oursLength),
                      QAV_OK);
            const Bytes carried = RsaOp(key_, d.raw, RSA_NO_PADDING, ours);
            ASSERT_EQ(carried.size(), kModulusBytes);
            EXPECT_EQ(RsaOp(key_, d.unpadded, RSA_PKCS1_PADDING, carried), data);

            const Bytes theirs = RsaOp(key_, d.rawBack, RSA_NO_PADDING,
                                       RsaOp(key_, d.padded, RSA_PKCS1_PADDING, data));
            ASSERT_EQ(theirs.size(), kModulusBytes);
            Bytes out(kModulusBytes);
            uint32_t outLength = kModulusBytes;
            ASSERT_EQ(
                Unpad(d.mode, kModulusBytes, theirs.data(), kModulusBytes, out.data(), &outLength),
                QAV_OK);
            out.resize(outLength);
            EXPECT_EQ(out, data);
        }
    }
}

}  // namespace
}  // namespace qav
