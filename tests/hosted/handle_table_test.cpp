#include <gtest/gtest.h>

#include <set>

#include "rtkernel/hosted/handle_table.h"

namespace {

using hosted::HandleTable;
using hosted::KernelObject;
using hosted::ObjectKind;

TEST(HandleTable, HandsOutDistinctHandlesNeverNoneOrBad) {
    HandleTable table;
    std::set<Handle> seen;
    for (int i = 0; i < 1000; ++i) {
        const Handle handle = table.Add({ObjectKind::Thread, nullptr});
        EXPECT_NE(handle, kNoHandle);
        EXPECT_NE(handle, kBadHandle);
        EXPECT_TRUE(seen.insert(handle).second);
    }
    EXPECT_EQ(table.Size(), 1000u);
}

TEST(HandleTable, RemovedHandlesAreGoneAndNotReusedAtOnce) {
    HandleTable table;
    const Handle first = table.Add({ObjectKind::Mailbox, nullptr});
    ASSERT_TRUE(table.Find(first));
    EXPECT_EQ(table.Find(first)->kind, ObjectKind::Mailbox);
    EXPECT_TRUE(table.Remove(first));
    EXPECT_FALSE(table.Find(first));
    EXPECT_FALSE(table.Remove(first));
    EXPECT_NE(table.Add({ObjectKind::Thread, nullptr}), first);
    EXPECT_FALSE(table.Find(kNoHandle));
    EXPECT_FALSE(table.Find(kBadHandle));
}

TEST(HandleTable, FullTableRefusesAndRecoversAfterRemoval) {
    HandleTable table(3);
    Handle last = kNoHandle;
    for (int i = 0; i < 3; ++i) {
        last = table.Add({ObjectKind::Thread, nullptr});
    }
    EXPECT_EQ(table.Add({ObjectKind::Thread, nullptr}), kBadHandle);
    table.Remove(last);
    EXPECT_NE(table.Add({ObjectKind::Thread, nullptr}), kBadHandle);
}

TEST(HandleTable, WrapsAroundTheWholeRangeSkippingLiveHandles) {
    HandleTable table;
    const Handle kept = table.Add({ObjectKind::Process, nullptr});
    for (int i = 0; i < 0x10000; ++i) {
        const Handle handle = table.Add({ObjectKind::Thread, nullptr});
        ASSERT_NE(handle, kept);
        ASSERT_NE(handle, kBadHandle);
        ASSERT_NE(handle, kNoHandle);
        table.Remove(handle);
    }
    EXPECT_EQ(table.Size(), 1u);
}

}  // namespace
