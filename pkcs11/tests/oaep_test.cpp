// OAEP blocks OpenSSL made, opened with a software key's raw private
// operation and decoded by ours; damaged blocks refused where OpenSSL
// refuses them.
#include "oaep.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <string>

#include "encodings.h"
#include "openssl_keys.h"

namespace qav::p11 {
namespace {

// OAEP padding for encryption, or none (for raw blocks) when label is null.
Ctx Context(EVP_PKEY* key, bool encrypt, HashAlg hash, const Bytes* label) {
    Ctx ctx(EVP_PKEY_CTX_new(key, nullptr));
    EXPECT_EQ(encrypt ? EVP_PKEY_encrypt_init(ctx.get()) : EVP_PKEY_decrypt_init(ctx.get()), 1);
    if (label == nullptr) {
        EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING), 1);
        return ctx;
    }
    EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING), 1);
    EXPECT_EQ(EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), OpenSslDigest(hash)), 1);
    EXPECT_EQ(EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), OpenSslDigest(hash)), 1);
    if (!label->empty()) {
        // OpenSSL takes ownership of the label's copy.
        auto* copy = static_cast<unsigned char*>(OPENSSL_memdup(label->data(), label->size()));
        EXPECT_EQ(
            EVP_PKEY_CTX_set0_rsa_oaep_label(ctx.get(), copy, static_cast<int>(label->size())), 1);
    }
    return ctx;
}

Bytes Encrypt(EVP_PKEY* key, HashAlg hash, const Bytes* label, const Bytes& message) {
    const Ctx ctx = Context(key, true, hash, label);
    Bytes out(static_cast<size_t>(EVP_PKEY_get_size(key)));
    size_t length = out.size();
    EXPECT_EQ(EVP_PKEY_encrypt(ctx.get(), out.data(), &length, message.data(), message.size()), 1);
    out.resize(length);
    return out;
}

Bytes RawDecrypt(EVP_PKEY* key, const Bytes& data) {
    const Ctx ctx = Context(key, false, HashAlg::Sha1, nullptr);
    Bytes out(static_cast<size_t>(EVP_PKEY_get_size(key)));
    size_t length = out.size();
    EXPECT_EQ(EVP_PKEY_decrypt(ctx.get(), out.data(), &length, data.data(), data.size()), 1);
    out.resize(length);
    return out;
}

// OpenSSL's OAEP verdict on a raw block, as ours gives it.
std::optional<Bytes> OpenSslDecode(EVP_PKEY* key, HashAlg hash, const Bytes& label,
                                   const Bytes& block) {
    const Bytes data = Encrypt(key, hash, nullptr, block);
    const Ctx ctx = Context(key, false, hash, &label);
    Bytes out(block.size());
    size_t length = out.size();
    if (EVP_PKEY_decrypt(ctx.get(), out.data(), &length, data.data(), data.size()) != 1) {
        return std::nullopt;
    }
    out.resize(length);
    return out;
}

// A block with its data block chosen freely: 00 || maskedSeed || maskedDB.
Bytes Masked(HashAlg hash, const Bytes& db, uint8_t seedByte) {
    const Bytes seed(HashSize(hash), seedByte);
    Bytes maskedDb = db;
    const Bytes dbMask = Mgf1(hash, seed.data(), seed.size(), db.size());
    for (size_t i = 0; i < db.size(); ++i) maskedDb[i] ^= dbMask[i];
    Bytes maskedSeed = seed;
    const Bytes seedMask = Mgf1(hash, maskedDb.data(), maskedDb.size(), seed.size());
    for (size_t i = 0; i < seed.size(); ++i) maskedSeed[i] ^= seedMask[i];
    Bytes block{0x00};
    block.insert(block.end(), maskedSeed.begin(), maskedSeed.end());
    block.insert(block.end(), maskedDb.begin(), maskedDb.end());
    return block;
}

TEST(Oaep, DecodesWhatOpenSslEncryptedForEveryHashAndLabel) {
    const Pkey key(EVP_RSA_gen(2048));
    ASSERT_TRUE(key);
    const std::string text = "a label";
    const Bytes given(text.begin(), text.end());
    const Bytes empty;
    for (const HashAlg hash :
         {HashAlg::Sha1, HashAlg::Sha224, HashAlg::Sha256, HashAlg::Sha384, HashAlg::Sha512}) {
        const size_t maxMessage = 256 - 2 * HashSize(hash) - 2;
        for (const Bytes* label : {&empty, &given}) {
            for (const size_t length : {size_t{0}, size_t{1}, maxMessage}) {
                Bytes message(length);
                for (size_t i = 0; i < length; ++i) message[i] = static_cast<uint8_t>(i | 1);
                const Bytes block = RawDecrypt(key.get(), Encrypt(key.get(), hash, label, message));
                ASSERT_EQ(block.size(), 256u);
                const auto decoded = OaepDecode(hash, hash, *label, block);
                ASSERT_TRUE(decoded.has_value()) << HashSize(hash) << " " << length;
                EXPECT_EQ(*decoded, message);
                // Another label, another hash: refused.
                EXPECT_FALSE(OaepDecode(hash, hash, label->empty() ? given : empty, block));
                const HashAlg other = hash == HashAlg::Sha1 ? HashAlg::Sha256 : HashAlg::Sha1;
                EXPECT_FALSE(OaepDecode(other, other, *label, block));
            }
        }
    }
}

TEST(Oaep, DamagedBlocksRefusedAsOpenSslRefusesThem) {
    const Pkey key(EVP_RSA_gen(1024));
    ASSERT_TRUE(key);
    const HashAlg hash = HashAlg::Sha256;
    const Bytes label{'L'};
    const Bytes lHash = Hash(hash, label);
    const size_t dbLength = 128 - 32 - 1;
    auto db = [&](size_t oneAt, uint8_t filler) {
        Bytes out = lHash;
        out.resize(dbLength, 0);
        for (size_t i = 32; i < oneAt; ++i) out[i] = filler;
        out[oneAt] = 0x01;
        for (size_t i = oneAt + 1; i < dbLength; ++i) out[i] = static_cast<uint8_t>(0xA0 + i);
        return out;
    };
    struct Case {
        const char* what;
        Bytes db;
        bool valid;
    };
    std::vector<Case> cases{
        {"no padding string", db(32, 0), true},
        {"01 in the last byte, empty message", db(dbLength - 1, 0), true},
        {"a 02 in the padding string", db(40, 0), false},
        {"no 01 at all", Bytes(dbLength, 0), false},
        {"label hash changed", db(60, 0), false},
    };
    cases[2].db[35] = 0x02;
    std::copy(lHash.begin(), lHash.end(), cases[3].db.begin());
    cases[4].db[5] ^= 0x40;
    for (const Case& c : cases) {
        const Bytes block = Masked(hash, c.db, 0x3C);
        const auto ours = OaepDecode(hash, hash, label, block);
        const auto theirs = OpenSslDecode(key.get(), hash, label, block);
        EXPECT_EQ(ours.has_value(), c.valid) << c.what;
        EXPECT_EQ(ours, theirs) << c.what;
    }
    // A leading byte that is not zero.
    Bytes block = Masked(hash, db(50, 0), 0x3C);
    ASSERT_TRUE(OaepDecode(hash, hash, label, block).has_value());
    block[0] = 0x01;
    EXPECT_FALSE(OaepDecode(hash, hash, label, block).has_value());
    // A key too small for the hash.
    EXPECT_FALSE(OaepFits(HashAlg::Sha512, 128));
    EXPECT_FALSE(OaepDecode(HashAlg::Sha512, HashAlg::Sha512, label, Bytes(128)).has_value());
}

}  // namespace
}  // namespace qav::p11
