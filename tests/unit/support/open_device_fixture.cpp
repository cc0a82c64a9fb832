#include "support/open_device_fixture.h"

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
