// Host-side encodings checked by OpenSSL: an SM2 signature over our
// e = SM3(Z || M) verifies with the default identifier. (The DigestInfo
// blocks are checked where the module signs with them.)
#include "encodings.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>
#include <string>

#include "hash.h"
#include "openssl_keys.h"
#include "sm3.h"

namespace qav::p11 {
namespace {

struct FreeMdCtx {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

Bytes Message() {
    const std::string text = "a seal over this text";
    return Bytes(text.begin(), text.end());
}

Bytes SignRaw(EVP_PKEY* key, const Bytes& input) {
    Ctx ctx(EVP_PKEY_CTX_new(key, nullptr));
    EXPECT_EQ(EVP_PKEY_sign_init(ctx.get()), 1);
    size_t length = 0;
    EXPECT_EQ(EVP_PKEY_sign(ctx.get(), nullptr, &length, input.data(), input.size()), 1);
    Bytes out(length);
    EXPECT_EQ(EVP_PKEY_sign(ctx.get(), out.data(), &length, input.data(), input.size()), 1);
    out.resize(length);
    return out;
}

// The portable SM3 (the Windows build's) against OpenSSL's, across block edges.
TEST(Encodings, PortableSm3MatchesOpenSsl) {
    Bytes data(300);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
    for (const size_t length : {0u, 1u, 3u, 55u, 56u, 63u, 64u, 65u, 119u, 128u, 300u}) {
        Sm3 whole;
        whole.Update(data.data(), length);
        const auto ours = whole.Final();
        const Bytes theirs = Hash(HashAlg::Sm3, Bytes(data.data(), data.data() + length));
        EXPECT_EQ(Bytes(ours.begin(), ours.end()), theirs) << length;
        Sm3 parts;
        for (size_t i = 0; i < length; ++i) parts.Update(&data[i], 1);
        const auto byByte = parts.Final();
        EXPECT_EQ(byByte, ours) << length;
    }
}

TEST(Encodings, Sm2ZMakesSignaturesOpenSslVerifiesWithTheDefaultId) {
    Ctx gen(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
    ASSERT_TRUE(gen);
    ASSERT_EQ(EVP_PKEY_keygen_init(gen.get()), 1);
    EVP_PKEY* raw = nullptr;
    ASSERT_EQ(EVP_PKEY_keygen(gen.get(), &raw), 1);
    const Pkey key(raw);
    unsigned char point[65];
    size_t pointLength = 0;
    ASSERT_EQ(EVP_PKEY_get_octet_string_param(key.get(), "encoded-pub-key", point, sizeof point,
                                              &pointLength),
              1);
    const Bytes message = Message();
    const Bytes z = Sm2Z(Bytes(point, point + pointLength), "1234567812345678");
    Hasher e(HashAlg::Sm3);
    e.Update(z.data(), z.size());
    e.Update(message.data(), message.size());
    const Bytes signature = SignRaw(key.get(), e.Final());

    std::unique_ptr<EVP_MD_CTX, FreeMdCtx> md(EVP_MD_CTX_new());
    Ctx verify(EVP_PKEY_CTX_new(key.get(), nullptr));
    static const char id[] = "1234567812345678";
    ASSERT_EQ(EVP_PKEY_CTX_set1_id(verify.get(), id, 16), 1);
    EVP_MD_CTX_set_pkey_ctx(md.get(), verify.get());
    ASSERT_EQ(EVP_DigestVerifyInit(md.get(), nullptr, EVP_sm3(), nullptr, key.get()), 1);
    EXPECT_EQ(EVP_DigestVerify(md.get(), signature.data(), signature.size(), message.data(),
                               message.size()),
              1);
    // Another identifier gives another Z.
    EXPECT_NE(Sm2Z(Bytes(point, point + pointLength), "other"), z);
}

}  // namespace
}  // namespace qav::p11
