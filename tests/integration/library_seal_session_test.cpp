// A seal session as an application runs it, through the library, a real
// pcscd and the virtual key (run under scripts/bench, once on a T=1 key and
// once on a T=0 key). Results are checked with OpenSSL and cairo, never
// against the library's own code. Steps whose card operation is not built
// yet report themselves skipped.
#include <cairo.h>
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/x509.h>
#include <qavseal/qavseal.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "pcsc_link.h"

namespace {

using bench::Bytes;

constexpr char kPin[] = "12345678";
constexpr char kSealContainer[] = "QAV-SM2-Seal";
constexpr char kRsaContainer[] = "QAV-RSA1024";
constexpr char kRsa2048Container[] = "QAV-RSA2048";
constexpr uint32_t kScratchFile = 0x2004;  // the spare container's empty certificate

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;

Bytes Counting(size_t length, uint8_t from) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(from + i * 7);
    return bytes;
}

// The public key as the card exports it: RSA modulus || 4-byte exponent,
// SM2 x || y.
Bytes PublicKeyBytes(EVP_PKEY* key) {
    Bytes out;
    if (EVP_PKEY_is_a(key, "RSA")) {
        BIGNUM* n = nullptr;
        BIGNUM* e = nullptr;
        EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n);
        EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e);
        const BnPtr nOwned(n), eOwned(e);
        out.resize(static_cast<size_t>(BN_num_bytes(n)) + 4);
        BN_bn2binpad(n, out.data(), BN_num_bytes(n));
        BN_bn2binpad(e, out.data() + BN_num_bytes(n), 4);
        return out;
    }
    Bytes point(65);
    size_t length = 0;
    EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(),
                                    &length);
    if (length == 65) out.assign(point.begin() + 1, point.end());  // past 04
    return out;
}

// Width and height of a PNG, decoded by cairo; 0 x 0 when it is none.
std::pair<int, int> PngSize(const Bytes& png) {
    struct Cursor {
        const Bytes* png;
        size_t at;
    } cursor{&png, 0};
    const auto read = [](void* closure, unsigned char* data, unsigned int length) {
        auto* c = static_cast<Cursor*>(closure);
        if (c->png->size() - c->at < length) return CAIRO_STATUS_READ_ERROR;
        std::copy_n(c->png->begin() + static_cast<std::ptrdiff_t>(c->at), length, data);
        c->at += length;
        return CAIRO_STATUS_SUCCESS;
    };
    cairo_surface_t* surface = cairo_image_surface_create_from_png_stream(read, &cursor);
    std::pair<int, int> size{0, 0};
    if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS) {
        size = {cairo_image_surface_get_width(surface), cairo_image_surface_get_height(surface)};
    }
    cairo_surface_destroy(surface);
    return size;
}

class SealSession : public ::testing::Test {
protected:
    static void SetUpTestSuite() { bench::UseBenchConfigHome(); }
    void SetUp() override {
        ASSERT_EQ(QAV_Initialize(0), QAV_OK);
        char** names = nullptr;
        uint32_t count = 0;
        ASSERT_EQ(QAV_GetDeviceList(&names, &count, 0), QAV_OK);
        ASSERT_TRUE(std::any_of(names, names + count, [&](const char* n) { return reader_ == n; }));
        ASSERT_EQ(QAV_OpenDevice(reader_.c_str(), &handle_, 0), QAV_OK);
    }
    void TearDown() override {
        if (handle_ != 0) {
            EXPECT_EQ(QAV_CloseDevice(handle_, 0), QAV_OK);
        }
        EXPECT_EQ(QAV_Finalize(0), QAV_OK);
    }
    void VerifyPin() {
        uint32_t tries = 0;
        ASSERT_EQ(QAV_VerifyPIN(handle_, kPin, &tries, 0), QAV_OK);
    }
    // The certificate of a container, parsed by OpenSSL.
    X509Ptr Certificate(const char* container) {
        uint32_t length = 1;
        EXPECT_EQ(QAV_ReadCert(handle_, container, nullptr, &length, 0), QAV_OK);
        Bytes der(length);
        EXPECT_EQ(QAV_ReadCert(handle_, container, der.data(), &length, 0), QAV_OK);
        EXPECT_EQ(length, der.size());
        const unsigned char* p = der.data();
        X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
        EXPECT_EQ(p, der.data() + der.size()) << "the whole file is one certificate";
        return certificate;
    }
    Bytes ExportedPublicKey(const char* container) {
        Bytes key(300);
        Bytes block(64);
        uint32_t keyLength = static_cast<uint32_t>(key.size());
        uint32_t blockLength = static_cast<uint32_t>(block.size());
        EXPECT_EQ(QAV_ExportPublicKey(handle_, 0, container, 0, key.data(), &keyLength,
                                      block.data(), &blockLength, 0),
                  QAV_OK);
        key.resize(keyLength);
        return key;
    }
    Bytes Picture(uint32_t ref) {
        uint32_t length = 1;
        EXPECT_EQ(QAV_GetSealPic(handle_, ref, nullptr, &length, 0), QAV_OK);
        Bytes png(length);
        EXPECT_EQ(QAV_GetSealPic(handle_, ref, png.data(), &length, 0), QAV_OK);
        return png;
    }

    const std::string reader_ = bench::Env("QAVSEAL_READER", "ADM Virtual Seal 00 00");
    QAV_HANDLE handle_ = 0;
};

std::string FileText(const std::string& path) {
    std::ifstream in(path);
    std::string text, line;
    while (std::getline(in, line)) text += line;
    return text;
}

TEST_F(SealSession, WrongPinCountsDownThenTheRightOneRestores) {
    // The key program keeps its image on disk after every change.
    const std::string image = bench::Env("QAVSEAL_VCARD_IMAGE");
    const std::string before = FileText(image);
    uint32_t tries = 99;
    EXPECT_EQ(QAV_VerifyPIN(handle_, "87654321", &tries, 0), QAV_E_PIN_WRONG);
    EXPECT_EQ(tries, 5u);
    if (!image.empty()) {
        EXPECT_NE(FileText(image), before) << "the failed try is not saved";
    }
    EXPECT_EQ(QAV_VerifyPIN(handle_, "87654320", &tries, 0), QAV_E_PIN_WRONG);
    EXPECT_EQ(tries, 4u);
    VerifyPin();
    EXPECT_EQ(QAV_VerifyPIN(handle_, "87654321", &tries, 0), QAV_E_PIN_WRONG);
    EXPECT_EQ(tries, 5u) << "the right PIN gave the tries back";
    VerifyPin();
}

TEST_F(SealSession, ContainersCertificatesAndPublicKeys) {
    char** names = nullptr;
    uint32_t count = 0;
    ASSERT_EQ(QAV_GetContainerList(handle_, &names, &count, 0), QAV_OK);
    const std::vector<std::string> listed(names, names + count);
    EXPECT_EQ(listed, (std::vector<std::string>{kSealContainer, kRsaContainer, kRsa2048Container,
                                                "QAV-SM2-Spare"}));
    for (const char* container : {kRsaContainer, kSealContainer}) {
        const X509Ptr certificate = Certificate(container);
        ASSERT_TRUE(certificate) << container;
        const Bytes exported = ExportedPublicKey(container);
        EXPECT_EQ(exported, PublicKeyBytes(X509_get0_pubkey(certificate.get()))) << container;
    }
    Bytes key(300);
    uint32_t keyLength = 300;
    uint32_t blockLength = 64;
    Bytes block(64);
    EXPECT_EQ(QAV_ExportPublicKey(handle_, 0, kRsa2048Container, 0, key.data(), &keyLength,
                                  block.data(), &blockLength, 0),
              QAV_E_BAD_ALGORITHM);
}

TEST_F(SealSession, SealPicturesArePngsOfTheirSize) {
    EXPECT_EQ(PngSize(Picture(1)), std::make_pair(256, 256));
    EXPECT_EQ(PngSize(Picture(2)), std::make_pair(200, 200));

    VerifyPin();
    const Bytes hash = Counting(32, 0x22);
    uint32_t length = 1;
    ASSERT_EQ(QAV_GetSealWaterMarkPic(handle_, kSealContainer, 1, hash.data(), 32, "Approved",
                                      nullptr, &length, 0),
              QAV_OK);
    // Each request draws a fresh signature into the picture, so its size
    // varies a little from one request to the next.
    Bytes png(length + 4096);
    length = static_cast<uint32_t>(png.size());
    ASSERT_EQ(QAV_GetSealWaterMarkPic(handle_, kSealContainer, 1, hash.data(), 32, "Approved",
                                      png.data(), &length, 0),
              QAV_OK);
    png.resize(length);
    EXPECT_EQ(PngSize(png), std::make_pair(256, 256));
    length = 100;
    EXPECT_EQ(QAV_GetSealWaterMarkPic(handle_, kSealContainer, 1, hash.data(), 32, "Approved",
                                      png.data(), &length, 0),
              QAV_E_BUFFER_TOO_SMALL);
    EXPECT_GT(length, 100u);
}

TEST_F(SealSession, RandomBytes) {
    Bytes first(18, 0xEE);
    Bytes second(17, 0xEE);
    ASSERT_EQ(QAV_GenRandom(handle_, first.data(), 17, 0), QAV_OK);
    ASSERT_EQ(QAV_GenRandom(handle_, second.data(), 17, 0), QAV_OK);
    EXPECT_EQ(first[17], 0xEE);
    first.resize(17);
    EXPECT_NE(first, second);
}

uint32_t QAV_CALLBACK RecordProgress(uint32_t percent, uintptr_t user, uint32_t) {
    reinterpret_cast<std::vector<uint32_t>*>(user)->push_back(percent);
    return 0;
}

TEST_F(SealSession, LongFileWrittenAndReadInPieces) {
    VerifyPin();
    const Bytes data = Counting(700, 0x30);
    std::vector<uint32_t> written;
    ASSERT_EQ(QAV_WriteFile(handle_, kScratchFile, 0, data.data(), 700, 0, nullptr, nullptr,
                            RecordProgress, reinterpret_cast<uintptr_t>(&written), 0),
              QAV_OK);
    std::vector<uint32_t> read;
    Bytes back(700);
    ASSERT_EQ(QAV_ReadFile(handle_, kScratchFile, 0, back.data(), 700, RecordProgress,
                           reinterpret_cast<uintptr_t>(&read), 0),
              QAV_OK);
    EXPECT_EQ(back, data);
    for (const auto* seen : {&written, &read}) {
        ASSERT_GE(seen->size(), 4u) << "0 and one report per piece";
        EXPECT_TRUE(std::is_sorted(seen->begin(), seen->end()));
        EXPECT_EQ(seen->front(), 0u);
        EXPECT_EQ(seen->back(), 100u);
    }
}

TEST_F(SealSession, SealDataDigestIsSm3) {
    VerifyPin();
    const Bytes data = Counting(600, 0x40);
    Bytes digest(32);
    unsigned int digestLength = 0;
    ASSERT_EQ(
        EVP_Digest(data.data(), data.size(), digest.data(), &digestLength, EVP_sm3(), nullptr), 1);
    EXPECT_EQ(QAV_SealWrite(handle_, data.data(), 600, digest.data(), 32, 0), QAV_OK);
    digest[31] ^= 1;
    EXPECT_EQ(QAV_SealWrite(handle_, data.data(), 600, digest.data(), 32, 0),
              QAV_E_UNEXPECTED_DATA);
}

TEST_F(SealSession, GeneratedRsaKeyPairRoundTrips) {
    VerifyPin();
    const uint32_t generated = QAV_GenKeyPair(handle_, kRsa2048Container, 2, 0);
    ASSERT_EQ(generated, QAV_OK);
    const Bytes message = Counting(40, 0x50);
    for (const bool publicFirst : {true, false}) {
        const auto first = publicFirst ? QAV_PublicKeyCalc : QAV_PrivateKeyCalc;
        const auto second = publicFirst ? QAV_PrivateKeyCalc : QAV_PublicKeyCalc;
        // Padded on the way in, unpadded on the way back.
        Bytes block(256);
        uint32_t length = 256;
        const uint32_t rc =
            first(handle_, kRsa2048Container, 1, message.data(), 40, block.data(), &length, 0);
        ASSERT_EQ(rc, QAV_OK);
        ASSERT_EQ(length, 256u);
        Bytes back(256);
        length = 256;
        ASSERT_EQ(second(handle_, kRsa2048Container, 0, block.data(), 256, back.data(), &length, 0),
                  QAV_OK);
        back.resize(length);
        EXPECT_EQ(back, message) << (publicFirst ? "public then private" : "private then public");
    }
}

TEST_F(SealSession, SessionKeysRoundTripExportAndDelete) {
    struct Case {
        uint32_t algorithm;
        const EVP_CIPHER* cipher;
        size_t keyLength;
        size_t block;
    };
    const Case cases[] = {{1, EVP_sm4_ecb(), 16, 16}, {4, EVP_aes_128_cbc(), 16, 16}};
    for (const Case& c : cases) {
        const Bytes key = Counting(c.keyLength, static_cast<uint8_t>(c.algorithm));
        QAV_SessionKey* handle = nullptr;
        const uint32_t imported =
            QAV_ImportSessionKey(handle_, c.algorithm, key.data(),
                                 static_cast<uint32_t>(key.size()), nullptr, &handle, 0);
        ASSERT_EQ(imported, QAV_OK);
        const bool chained = EVP_CIPHER_get_mode(c.cipher) == EVP_CIPH_CBC_MODE;
        const Bytes iv = chained ? Counting(c.block, 0x99) : Bytes{};
        const Bytes plain = Counting(37, 0x60);
        Bytes encrypted(64);
        uint32_t length = 64;
        // Padding selector 2: n bytes of value n, as OpenSSL pads.
        ASSERT_EQ(QAV_SessionKeyEncrypt(handle_, handle, chained ? 1 : 0, 2, iv.data(),
                                        static_cast<uint32_t>(iv.size()), plain.data(), 37,
                                        encrypted.data(), &length, 0),
                  QAV_OK);
        encrypted.resize(length);
        EXPECT_EQ(encrypted.size(), (37 / c.block + 1) * c.block);
        Bytes decrypted(64);
        length = 64;
        ASSERT_EQ(QAV_SessionKeyDecrypt(handle_, handle, chained ? 1 : 0, 2, iv.data(),
                                        static_cast<uint32_t>(iv.size()), encrypted.data(),
                                        static_cast<uint32_t>(encrypted.size()), decrypted.data(),
                                        &length, 0),
                  QAV_OK);
        decrypted.resize(length);
        EXPECT_EQ(decrypted, plain);

        Bytes exported(32);
        length = 32;
        ASSERT_EQ(QAV_ExportSessionKey(handle_, handle, nullptr, exported.data(), &length, 0),
                  QAV_OK);
        exported.resize(length);
        EXPECT_EQ(exported, key);
        ASSERT_EQ(QAV_DelSessionKey(handle_, handle, 0), QAV_OK);
        EXPECT_EQ(QAV_DelSessionKey(handle_, handle, 0), QAV_E_BAD_KEY);
    }
}

// A key file as the key program's image holds it now (it saves after every
// change); empty when the bench gives no image.
Bytes ImageFile(const char* fid) {
    const std::string path = bench::Env("QAVSEAL_VCARD_IMAGE");
    if (path.empty()) return {};
    const nlohmann::json image = nlohmann::json::parse(FileText(path));
    const std::string hex = image.at("seal_files").at(fid).at("data").get<std::string>();
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// SM2 private key d and public x || y, in the form OpenSSL opens it.
PkeyPtr Sm2KeyPair(const Bytes& d, const Bytes& pub) {
    Bytes point{0x04};
    point.insert(point.end(), pub.begin(), pub.end());
    // OSSL_PARAM takes a number in the machine's own byte order.
    const BnPtr scalar(BN_bin2bn(d.data(), static_cast<int>(d.size()), nullptr));
    Bytes native(32);
    if (!scalar || BN_bn2nativepad(scalar.get(), native.data(), 32) != 32) return nullptr;
    char group[] = "SM2";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()),
        OSSL_PARAM_construct_BN(OSSL_PKEY_PARAM_PRIV_KEY, native.data(), native.size()),
        OSSL_PARAM_construct_end()};
    const PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_KEYPAIR, params) != 1) {
        return nullptr;
    }
    return PkeyPtr(key);
}

// Answers longer than one exchange through the service: a 247-byte SM2
// encryption (about 350 bytes back, opened on the host with the key's own
// pair) and a session key wrapped under the RSA-2048 key (256 bytes in a
// 260-byte answer), opened by the card.
TEST_F(SealSession, LongAnswersArriveWhole) {
    VerifyPin();
    const Bytes message = Counting(247, 0x31);
    Bytes ciphertext(512);
    uint32_t length = static_cast<uint32_t>(ciphertext.size());
    ASSERT_EQ(QAV_PublicKeyCalc(handle_, kSealContainer, 1, message.data(), 247, ciphertext.data(),
                                &length, 0),
              QAV_OK);
    ASSERT_GT(length, 256u);
    ciphertext.resize(length);
    const Bytes d = ImageFile("2101");
    if (d.empty()) {
        ADD_FAILURE() << "no key image from the bench";
    } else {
        const PkeyPtr pair = Sm2KeyPair(d, ExportedPublicKey(kSealContainer));
        ASSERT_TRUE(pair);
        const PkeyCtxPtr ctx(EVP_PKEY_CTX_new(pair.get(), nullptr));
        size_t plainLength = 0;
        ASSERT_TRUE(ctx && EVP_PKEY_decrypt_init(ctx.get()) == 1 &&
                    EVP_PKEY_decrypt(ctx.get(), nullptr, &plainLength, ciphertext.data(),
                                     ciphertext.size()) == 1);
        Bytes plain(plainLength);
        ASSERT_EQ(EVP_PKEY_decrypt(ctx.get(), plain.data(), &plainLength, ciphertext.data(),
                                   ciphertext.size()),
                  1);
        plain.resize(plainLength);
        EXPECT_EQ(plain, message);
    }

    const Bytes sessionKey = Counting(16, 0x44);
    QAV_SessionKey* key = nullptr;
    ASSERT_EQ(QAV_ImportSessionKey(handle_, 1, sessionKey.data(), 16, nullptr, &key, 0), QAV_OK);
    Bytes wrapped(512);
    length = static_cast<uint32_t>(wrapped.size());
    ASSERT_EQ(QAV_ExportSessionKey(handle_, key, kRsa2048Container, wrapped.data(), &length, 0),
              QAV_OK);
    ASSERT_EQ(length, 256u);
    Bytes opened(256);
    length = static_cast<uint32_t>(opened.size());
    ASSERT_EQ(QAV_PrivateKeyCalc(handle_, kRsa2048Container, 0, wrapped.data(), 256, opened.data(),
                                 &length, 0),
              QAV_OK);
    opened.resize(length);
    EXPECT_EQ(opened, sessionKey);
    EXPECT_EQ(QAV_DelSessionKey(handle_, key, 0), QAV_OK);
}

TEST_F(SealSession, ChangedPinIsTheOneToVerify) {
    uint32_t tries = 0;
    uint32_t state = 9;
    ASSERT_EQ(QAV_GetState(handle_, 1, &state, 0), QAV_OK);
    EXPECT_EQ(state, 0u);
    ASSERT_EQ(QAV_ChangePIN(handle_, kPin, "2468", &tries, 0), QAV_OK);
    ASSERT_EQ(QAV_GetState(handle_, 1, &state, 0), QAV_OK);
    EXPECT_EQ(state, 1u);
    ASSERT_EQ(QAV_ClearSecureState(handle_, 0), QAV_OK);
    EXPECT_EQ(QAV_VerifyPIN(handle_, kPin, &tries, 0), QAV_E_PIN_WRONG);
    EXPECT_EQ(QAV_VerifyPIN(handle_, "2468", &tries, 0), QAV_OK);
    ASSERT_EQ(QAV_ChangePIN(handle_, "2468", kPin, &tries, 0), QAV_OK);
    VerifyPin();
}

TEST_F(SealSession, CardNumberOfThePaymentApplication) {
    uint32_t length = 0;
    ASSERT_EQ(QAV_GetCardNumber(handle_, nullptr, &length, 0), QAV_OK);
    std::string number(length, '?');
    ASSERT_EQ(QAV_GetCardNumber(handle_, number.data(), &length, 0), QAV_OK);
    EXPECT_STREQ(number.c_str(), "6225880012345678");
    EXPECT_EQ(length, 17u);
}

}  // namespace
