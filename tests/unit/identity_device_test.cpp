// Which reader and card classes an opened device gets, and an identity card
// that then talks through the device's own reader.
#include <gtest/gtest.h>

#include <memory>
#include <typeinfo>

#include "card/identity/card_zel.h"
#include "card/seal/card_seal.h"
#include "device/device_factory.h"
#include "reader/reader_variants.h"
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

TEST_F(IdentityDeviceTest, ReaderClassFollowsFamilyAndReaderKind) {
    struct Case {
        uint32_t family;
        const char* reader;
        const std::type_info& readerClass;
        const std::type_info& cardClass;
    };
    const Case cases[] = {
        {kCardFamilySeal, "CUP Reader 0", typeid(CReaderPCSC), typeid(CCardSeal)},
        {kCardFamilyIdentity, "CUP Reader 0", typeid(CReaderZhiFuTong), typeid(CCardZel)},
        {kCardFamilyIdentity, "Zel R  002 x", typeid(CReaderZhiFuTong), typeid(CCardZel)},
        {kCardFamilyIdentity, "Zel R  004 x", typeid(CReaderDongLian), typeid(CCardZel)},
        {kCardFamilyIdentity, "Zel R  999 x", typeid(CReaderDongLian), typeid(CCardZel)},
        {kCardFamilyIdentity, "Zel R  003 x", typeid(CReaderPCSC), typeid(CCardZel)},
        {kCardFamilyIdentity, "Zel R  001 x", typeid(CReaderPCSC), typeid(CCardZel)},
    };
    // Registered, so opening sends no probe.
    const fake::Bytes atr = fake::FromHex("3B 6E 00 01");
    ASSERT_NO_FATAL_FAILURE(RegisterAtr(atr));
    for (const Case& c : cases) {
        if (pcsc.FindReader(c.reader) == nullptr) pcsc.AddReader(c.reader);
        pcsc.InsertCard(c.reader, std::make_shared<fake::FixedCard>(atr, fake::Bytes{0x90, 0x00}));
        CDeviceFactory factory;
        ASSERT_EQ(factory.Start(c.family, 0), QAV_OK);
        std::unique_ptr<CDevice> device;
        ASSERT_EQ(factory.Open(c.reader, &device, 0), QAV_OK) << c.reader;
        const CReader& reader = *device->reader;
        const CCard& card = *device->card;
        EXPECT_EQ(typeid(reader), c.readerClass) << c.family << " " << c.reader;
        EXPECT_EQ(typeid(card), c.cardClass) << c.family << " " << c.reader;
        EXPECT_EQ(factory.Close(device.get(), 0), QAV_OK);
        EXPECT_EQ(factory.Stop(0), QAV_OK);
    }
}

}  // namespace
}  // namespace qav
