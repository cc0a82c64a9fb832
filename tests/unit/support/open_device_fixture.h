// The library started on a fake service with one seal reader; and with a
// scripted card in it that is already registered (so opening sends no probe).
#pragma once

#include <memory>
#include <string>

#include "api/frame.h"
#include "support/service_fixture.h"

namespace qav::test {

// Leaves the process-wide library stopped for the next test.
void StopLibrary();

class StartedLibraryTest : public ServiceTest {
protected:
    static constexpr char kReader[] = "ADM Virtual Seal 00 00";

    void SetUp() override;
    void TearDown() override;
};

class OpenDeviceTest : public StartedLibraryTest {
protected:
    // Inserts a card with this ATR (registered), and opens it.
    QAV_HANDLE Open(const fake::Bytes& atr = {0x3B, 0x02, 0x14, 0x50}, uint32_t protocol = 2);

    std::shared_ptr<fake::ScriptedCard> card;
};

}  // namespace qav::test
