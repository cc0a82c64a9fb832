// C_Initialize's locking arguments and slot bookkeeping.
#include <gtest/gtest.h>

#include "locking.h"
#include "slot_table.h"

namespace qav::p11 {
namespace {

int g_created, g_locked, g_unlocked, g_destroyed;
CK_RV Create(void** m) {
    ++g_created;
    *m = &g_created;
    return CKR_OK;
}
CK_RV Destroy(void*) {
    ++g_destroyed;
    return CKR_OK;
}
CK_RV Lock(void*) {
    ++g_locked;
    return CKR_OK;
}
CK_RV Unlock(void*) {
    ++g_unlocked;
    return CKR_OK;
}

CK_C_INITIALIZE_ARGS Args(bool callbacks, CK_FLAGS flags) {
    CK_C_INITIALIZE_ARGS args{};
    if (callbacks) {
        args.CreateMutex = Create;
        args.DestroyMutex = Destroy;
        args.LockMutex = Lock;
        args.UnlockMutex = Unlock;
    }
    args.flags = flags;
    return args;
}

TEST(Locking, TheFourCasesAndBadArguments) {
    LockingChoice choice;
    EXPECT_EQ(ParseInitArgs(nullptr, &choice), CKR_OK);
    EXPECT_FALSE(choice.appMutexes);

    CK_C_INITIALIZE_ARGS none = Args(false, 0);
    EXPECT_EQ(ParseInitArgs(&none, &choice), CKR_OK);
    EXPECT_FALSE(choice.appMutexes);
    CK_C_INITIALIZE_ARGS os = Args(false, CKF_OS_LOCKING_OK);
    EXPECT_EQ(ParseInitArgs(&os, &choice), CKR_OK);
    EXPECT_FALSE(choice.appMutexes);
    CK_C_INITIALIZE_ARGS app = Args(true, 0);
    EXPECT_EQ(ParseInitArgs(&app, &choice), CKR_OK);
    EXPECT_TRUE(choice.appMutexes);
    CK_C_INITIALIZE_ARGS both = Args(true, CKF_OS_LOCKING_OK);
    EXPECT_EQ(ParseInitArgs(&both, &choice), CKR_OK);
    EXPECT_FALSE(choice.appMutexes);

    CK_C_INITIALIZE_ARGS partial = Args(true, 0);
    partial.UnlockMutex = nullptr;
    EXPECT_EQ(ParseInitArgs(&partial, &choice), CKR_ARGUMENTS_BAD);
    CK_C_INITIALIZE_ARGS reserved = Args(false, 0);
    int anything = 0;
    reserved.pReserved = &anything;
    EXPECT_EQ(ParseInitArgs(&reserved, &choice), CKR_ARGUMENTS_BAD);
    CK_C_INITIALIZE_ARGS noThreads = Args(false, CKF_LIBRARY_CANT_CREATE_OS_THREADS);
    EXPECT_EQ(ParseInitArgs(&noThreads, &choice), CKR_OK);
    EXPECT_TRUE(choice.noThreads);
}

TEST(Locking, ApplicationCallbacksGuardTheTables) {
    g_created = g_locked = g_unlocked = g_destroyed = 0;
    CK_C_INITIALIZE_ARGS app = Args(true, 0);
    LockingChoice choice;
    ASSERT_EQ(ParseInitArgs(&app, &choice), CKR_OK);
    {
        TableMutex mutex(choice);
        { std::lock_guard<TableMutex> guard(mutex); }
        { std::lock_guard<TableMutex> guard(mutex); }
    }
    EXPECT_EQ(g_created, 1);
    EXPECT_EQ(g_locked, 2);
    EXPECT_EQ(g_unlocked, 2);
    EXPECT_EQ(g_destroyed, 1);
}

TEST(Slots, IdsAreStableAndNeverReused) {
    SlotTable table;
    EXPECT_EQ(table.Update({"A", "B"}), (std::vector<CK_SLOT_ID>{1, 2}));
    // B's key leaves: its slot stays, without token.
    EXPECT_EQ(table.Update({"A"}), (std::vector<CK_SLOT_ID>{2}));
    ASSERT_EQ(table.Slots().size(), 2u);
    EXPECT_FALSE(table.Find(2)->present);
    EXPECT_TRUE(table.Find(1)->present);
    // A new reader gets a new ID; B coming back gets its old one.
    EXPECT_EQ(table.Update({"C", "A", "B"}), (std::vector<CK_SLOT_ID>{3, 2}));
    EXPECT_EQ(table.Find(3)->reader, "C");
    EXPECT_TRUE(table.Update({"A", "B", "C"}).empty());
    EXPECT_EQ(table.Set("C", false), CK_SLOT_ID{3});
    EXPECT_EQ(table.Set("C", false), std::nullopt);
    EXPECT_EQ(table.Set("D", false), std::nullopt);
    EXPECT_EQ(table.Find(4), nullptr);
}

}  // namespace
}  // namespace qav::p11
