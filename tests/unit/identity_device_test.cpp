// A factory started for identity cards gives each opened device the
// identity-card class, which then talks through the device's own reader.
#include <gtest/gtest.h>

#include <memory>

#include "card/card_seal.h"
#include "card/card_zel.h"
#include "device/device_factory.h"
#include "support/service_fixture.h"

namespace qav {
namespace {

constexpr char kReader[] = "Generic Reader 0";

class IdentityDeviceTest : public test::ServiceTest {};

TEST_F(IdentityDeviceTest, OpenedDeviceCarriesTheIdentityCard) {
    pcsc.AddReader(kReader);
    auto card = std::make_shared<fake::ScriptedCard>(fake::FromHex("3B 6E 00 00"));
    // The connection probes the unregistered card first.
    card->Expect("00 A4 04 00 08 A0 00 00 00 03 5A 45 4C", "90 00")
        .Expect("00 A4 00 00 02 3F 00", "90 00");
    pcsc.InsertCard(kReader, card);

    CDeviceFactory factory;
    ASSERT_EQ(factory.Start(kCardFamilyIdentity, 0), QAV_OK);
    std::unique_ptr<CDevice> device;
    ASSERT_EQ(factory.Open(kReader, &device, 0), QAV_OK);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(dynamic_cast<CCardSeal*>(device->card.get()), nullptr);
    auto* identity = dynamic_cast<CCardZel*>(device->card.get());
    ASSERT_NE(identity, nullptr);
    EXPECT_EQ(identity->Reader(), device->reader.get());
    EXPECT_EQ(identity->SelectFile(0, nullptr, 0, 0x3F00, nullptr, nullptr, 0), QAV_OK);
    EXPECT_EQ(factory.Close(device.get(), 0), QAV_OK);
    device.reset();
    EXPECT_EQ(factory.Stop(0), QAV_OK);
}

}  // namespace
}  // namespace qav
