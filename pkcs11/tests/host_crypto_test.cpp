// The host-side hashes and certificate parsing, on each platform's own
// backend (OpenSSL on Linux, CNG and CryptoAPI on Windows), against answers
// computed elsewhere: published digests and certificates made by OpenSSL's
// command line.
#include <gtest/gtest.h>

#include <string>

#include "cert_info.h"
#include "errors.h"
#include "hash.h"
#include "mechanisms.h"

namespace qav::p11 {
namespace {

Bytes FromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string ToHex(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// 1000 bytes that cross every block edge, fed in uneven parts below.
Bytes Pattern() {
    Bytes out(1000);
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i * 7 + 3);
    return out;
}

struct Vector {
    HashAlg alg;
    const char* empty;
    const char* abc;
    const char* twoBlocks;  // the 448-bit message of the published test vectors
    const char* pattern;
};

const Vector kVectors[] = {
    {HashAlg::Sha1, "da39a3ee5e6b4b0d3255bfef95601890afd80709",
     "a9993e364706816aba3e25717850c26c9cd0d89d", "84983e441c3bd26ebaae4aa1f95129e5e54670f1",
     "4231a8a50a10fa9758db8ec71fdef855b751048a"},
    {HashAlg::Sha224, "d14a028c2a3a2bc9476102bb288234c415a2b01f828ea62ac5b3e42f",
     "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7",
     "75388b16512776cc5dba5da1fd890150b0c6455cb4f58b1952522525",
     "23729dacbd480285c5c68439e2fe22ca5611a63cd6c14d2ec5ae2c85"},
    {HashAlg::Sha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
     "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
     "1e9bc38cbf860b9ec31918b065f9b52476c549a782e0e7990bed8ce3868d2371"},
    {HashAlg::Sha384,
     "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f14898b"
     "95b",
     "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c82"
     "5a7",
     "3391fdddfc8dc7393707a65b1b4709397cf8b1d162af05abfe8f450de5f36bc6b0455a8520bc4e6f5fe95b1fe3c84"
     "52b",
     "94c38db521ca733b8904c2d14b6e82d33dcfcc26e1318c579dbee1fc2f472019034e792263b9d46e90e700de2f6e7"
     "e91"},
    {HashAlg::Sha512,
     "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877ee"
     "c2f63b931bd47417a81a538327af927da3e",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3fee"
     "bbd454d4423643ce80e2a9ac94fa54ca49f",
     "204a8fc6dda82f0a0ced7beb8e08a41657c16ef468b228a8279be331a703c33596fd15c13b1b07f9aa1d3bea57789"
     "ca031ad85c7a71dd70354ec631238ca3445",
     "00e36fccf193e59697a92b5ab24666ce6326d7fa16bf10832d0991ddc591112e9dfa6a636950ed9c4d67344a76065"
     "4c2ff7785e1d60094d651038735b5dccabd"},
    {HashAlg::Sm3, "1ab21d8355cfa17f8e61194831e81a8f22bec8c728fefb747ed035eb5082aa2b",
     "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0",
     "639b6cc5e64d9e37a390b192df4fa1ea0720ab747ff692b9f38c4e66ad7b8c05",
     "ed9960fb8b097873d9d584bf7a82df416c3b686f88435d3cb1f50568eac06dff"},
};

TEST(HostCrypto, EveryHashMatchesKnownAnswersWholeAndInParts) {
    const Bytes pattern = Pattern();
    for (const Vector& v : kVectors) {
        SCOPED_TRACE(static_cast<int>(v.alg));
        if (!HashOnHost(v.alg)) {
            // Only CNG lacks one (SHA-224): refused as a mechanism, never a
            // wrong digest.
#ifdef _WIN32
            EXPECT_EQ(v.alg, HashAlg::Sha224);
#else
            ADD_FAILURE() << "OpenSSL has every hash";
#endif
            try {
                Hasher refused(v.alg);
                ADD_FAILURE() << "a hash not on offer was made";
            } catch (const CkError& e) {
                EXPECT_EQ(e.rv(), static_cast<CK_RV>(CKR_MECHANISM_INVALID));
            }
            continue;
        }
        EXPECT_EQ(ToHex(Hash(v.alg, Bytes())), v.empty);
        EXPECT_EQ(ToHex(Hash(v.alg, Text("abc"))), v.abc);
        EXPECT_EQ(
            ToHex(Hash(v.alg, Text("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"))),
            v.twoBlocks);
        EXPECT_EQ(ToHex(Hash(v.alg, pattern)), v.pattern);
        EXPECT_EQ(Hash(v.alg, pattern).size(), HashSize(v.alg));
        // Parts of 1, 2, ... bytes: every split point against the block edges.
        Hasher parts(v.alg);
        size_t at = 0;
        for (size_t n = 1; at < pattern.size(); ++n) {
            const size_t take = std::min(n, pattern.size() - at);
            parts.Update(pattern.data() + at, take);
            at += take;
        }
        parts.Update(nullptr, 0);
        EXPECT_EQ(ToHex(parts.Final()), v.pattern);
    }
}

// Made by: openssl req -x509 -new -key rsa.key -sha256 -set_serial 0x0102A5
//          -subj "/C=CN/O=QAV Test/CN=RSA seal" -outform DER (a 1024-bit key)
const char kRsaCert[] =
    "308202313082019aa00302010202030102a5300d06092a864886f70d01010b05003033310b30090603550406130243"
    "4e"
    "3111300f060355040a0c0851415620546573743111300f06035504030c08525341207365616c301e170d3236313230"
    "37"
    "3033313131355a170d3336313230343033313131355a3033310b300906035504061302434e3111300f060355040a0c"
    "08"
    "51415620546573743111300f06035504030c08525341207365616c30819f300d06092a864886f70d01010105000381"
    "8d"
    "0030818902818100da2f40d552c5f156e3658d18a158d7e3386741a361c95be4e01c4a04f5840c05149cac3b52fcc5"
    "64"
    "331f66249de9ef45981047db69bd6d515dca3d220e7f29580489114da4b726b7305313259ffcda1a60235fb55e6085"
    "22"
    "4b513ba53d12f1c64ca5ee945f2eb041565a98a3741dba938b3247b093654ecc043f8f1a323d3ee50203010001a353"
    "30"
    "51301d0603551d0e041604144b39994f1910520131f6fca5f89a54811b990c6d301f0603551d230418301680144b39"
    "99"
    "4f1910520131f6fca5f89a54811b990c6d300f0603551d130101ff040530030101ff300d06092a864886f70d01010b"
    "05"
    "00038181008627f1b8182388547471c6f2d356af222853e8a92055d065c5197f179501a50617891cd48f5695ad2612"
    "f8"
    "867699a9de504beb693b0792fb64206e6de6878dc6dad74f119281446a2332bc33c6a248e7a255e8c10d21386b45b7"
    "69"
    "a1495520bf266ac5113848ef97c54c5d3f219e8b2e9c05622399af14021f9617a659c7c97a";
const char kRsaName[] =
    "3033310b300906035504061302434e3111300f060355040a0c0851415620546573743111300f06035504030c085253"
    "4"
    "1207365616c";
const char kRsaModulus[] =
    "da2f40d552c5f156e3658d18a158d7e3386741a361c95be4e01c4a04f5840c05149cac3b52fcc564331f66249de9ef"
    "45"
    "981047db69bd6d515dca3d220e7f29580489114da4b726b7305313259ffcda1a60235fb55e6085224b513ba53d12f1"
    "c6"
    "4ca5ee945f2eb041565a98a3741dba938b3247b093654ecc043f8f1a323d3ee5";

// Made by: openssl req -x509 -new -key sm2.key -sm3 -sigopt distid:1234567812345678
//          -set_serial 7 -subj "/C=CN/CN=SM2 seal" -outform DER
const char kSm2Cert[] =
    "3082018130820128a003020102020107300a06082a811ccf550183753020310b300906035504061302434e3111300f"
    "06"
    "035504030c08534d32207365616c301e170d3236313230373033313131355a170d3336313230343033313131355a30"
    "20"
    "310b300906035504061302434e3111300f06035504030c08534d32207365616c3059301306072a8648ce3d02010608"
    "2a"
    "811ccf5501822d03420004e69b4ec44a03cb872cf026413308d78b2e1f7d64b98040db3e9ce7886aed8f7cec83756c"
    "58"
    "d3c52e55fd4448f56c7ea1ecf90c13738be55a58bbad952ce46892a3533051301d0603551d0e04160414d9ad4549e5"
    "1d"
    "e98c590a332c1e4a554c8dfac209301f0603551d23041830168014d9ad4549e51de98c590a332c1e4a554c8dfac209"
    "30"
    "0f0603551d130101ff040530030101ff300a06082a811ccf55018375034700304402200c8df9d9c016ed5cdd3b01e6"
    "8c"
    "6463e52358c789099f1e597e0a97793d63f5d10220097838d176b2662f053e1ca33daf5e89a4c895b3cdcbbc0707b2"
    "5f"
    "ffd92577a7";
const char kSm2Name[] = "3020310b300906035504061302434e3111300f06035504030c08534d32207365616c";
const char kSm2Point[] =
    "04e69b4ec44a03cb872cf026413308d78b2e1f7d64b98040db3e9ce7886aed8f7cec83756c58d3c52e55fd4448f56c"
    "7e"
    "a1ecf90c13738be55a58bbad952ce46892";

// A mechanism on offer never fails for want of its hash, and the module
// finds each under its own number.
TEST(HostCrypto, EveryHashOnOfferHashesHere) {
    const Bytes abc{'a', 'b', 'c'};
    for (const Mechanism& m : Mechanisms()) {
        EXPECT_EQ(FindMechanism(m.type), &m) << m.type;
        if (!m.hash) continue;
        EXPECT_TRUE(HashOnHost(*m.hash)) << m.type;
        EXPECT_EQ(Hash(*m.hash, abc).size(), HashSize(*m.hash)) << m.type;
    }
}

TEST(HostCrypto, CertificatesGiveTheirNamesSerialAndKey) {
    const auto rsa = ParseCertificate(FromHex(kRsaCert));
    ASSERT_TRUE(rsa.has_value());
    EXPECT_EQ(rsa->kind, KeyKind::Rsa);
    EXPECT_EQ(ToHex(rsa->subject), kRsaName);
    EXPECT_EQ(ToHex(rsa->issuer), kRsaName);
    EXPECT_EQ(ToHex(rsa->serialNumber), "02030102a5");
    EXPECT_EQ(ToHex(rsa->modulus), kRsaModulus);
    EXPECT_EQ(ToHex(rsa->exponent), "010001");
    EXPECT_EQ(rsa->bits, 1024u);
    EXPECT_EQ(rsa->publicKeyInfo.size(), 162u);
    EXPECT_EQ(ToHex(rsa->publicKeyInfo).substr(0, 8), "30819f30");

    const auto sm2 = ParseCertificate(FromHex(kSm2Cert));
    ASSERT_TRUE(sm2.has_value());
    EXPECT_EQ(sm2->kind, KeyKind::Sm2);
    EXPECT_EQ(ToHex(sm2->subject), kSm2Name);
    EXPECT_EQ(ToHex(sm2->issuer), kSm2Name);
    EXPECT_EQ(ToHex(sm2->serialNumber), "020107");
    EXPECT_EQ(ToHex(sm2->point), kSm2Point);
    EXPECT_EQ(sm2->bits, 256u);
    EXPECT_TRUE(sm2->modulus.empty());
}

TEST(HostCrypto, BrokenCertificatesGiveNothing) {
    const Bytes rsa = FromHex(kRsaCert);
    EXPECT_FALSE(ParseCertificate(Bytes()).has_value());
    EXPECT_FALSE(ParseCertificate(Bytes(rsa.begin(), rsa.begin() + 300)).has_value());
    Bytes longer = rsa;
    longer[3] = 0x40;  // the outer length beyond the end
    EXPECT_FALSE(ParseCertificate(longer).has_value());
    EXPECT_FALSE(ParseCertificate(Bytes(64, 0x30)).has_value());
}

}  // namespace
}  // namespace qav::p11
