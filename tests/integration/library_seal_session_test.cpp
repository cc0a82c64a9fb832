// A seal session as an application runs it, through the library, a real
// pcscd and the virtual key (run under scripts/bench, once on a T=1 key and
// once on a T=0 key). Results are checked with OpenSSL and cairo, never
// against the library's own code. Steps whose card operation is not built
// yet report themselves skipped.
#include <cairo.h>
#include <gtest/gtest.h>
#include <qavseal/qavseal.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host_crypto.h"
#include "pcsc_link.h"

namespace {

using bench::Bytes;

constexpr char kPin[] = "12345678";
constexpr char kSealContainer[] = "QAV-SM2-Seal";
constexpr char kRsa2048Container[] = "QAV-RSA2048";

Bytes Counting(size_t length, uint8_t from) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(from + i * 7);
    return bytes;
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

TEST_F(SealSession, SealDataDigestIsSm3) {
    VerifyPin();
    const Bytes data = Counting(600, 0x40);
    Bytes digest = host::Sm3(data);
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

// A key file as the key program's image holds it now (it saves after every
// change); empty when the bench gives no image.
Bytes ImageFile(const char* fid) {
    const std::string path = bench::Env("QAVSEAL_VCARD_IMAGE");
    if (path.empty()) return {};
    const nlohmann::json image = nlohmann::json::parse(FileText(path));
    return host::Hex(image.at("seal_files").at(fid).at("data").get<std::string>());
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
    ASSERT_FALSE(d.empty()) << "no key image from the bench";
    // Opened on the host with the key's own pair (throws when it cannot).
    EXPECT_EQ(host::Sm2Decrypt(d, ExportedPublicKey(kSealContainer), ciphertext), message);

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

}  // namespace
