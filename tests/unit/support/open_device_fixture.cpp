#include "support/open_device_fixture.h"

#include "reader/card_database.h"

namespace qav::test {

void StartedLibraryTest::SetUp() {
    pcsc.AddReader(kReader);
    ASSERT_EQ(QAV_Initialize(0), QAV_OK);
}

void StartedLibraryTest::TearDown() { StopLibrary(); }

void StopLibrary() {
    while (QAV_Finalize(0) == QAV_OK) {
    }
    api::State().manager.reset();
    api::State().usageCount = 0;
}

void StartedLibraryTest::RegisterAtr(const fake::Bytes& atr) {
    const auto length = static_cast<uint32_t>(atr.size());
    char name[260];
    CardEntryName(atr.data(), length, name);
    const fake::Bytes mask(atr.size(), 0xFF);
    EXPECT_EQ(RegisterCard(name, atr.data(), length, mask.data(), length, kCardProviderName,
                           kCardModuleName),
              0u);
}

QAV_HANDLE OpenDeviceTest::Open(const fake::Bytes& atr, uint32_t protocol) {
    card = std::make_shared<fake::ScriptedCard>(atr, protocol);
    pcsc.InsertCard(kReader, card);
    RegisterAtr(atr);
    QAV_HANDLE handle = 0;
    EXPECT_EQ(QAV_OpenDevice(kReader, &handle, 0), QAV_OK);
    pcsc.ResetCounts();
    return handle;
}

}  // namespace qav::test
