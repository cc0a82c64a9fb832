// A fixture with its own fake PC/SC service, a registry of its own, and free,
// counted pauses.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "fake_pcsc/fake_pcsc.h"
#include "support/private_registry.h"

namespace qav::test {

class ServiceTest : public ::testing::Test {
protected:
    ServiceTest();
    ~ServiceTest() override;

    // The pauses requested through the sleep seam since the fixture started.
    static const std::vector<uint32_t>& Sleeps();

    // Enters a card's ATR in the card database (exact mask), so connecting to
    // it sends no probe.
    static void RegisterAtr(const fake::Bytes& atr);

    PrivateRegistry registry;
    fake::FakePcsc pcsc;
};

}  // namespace qav::test
