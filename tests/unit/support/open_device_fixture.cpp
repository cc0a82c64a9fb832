#include "support/open_device_fixture.h"

#include <stdexcept>
#include <string>

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
    // A failed open ends the test: going on with handle 0 would take the
    // rest of the run down with it.
    if (const uint32_t rc = QAV_OpenDevice(kReader, &handle, 0)) {
        throw std::runtime_error("QAV_OpenDevice failed: " + std::to_string(rc));
    }
    pcsc.ResetCounts();
    return handle;
}

}  // namespace qav::test
