// A fixture with its own fake PC/SC service, its own registry store in a
// temporary folder, and free, counted pauses.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fake_pcsc/fake_pcsc.h"

namespace qav::test {

// A temporary folder, removed with everything in it.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

class ServiceTest : public ::testing::Test {
protected:
    ServiceTest();
    ~ServiceTest() override;

    // The pauses requested through the sleep seam since the fixture started.
    static const std::vector<uint32_t>& Sleeps();

    // Enters a card's ATR in the card database (exact mask), so connecting to
    // it sends no probe.
    static void RegisterAtr(const fake::Bytes& atr);

    // Where the registry store keeps a key (backslashes become folders).
    std::string StorePath(const std::string& keyPath) const;

    TempFolder configHome;
    fake::FakePcsc pcsc;

private:
    std::string savedConfigHome_;
    bool hadConfigHome_ = false;
};

}  // namespace qav::test
