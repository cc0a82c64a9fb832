// Reference-counted start and stop, a forked child's fresh start, the device
// list export, the manager's records and handle validation.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstring>
#include <map>

#include "api/frame.h"
#include "qavseal/qavseal.h"
#include "support/open_device_fixture.h"

namespace qav {
namespace {

using fake::Bytes;
using fake::Call;

class LifecycleTest : public test::ServiceTest {
protected:
    void TearDown() override { test::StopLibrary(); }
};

TEST_F(LifecycleTest, CountsItsUsers) {
    EXPECT_EQ(QAV_Finalize(0), QAV_E_NOT_INITIALIZED);
    ASSERT_EQ(QAV_Initialize(0), QAV_OK);
    ASSERT_EQ(QAV_Initialize(12345), QAV_OK);  // the argument is not read
    EXPECT_EQ(pcsc.Count(Call::EstablishContext), 1);
    EXPECT_EQ(QAV_Finalize(0), QAV_OK);
    EXPECT_NE(api::Manager(), nullptr);
    EXPECT_EQ(pcsc.OpenContexts(), 1u);
    EXPECT_EQ(QAV_Finalize(0), QAV_OK);
    EXPECT_EQ(api::Manager(), nullptr);
    EXPECT_EQ(pcsc.OpenContexts(), 0u);
    EXPECT_EQ(QAV_Finalize(0), QAV_E_NOT_INITIALIZED);
}

TEST_F(LifecycleTest, FailedFirstStartLeavesCountZeroAndRetries) {
    pcsc.SetServiceRunning(false);
    EXPECT_EQ(QAV_Initialize(0), platform::kScardNoService);
    EXPECT_NE(api::State().manager, nullptr);  // the manager survives the failed start
    EXPECT_EQ(api::Manager(), nullptr);        // and is no initialised library
    EXPECT_EQ(QAV_Finalize(0), QAV_E_NOT_INITIALIZED);
    char** names = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(QAV_GetDeviceList(&names, &count, 0), QAV_E_NOT_INITIALIZED);
    // A handle is not even looked at.
    EXPECT_EQ(QAV_CloseDevice(0x1234, 0), QAV_E_NOT_INITIALIZED);
    EXPECT_EQ(QAV_GenRandom(0x1234, nullptr, 0, 0), QAV_E_NOT_INITIALIZED);
    EXPECT_EQ(QAV_CancelDetectDeviceChange(0), QAV_E_NOT_INITIALIZED);

    pcsc.SetServiceRunning(true);
    ASSERT_EQ(QAV_Initialize(0), QAV_OK);
    EXPECT_EQ(QAV_Finalize(0), QAV_OK);
    EXPECT_EQ(api::Manager(), nullptr);
}

TEST_F(LifecycleTest, FailedContextReleaseKeepsTheLibraryStarted) {
    ASSERT_EQ(QAV_Initialize(0), QAV_OK);
    pcsc.Inject(Call::ReleaseContext, 0x80100001u);
    EXPECT_EQ(QAV_Finalize(0), 0x80100001u);
    ASSERT_NE(api::State().manager, nullptr);
    EXPECT_TRUE(api::State().manager->Factory().Started());
}

#ifndef _WIN32
// The child runs on the fake service's copy it inherited, so every call it
// makes is visible in its own counts. It reports the first check that fails
// as its exit status.
TEST_F(LifecycleTest, AForkedChildStartsAfreshAndLeavesTheParentsStateAlone) {
    constexpr char kReader[] = "ADM Virtual Seal 00 00";
    const Bytes atr = {0x3B, 0x02, 0x14, 0x51};
    pcsc.AddReader(kReader);
    pcsc.InsertCard(kReader, std::make_shared<fake::FixedCard>(atr, Bytes{0x90, 0x00}));
    RegisterAtr(atr);
    ASSERT_EQ(QAV_Initialize(0), QAV_OK);
    QAV_HANDLE parent = 0;
    ASSERT_EQ(QAV_OpenDevice(kReader, &parent, 0), QAV_OK);
    const auto transmit = [](QAV_HANDLE handle) {
        const uint8_t challenge[] = {0x00, 0x84, 0x00, 0x00, 0x08};
        uint8_t answer[16];
        uint32_t length = sizeof answer;
        uint32_t status = 0;
        const uint32_t rc =
            QAV_Transmit(handle, challenge, sizeof challenge, answer, &length, &status, 0);
        return rc == QAV_OK && status != 0x9000 ? 1u : rc;
    };
    const std::map<uintptr_t, bool> parentContexts = pcsc.contexts;
    const size_t parentHandles = pcsc.handles.size();
    ASSERT_FALSE(parentContexts.empty());
    ASSERT_EQ(parentHandles, 1u);

    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        int step = 0;
        const auto check = [&step](bool holds) {
            ++step;
            if (!holds) _exit(step);
        };
        pcsc.ResetCounts();
        char** names = nullptr;
        uint32_t count = 0;
        // Inherited state is invisible before the child's own start.
        check(QAV_GetDeviceList(&names, &count, 0) == QAV_E_NOT_INITIALIZED);
        check(transmit(parent) == QAV_E_NOT_INITIALIZED);
        check(QAV_Finalize(0) == QAV_E_NOT_INITIALIZED);
        check(QAV_Initialize(0) == QAV_OK);
        check(pcsc.Count(Call::EstablishContext) == 1);
        check(QAV_GetDeviceList(&names, &count, 0) == QAV_OK && count == 1);
        QAV_HANDLE own = 0;
        check(QAV_OpenDevice(names[0], &own, 0) == QAV_OK);
        check(transmit(own) == QAV_OK);
        check(transmit(parent) == QAV_E_INVALID_HANDLE);
        check(QAV_Finalize(0) == QAV_OK);
        check(QAV_Finalize(0) == QAV_E_NOT_INITIALIZED);
        // Only the child's own context and connection were released.
        check(pcsc.Count(Call::ReleaseContext) == pcsc.Count(Call::EstablishContext) &&
              pcsc.Count(Call::Disconnect) == 1);
        for (const auto& [context, valid] : parentContexts) check(pcsc.contexts.at(context));
        check(pcsc.handles.size() == parentHandles);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's check that failed";
    // The parent goes on with its own state.
    EXPECT_EQ(transmit(parent), QAV_OK);
    EXPECT_EQ(QAV_CloseDevice(parent, 0), QAV_OK);
    EXPECT_EQ(QAV_Finalize(0), QAV_OK);
    EXPECT_EQ(pcsc.OpenContexts(), 0u);
}
#endif

class DeviceListTest : public LifecycleTest {
protected:
    void SetUp() override { ASSERT_EQ(QAV_Initialize(0), QAV_OK); }
    void AddUsable(const std::string& reader, uint8_t atrTail) {
        pcsc.AddReader(reader);
        pcsc.InsertCard(reader,
                        std::make_shared<fake::FixedCard>(Bytes{0x3B, atrTail}, Bytes{0x90, 0x00}));
    }
};

TEST_F(DeviceListTest, EmptyListHasCountZero) {
    char** names = nullptr;
    uint32_t count = 7;
    EXPECT_EQ(QAV_GetDeviceList(&names, &count, 0), QAV_E_NO_DEVICE);
    EXPECT_EQ(count, 0u);
}

TEST_F(DeviceListTest, FiltersByNamePrefixInServiceOrder) {
    AddUsable("Generic 0", 1);
    AddUsable("DZYZ Key", 2);
    AddUsable("XADM Reader", 3);
    AddUsable("ADM Seal", 4);
    // Look-alikes one letter short of either prefix.
    AddUsable("ADX Reader", 5);
    AddUsable("DZYX Key", 6);
    // A card that fails the probe stays out even when every name is shown.
    pcsc.AddReader("ADM Foreign");
    pcsc.InsertCard("ADM Foreign",
                    std::make_shared<fake::FixedCard>(Bytes{0x3B, 7}, Bytes{0x6A, 0x82}));
    char** names = nullptr;
    uint32_t count = 0;
    ASSERT_EQ(QAV_GetDeviceList(&names, &count, 0), QAV_OK);
    ASSERT_EQ(count, 2u);
    EXPECT_STREQ(names[0], "DZYZ Key");
    EXPECT_STREQ(names[1], "ADM Seal");

    ASSERT_EQ(QAV_GetDeviceList(&names, &count, 1), QAV_OK);
    ASSERT_EQ(count, 6u);
    EXPECT_STREQ(names[0], "Generic 0");
    EXPECT_STREQ(names[2], "XADM Reader");
}

TEST_F(DeviceListTest, ANewListReplacesTheOldOneAndServiceErrorsPass) {
    AddUsable("ADM Seal", 4);
    char** first = nullptr;
    uint32_t count = 0;
    ASSERT_EQ(QAV_GetDeviceList(&first, &count, 0), QAV_OK);
    pcsc.Inject(Call::ListReaders, 0x80100017u);
    char** second = nullptr;
    EXPECT_EQ(QAV_GetDeviceList(&second, &count, 0), 0x80100017u);
    pcsc.RemoveCard("ADM Seal");
    EXPECT_EQ(QAV_GetDeviceList(&second, &count, 0), QAV_E_NO_DEVICE);
    EXPECT_EQ(count, 0u);
    // (ASan catches any use of the freed first list.)
}

TEST_F(DeviceListTest, OneListingAndOneStateQueryForAllReaders) {
    AddUsable("ADM Seal 0", 1);
    pcsc.AddReader("ADM Empty");
    AddUsable("DZYZ Key", 2);
    AddUsable("ADM Seal 1", 3);
    char** names = nullptr;
    uint32_t count = 0;
    ASSERT_EQ(QAV_GetDeviceList(&names, &count, 0), QAV_OK);  // probes and registers
    pcsc.ResetCounts();

    ASSERT_EQ(QAV_GetDeviceList(&names, &count, 0), QAV_OK);
    ASSERT_EQ(count, 3u);
    EXPECT_STREQ(names[0], "ADM Seal 0");
    EXPECT_STREQ(names[1], "DZYZ Key");
    EXPECT_STREQ(names[2], "ADM Seal 1");
    EXPECT_EQ(pcsc.Count(Call::ListReaders), 1);
    EXPECT_EQ(pcsc.Count(Call::GetStatusChange), 1);
    // Registered cards are answered from memory.
    EXPECT_EQ(pcsc.Count(Call::Connect), 0);
    EXPECT_TRUE(pcsc.SentCommands().empty());
    EXPECT_EQ(pcsc.OutstandingAllocations(), 0u);
}

TEST_F(DeviceListTest, ListsAgainOnlyWhenTheNamesDidNotFit) {
    // Names that together pass what a first listing makes room for.
    std::vector<std::string> readers;
    for (char c = 'A'; c <= 'L'; ++c) {
        readers.push_back("ADM " + std::string(150, c));
        AddUsable(readers.back(), static_cast<uint8_t>(c));
    }
    char** names = nullptr;
    uint32_t count = 0;
    ASSERT_EQ(QAV_GetDeviceList(&names, &count, 0), QAV_OK);
    pcsc.ResetCounts();
    ASSERT_EQ(QAV_GetDeviceList(&names, &count, 0), QAV_OK);
    ASSERT_EQ(count, readers.size());
    for (size_t i = 0; i < readers.size(); ++i) EXPECT_EQ(names[i], readers[i]);
    EXPECT_EQ(pcsc.Count(Call::ListReaders), 2);
    EXPECT_EQ(pcsc.Count(Call::GetStatusChange), 1);

    // A service answering "too small" again and again ends the listing.
    pcsc.ResetCounts();
    pcsc.Inject(Call::ListReaders, platform::kScardInsufficientBuffer, 100);
    EXPECT_EQ(QAV_GetDeviceList(&names, &count, 0), QAV_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(pcsc.Count(Call::ListReaders), 3);
    EXPECT_EQ(pcsc.Count(Call::GetStatusChange), 0);
}

TEST_F(DeviceListTest, AFailedQueryOfAllReadersAsksEachOnItsOwn) {
    AddUsable("ADM Seal 0", 1);
    AddUsable("ADM Seal 1", 2);
    char** names = nullptr;
    uint32_t count = 0;
    ASSERT_EQ(QAV_GetDeviceList(&names, &count, 0), QAV_OK);
    pcsc.ResetCounts();
    // One "too small" answer: the second listing fits.
    pcsc.Inject(Call::ListReaders, platform::kScardInsufficientBuffer);
    pcsc.Inject(Call::GetStatusChange, 0x80100009u);  // unknown reader
    ASSERT_EQ(QAV_GetDeviceList(&names, &count, 0), QAV_OK);
    ASSERT_EQ(count, 2u);
    EXPECT_STREQ(names[0], "ADM Seal 0");
    EXPECT_STREQ(names[1], "ADM Seal 1");
    EXPECT_EQ(pcsc.Count(Call::ListReaders), 2);
    EXPECT_EQ(pcsc.Count(Call::GetStatusChange), 3);
}

TEST_F(DeviceListTest, ManagerValidatesOnlyRegisteredHandles) {
    CDeviceManager* manager = api::Manager();
    auto owned = std::make_unique<CDevice>();
    CDevice& first = *owned;
    auto ownedSecond = std::make_unique<CDevice>();
    CDevice& second = *ownedSecond;
    const auto handle = [](CDevice& device) { return reinterpret_cast<QAV_HANDLE>(&device); };
    EXPECT_EQ(manager->ValidateDevice(handle(first)), QAV_E_INVALID_HANDLE);
    EXPECT_EQ(manager->ValidateDevice(0), QAV_E_INVALID_HANDLE);
    EXPECT_EQ(manager->RegisterDevice(std::move(owned)), handle(first));
    manager->RegisterDevice(std::move(ownedSecond));
    EXPECT_EQ(manager->ValidateDevice(handle(first)), QAV_OK);
    CDevice* found = nullptr;
    EXPECT_EQ(api::CheckDevice(handle(second), &found), QAV_OK);
    EXPECT_EQ(found, &second);

    // Container names: two lists, both valid until the device closes.
    uint8_t table[120] = {};
    std::memcpy(table, "SealOne", 7);
    std::memset(table + 60, 'N', 60);  // a name filling its record, no NUL
    char** a = nullptr;
    char** b = nullptr;
    uint32_t countA = 0;
    uint32_t countB = 0;
    manager->AddContainerList(handle(first), table, sizeof table, &a, &countA);
    manager->AddContainerList(handle(first), table, 60, &b, &countB);
    ASSERT_EQ(countA, 2u);
    EXPECT_STREQ(a[0], "SealOne");
    EXPECT_EQ(std::string(a[1]), std::string(60, 'N'));
    ASSERT_EQ(countB, 1u);
    EXPECT_STREQ(b[0], "SealOne");
    // The same names again: the array already held, not one more.
    char** again = nullptr;
    manager->AddContainerList(handle(first), table, sizeof table, &again, &countA);
    EXPECT_EQ(again, a);
    EXPECT_STREQ(a[0], "SealOne");

    const QAV_HANDLE firstHandle = handle(first);
    manager->UnregisterDevice(firstHandle);  // destroys the device with its lists
    EXPECT_EQ(manager->ValidateDevice(firstHandle), QAV_E_INVALID_HANDLE);
    EXPECT_EQ(manager->ValidateDevice(handle(second)), QAV_OK);
    manager->UnregisterDevice(firstHandle);  // unknown: nothing happens
    EXPECT_EQ(manager->RecordCount(), 1u);

    // The last finalize drops every record.
    ASSERT_EQ(QAV_Finalize(0), QAV_OK);
    EXPECT_EQ(api::CheckDevice(handle(second), &found), QAV_E_NOT_INITIALIZED);
}

}  // namespace
}  // namespace qav
