// Card exports whose own commands matter: the picture size query and the
// payment card number.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace qav
