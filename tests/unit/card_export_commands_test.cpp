// Card exports whose own commands matter: the picture size query, the
// payment card number and the raw private-key calculation.
#include <gtest/gtest.h>

#include <numeric>
#include <string>

#include "qavseal/qavseal.h"
#include "support/known_commands.h"
#include "support/open_device_fixture.h"

namespace qav {
namespace {

using fake::Bytes;

class CardExportCommandsTest : public test::OpenDeviceTest {};

constexpr char kPictureLookup[] = "80 CD 00 02 04 C1 02 00 01";
constexpr char kPictureAt3101Of300[] = "CA 02 31 01 CB 04 00 00 01 2C 90 00";

TEST_F(CardExportCommandsTest, PictureSizeQueryOfALargePicture) {
    const QAV_HANDLE handle = Open();
    std::string full256;
    for (int i = 0; i < 256; ++i) full256 += "A5 ";
    // The length query asks with Le 00, which leaves room for 256 bytes.
    card->Expect(kPictureLookup, kPictureAt3101Of300)
        .Expect("00 A4 00 00 02 31 01", "90 00")
        .Expect("00 B0 00 00 00", full256 + "90 00");
    uint32_t length = 1;  // the card operation refuses a stated size of 0
    ASSERT_EQ(QAV_GetSealPic(handle, 1, nullptr, &length, 0), QAV_OK);
    EXPECT_EQ(length, 300u);

    // Too small a buffer: the size, and no read.
    card->Expect(kPictureLookup, kPictureAt3101Of300);
    Bytes out(299);
    length = 299;
    EXPECT_EQ(QAV_GetSealPic(handle, 1, out.data(), &length, 0), QAV_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 300u);
    EXPECT_EQ(card->StepsLeft(), 0u);

    // Longer than a file can be: the card's error, not the caller's length.
    card->Expect(kPictureLookup, "CA 02 31 01 CB 04 00 01 00 01 90 00");
    length = 299;
    EXPECT_EQ(QAV_GetSealPic(handle, 1, out.data(), &length, 0), QAV_E_UNEXPECTED_DATA);
    EXPECT_EQ(card->StepsLeft(), 0u);
}

TEST_F(CardExportCommandsTest, CardNumberFromTheFirstPaymentRecord) {
    const QAV_HANDLE handle = Open();
    const std::string record =
        "70 13 57 11 62 25 88 00 12 34 56 78 D2 51 22 01 00 00 00 00 0F 90 00";
    card->Expect(test::kPaymentApp1, "6A 82")
        .Expect(test::kPaymentApp2, "90 00")
        .Expect("00 B2 01 0C 00", "6C 15")
        .Expect("00 B2 01 0C 15", record);
    uint32_t length = 0;
    ASSERT_EQ(QAV_GetCardNumber(handle, nullptr, &length, 0), QAV_OK);
    EXPECT_EQ(length, 17u);

    card->Expect(test::kPaymentApp1, "90 00").Expect("00 B2 01 0C 00", record);
    char small[16];
    length = sizeof small;
    EXPECT_EQ(QAV_GetCardNumber(handle, small, &length, 0), QAV_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 17u);

    card->Expect(test::kPaymentApp1, "90 00").Expect("00 B2 01 0C 00", record);
    char number[17];
    length = sizeof number;
    ASSERT_EQ(QAV_GetCardNumber(handle, number, &length, 0), QAV_OK);
    EXPECT_STREQ(number, "6225880012345678");

    // No application answers: the last selection's result.
    card->Expect(test::kPaymentApp1, "6A 82")
        .Expect(test::kPaymentApp2, "6A 82")
        .Expect(test::kPaymentApp4, "6A 81");
    EXPECT_EQ(QAV_GetCardNumber(handle, number, &length, 0), QAV_CARD_STATUS(0x6A81));
    EXPECT_EQ(card->StepsLeft(), 0u);
}

// A container record as the card's table holds it.
std::string Record(const std::string& name, uint8_t keyType, uint16_t privateFile) {
    Bytes record(60, 0x00);
    std::copy(name.begin(), name.end(), record.begin());
    record[41] = keyType;
    const auto word = [&](size_t at, uint16_t value) {
        record[at] = static_cast<uint8_t>(value);
        record[at + 1] = static_cast<uint8_t>(value >> 8);
    };
    word(48, static_cast<uint16_t>(privateFile - 0x100));
    word(50, privateFile);
    word(52, static_cast<uint16_t>(privateFile + 0x100));
    return fake::ToHex(record);
}

Bytes Counting(size_t length, uint8_t from) {
    Bytes bytes(length);
    std::iota(bytes.begin(), bytes.end(), from);
    return bytes;
}

class RawCalcTest : public CardExportCommandsTest {
protected:
    void SetUp() override {
        CardExportCommandsTest::SetUp();
        handle = Open();
    }
    // The application probe and the two reads of the container table before
    // each calculation.
    void ExpectTable() {
        const std::string table = Record("RSA1024", 0x01, 0x2102) + " " +
                                  Record("RSA2048", 0x02, 0x2103) + " " +
                                  Record("SM2", 0x04, 0x2101) + " " + Record("NoKey", 0x01, 0);
        card->Expect(test::kSelectAbility, "90 00")
            .Expect("00 A4 00 00 02 30 01", "90 00")
            .Expect("00 B0 00 00 01", "04 90 00")
            .Expect("00 A4 00 00 02 0F FF", "90 00")
            .Expect("00 B0 00 00 F0", table + " 90 00");
    }
    uint32_t Calc(const char* name, const Bytes& input, uint8_t* out) {
        return QAV_PrivateKeyCalcRaw(handle, name, input.data(),
                                     static_cast<uint32_t>(input.size()), out, &outLength, 0);
    }

    QAV_HANDLE handle = 0;
    uint32_t outLength = 0;
};

// Neither the block nor the answer is PKCS #1 padded: the card's bytes come
// back as they are, and the block goes to the card as it is.
TEST_F(RawCalcTest, OneBlockToTheCardAndItsAnswerBackUntouched) {
    const Bytes block = Counting(128, 0x01);
    const Bytes answer = Counting(128, 0x80);
    ExpectTable();
    card->Expect("80 48 C0 00 87 C2 02 21 02 C1 81 80 " + fake::ToHex(block) + " 00",
                 fake::ToHex(answer) + " 90 00");
    Bytes out(200, 0xEE);
    outLength = 200;
    ASSERT_EQ(Calc("RSA1024", block, out.data()), QAV_OK);
    EXPECT_EQ(outLength, 128u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 128), answer);

    // 2048 bits: the data goes in two pieces, the answer is 256 bytes.
    const Bytes block2048 = Counting(256, 0x03);
    const Bytes data = fake::FromHex("C2 02 21 03 C1 82 01 00 " + fake::ToHex(block2048));
    ExpectTable();
    card->Expect("80 48 C1 02 FA " + fake::ToHex(Bytes(data.begin(), data.begin() + 250)), "90 00")
        .Expect("80 48 C3 02 0E " + fake::ToHex(Bytes(data.begin() + 250, data.end())) + " 00",
                fake::ToHex(Counting(256, 0x07)) + " 90 00");
    outLength = 256;
    out.assign(256, 0);
    ASSERT_EQ(Calc("RSA2048", block2048, out.data()), QAV_OK);
    EXPECT_EQ(out, Counting(256, 0x07));

    // Before the PIN the card's refusal comes back as its status.
    ExpectTable();
    card->Expect("80 48 C0 00 87 C2 02 21 02 C1 81 80 " + fake::ToHex(block) + " 00", "69 82");
    outLength = 128;
    EXPECT_EQ(Calc("RSA1024", block, out.data()), QAV_CARD_STATUS(0x6982));
    EXPECT_EQ(card->StepsLeft(), 0u);
}

TEST_F(RawCalcTest, SizeAndRefusalsAfterTheTableSendNoCalculation) {
    const Bytes block = Counting(128, 0x01);
    Bytes out(128, 0xEE);
    ExpectTable();
    outLength = 0;
    ASSERT_EQ(Calc("RSA1024", block, nullptr), QAV_OK);
    EXPECT_EQ(outLength, 128u);

    ExpectTable();
    outLength = 127;
    EXPECT_EQ(Calc("RSA1024", block, out.data()), QAV_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(outLength, 128u);
    EXPECT_EQ(out, Bytes(128, 0xEE)) << "nothing copied";

    // One modulus long, not another's; no calculation with an SM2 key or
    // without a private-key file; names match exactly.
    const struct {
        const char* name;
        size_t length;
        uint32_t rc;
    } refusals[] = {
        {"RSA1024", 127, QAV_E_BAD_LENGTH},   {"RSA1024", 256, QAV_E_BAD_LENGTH},
        {"RSA2048", 128, QAV_E_BAD_LENGTH},   {"SM2", 32, QAV_E_BAD_ALGORITHM},
        {"SM2", 128, QAV_E_BAD_ALGORITHM},    {"NoKey", 128, QAV_E_NOT_FOUND},
        {"rsa1024", 128, QAV_E_NO_CONTAINER},
    };
    for (const auto& refusal : refusals) {
        ExpectTable();
        outLength = 256;
        EXPECT_EQ(Calc(refusal.name, Counting(refusal.length, 1), out.data()), refusal.rc)
            << refusal.name << " " << refusal.length;
        EXPECT_EQ(outLength, 256u);
    }
    EXPECT_EQ(out, Bytes(128, 0xEE));
    EXPECT_EQ(card->StepsLeft(), 0u);
}

}  // namespace
}  // namespace qav
