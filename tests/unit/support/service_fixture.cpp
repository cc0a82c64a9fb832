#include "support/service_fixture.h"

#include "platform/wait.h"
#include "reader/card_database.h"

namespace qav::test {
namespace {

std::vector<uint32_t> g_sleeps;

void RecordSleep(uint32_t milliseconds) { g_sleeps.push_back(milliseconds); }

}  // namespace

ServiceTest::ServiceTest() {
    g_sleeps.clear();
    platform::SetSleepFunction(&RecordSleep);
}

ServiceTest::~ServiceTest() { platform::SetSleepFunction(nullptr); }

const std::vector<uint32_t>& ServiceTest::Sleeps() { return g_sleeps; }

void ServiceTest::RegisterAtr(const fake::Bytes& atr) {
    const auto length = static_cast<uint32_t>(atr.size());
    char name[260];
    CardEntryName(atr.data(), length, name);
    const fake::Bytes mask(atr.size(), 0xFF);
    ASSERT_EQ(RegisterCard(name, atr.data(), length, mask.data(), length, kCardProviderName,
                           kCardModuleName),
              0u);
}

}  // namespace qav::test
