// The card image: JSON round trip, persistence of PIN state, bad images.
#include <cstdio>
#include <fstream>

#include "card_fixture.h"

namespace vcard_test {
namespace {

TEST_F(CardTest, ImageKeepsPinChangesTriesAndFilesAcrossRestarts) {
    EXPECT_FALSE(card_->Modified());
    ASSERT_EQ(SendHex("805E01000712345678FF4321"), "9000");
    EXPECT_TRUE(card_->Modified());
    ASSERT_EQ(SendHex("00200000024321"), "9000");
    ASSERT_EQ(Sw(SelectFile(0xA0F3)), 0x9000);
    ASSERT_EQ(SendHex("00D6000002ABCD"), "9000");
    ASSERT_EQ(SendHex("00200000021111"), "63C5");
    ASSERT_EQ(SendHex("002000000412345678"), "63C4") << "the old PIN is gone";

    const std::string path = ::testing::TempDir() + "vcard_image_test.json";
    card_->SaveJson(path);
    auto again = vcard::SealCard::FromJsonFile(path);
    std::remove(path.c_str());
    EXPECT_TRUE(again->ToJson() == card_->ToJson()) << "the saved image reloads unchanged";
    EXPECT_EQ(host::Hex(again->Transmit(Hex("0020000000"))), "63C4");
    ASSERT_EQ(Sw(again->Transmit(Hex("00A4000002A0F3"))), 0x9000);
    EXPECT_EQ(host::Hex(again->Transmit(Hex("00B0000004"))), "ABCD00009000");
    EXPECT_EQ(host::Hex(again->Transmit(Hex("00200000024321"))), "9000");
}

TEST(CardImage, BrokenImagesAreRefused) {
    EXPECT_THROW(vcard::SealCard::FromJson("{"), std::runtime_error);
    EXPECT_THROW(vcard::SealCard::FromJson("{\"format\":\"other\"}"), std::runtime_error);
    std::string bad = DefaultImageJson();
    bad.replace(bad.find("\"always\""), 8, "\"sometimes\"");
    EXPECT_THROW(vcard::SealCard::FromJson(bad), std::runtime_error);
    EXPECT_THROW(vcard::SealCard::FromJsonFile("/nonexistent/image.json"), std::runtime_error);
}

}  // namespace
}  // namespace vcard_test
