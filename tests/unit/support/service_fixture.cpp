#include "support/service_fixture.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "platform/wait.h"
#include "reader/card_database.h"

namespace qav::test {
namespace {

std::vector<uint32_t> g_sleeps;

void RecordSleep(uint32_t milliseconds) { g_sleeps.push_back(milliseconds); }

}  // namespace

TempFolder::TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qavseal-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ServiceTest::ServiceTest() {
    if (const char* previous = std::getenv("XDG_CONFIG_HOME")) {
        savedConfigHome_ = previous;
        hadConfigHome_ = true;
    }
    setenv("XDG_CONFIG_HOME", configHome.path().c_str(), 1);
    g_sleeps.clear();
    platform::SetSleepFunction(&RecordSleep);
}

ServiceTest::~ServiceTest() {
    platform::SetSleepFunction(nullptr);
    if (hadConfigHome_) {
        setenv("XDG_CONFIG_HOME", savedConfigHome_.c_str(), 1);
    } else {
        unsetenv("XDG_CONFIG_HOME");
    }
}

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

std::string ServiceTest::StorePath(const std::string& keyPath) const {
    std::string path = configHome.path() + "/qavseal/registry/HKEY_CURRENT_USER/" + keyPath;
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

}  // namespace qav::test
