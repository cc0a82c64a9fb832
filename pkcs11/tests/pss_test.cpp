// PSS blocks from our encoder, signed with a software key's raw private
// operation, verified by OpenSSL's PSS check.
#include "pss.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>

#include "openssl_keys.h"

namespace qav::p11 {
namespace {

Bytes RawPrivate(EVP_PKEY* key, const Bytes& block) {
    const Ctx ctx(EVP_PKEY_CTX_new(key, nullptr));
    EXPECT_EQ(EVP_PKEY_sign_init(ctx.get()), 1);
    EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING), 1);
    Bytes out(static_cast<size_t>(EVP_PKEY_get_size(key)));
    size_t length = out.size();
    EXPECT_EQ(EVP_PKEY_sign(ctx.get(), out.data(), &length, block.data(), block.size()), 1);
    out.resize(length);
    return out;
}

bool VerifiesPss(EVP_PKEY* key, HashAlg hash, HashAlg mgf, int saltLength, const Bytes& mHash,
                 const Bytes& signature) {
    const Ctx ctx(EVP_PKEY_CTX_new(key, nullptr));
    return EVP_PKEY_verify_init(ctx.get()) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PSS_PADDING) == 1 &&
           EVP_PKEY_CTX_set_signature_md(ctx.get(), OpenSslDigest(hash)) == 1 &&
           EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), OpenSslDigest(mgf)) == 1 &&
           EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), saltLength) == 1 &&
           EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), mHash.data(),
                           mHash.size()) == 1;
}

Bytes Pattern(size_t length, uint8_t seed) {
    Bytes out(length);
    for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(seed + i * 31);
    return out;
}

// 1024 bits: the top bit of the block is masked; 1025: the block starts with
// a zero byte the encoding does not cover; 2048: the largest key.
TEST(Pss, SignaturesVerifyWithOpenSslForEveryHashSaltAndKeySize) {
    for (const int bits : {1024, 1025, 2048}) {
        const Pkey key(EVP_RSA_gen(static_cast<unsigned>(bits)));
        ASSERT_TRUE(key);
        const size_t k = (static_cast<size_t>(bits) + 7) / 8;
        for (const HashAlg hash :
             {HashAlg::Sha1, HashAlg::Sha224, HashAlg::Sha256, HashAlg::Sha384, HashAlg::Sha512}) {
            const size_t hLength = HashSize(hash);
            const size_t maxSalt = (static_cast<size_t>(bits) - 1 + 7) / 8 - hLength - 2;
            const Bytes mHash = Pattern(hLength, 7);
            // SHA-512 and a 64-byte salt do not fit in 1024 bits.
            for (const size_t saltLength : {size_t{0}, std::min(hLength, maxSalt), maxSalt}) {
                const Bytes block = PssEncode(hash, hash, mHash, Pattern(saltLength, 99),
                                              static_cast<size_t>(bits));
                ASSERT_EQ(block.size(), k);
                const Bytes signature = RawPrivate(key.get(), block);
                EXPECT_TRUE(VerifiesPss(key.get(), hash, hash, static_cast<int>(saltLength), mHash,
                                        signature))
                    << bits << " bits, hash size " << hLength << ", salt " << saltLength;
                // The same signature over another hash does not verify.
                EXPECT_FALSE(VerifiesPss(key.get(), hash, hash, static_cast<int>(saltLength),
                                         Pattern(hLength, 8), signature));
            }
        }
        // A mask hash other than the message hash.
        const Bytes mHash = Pattern(32, 1);
        const Bytes signature =
            RawPrivate(key.get(), PssEncode(HashAlg::Sha256, HashAlg::Sha1, mHash, Pattern(32, 2),
                                            static_cast<size_t>(bits)));
        EXPECT_TRUE(VerifiesPss(key.get(), HashAlg::Sha256, HashAlg::Sha1, 32, mHash, signature));
        EXPECT_FALSE(
            VerifiesPss(key.get(), HashAlg::Sha256, HashAlg::Sha256, 32, mHash, signature));
    }
}

TEST(Pss, SizesThatDoNotFitAreRefused) {
    // 1024 bits: 128 bytes of block, SHA-512 leaves 62 bytes of salt at most.
    EXPECT_TRUE(PssFits(HashAlg::Sha512, 62, 1024));
    EXPECT_FALSE(PssFits(HashAlg::Sha512, 63, 1024));
    EXPECT_FALSE(PssFits(HashAlg::Sha256, SIZE_MAX, 1024));
    EXPECT_THROW(PssEncode(HashAlg::Sha512, HashAlg::Sha512, Bytes(64), Bytes(63), 1024),
                 std::exception);
    // A hash of the wrong size for its algorithm.
    EXPECT_THROW(PssEncode(HashAlg::Sha256, HashAlg::Sha256, Bytes(20), Bytes(), 1024),
                 std::exception);
}

}  // namespace
}  // namespace qav::p11
