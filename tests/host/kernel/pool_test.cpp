#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "platform/kernel.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr ULONG TAG = 0x206D6457; // "Wdm "

class Pool : public ::testing::Test {
  protected:
    void SetUp() override {
        host::ResetKernel();
        host::PoolTakeErrors();
        before_ = host::PoolOutstanding().size();
    }
    void TearDown() override {
        host::PoolSetLookaside(false);
        EXPECT_EQ(host::PoolOutstanding().size(), before_);
    }
    size_t before_ = 0;
};

TEST_F(Pool, KeepsTypeTagAndSizeOfEveryLiveBlock) {
    uint64_t count = host::PoolAllocationCount();
    void* a = ExAllocatePoolWithTag(PagedPool, 54, TAG);
    void* b = ExAllocatePoolWithTag(NonPagedPool, 36, 0x41424344);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 8, 0u);
    EXPECT_EQ(host::PoolAllocationCount(), count + 2);
    std::vector<host::PoolBlockInfo> ours;
    for (const host::PoolBlockInfo& block : host::PoolOutstanding()) {
        if (block.Serial > count)
            ours.push_back(block);
    }
    ASSERT_EQ(ours.size(), 2u);
    const host::PoolBlockInfo& paged = ours[0].Serial < ours[1].Serial ? ours[0] : ours[1];
    const host::PoolBlockInfo& nonpaged = ours[0].Serial < ours[1].Serial ? ours[1] : ours[0];
    EXPECT_EQ(paged.Type, PagedPool);
    EXPECT_EQ(paged.Tag, TAG);
    EXPECT_EQ(paged.Size, 54u);
    EXPECT_EQ(nonpaged.Type, NonPagedPool);
    EXPECT_EQ(nonpaged.Tag, 0x41424344u);
    EXPECT_EQ(nonpaged.Size, 36u);
    ExFreePool(a);
    EXPECT_EQ(host::PoolOutstanding().size(), before_ + 1);
    ExFreePool(b);
    EXPECT_TRUE(host::PoolTakeErrors().empty());
}

TEST_F(Pool, NewBlocksAreNotZeroed) {
    UCHAR* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, 16, TAG));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(p[i], 0xCD) << i;
    ExFreePool(p);
}

TEST_F(Pool, OverrunAfterTheBlockIsFoundOnDemandAndAtFree) {
    host::BugCheckCapture capture;
    UCHAR* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, 10, TAG));
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(host::PoolCheckGuards().empty());
    p[10] = 0; // one byte past the end
    auto damaged = host::PoolCheckGuards();
    ASSERT_EQ(damaged.size(), 1u);
    EXPECT_NE(damaged[0].find("after"), std::string::npos) << damaged[0];
    EXPECT_NE(damaged[0].find("Wdm "), std::string::npos) << damaged[0];
    ExFreePool(p);
    auto errors = host::PoolTakeErrors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("ExFreePool"), std::string::npos);
}

TEST_F(Pool, UnderrunBeforeTheBlockIsFound) {
    host::BugCheckCapture capture;
    UCHAR* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, 10, TAG));
    p[-1] = 0;
    auto damaged = host::PoolCheckGuards();
    ASSERT_EQ(damaged.size(), 1u);
    EXPECT_NE(damaged[0].find("before"), std::string::npos);
    ExFreePool(p);
    EXPECT_EQ(host::PoolTakeErrors().size(), 1u);
}

TEST_F(Pool, FreeingTwiceIsReportedNotCrashed) {
    host::BugCheckCapture capture;
    void* p = ExAllocatePoolWithTag(PagedPool, 8, TAG);
    ExFreePool(p);
    ExFreePool(p);
    auto errors = host::PoolTakeErrors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("not a live pool block"), std::string::npos);
}

TEST_F(Pool, InjectedFailureReturnsNullOnTheChosenCall) {
    host::InjectFault("ExAllocatePoolWithTag", {2, 1, STATUS_INSUFFICIENT_RESOURCES});
    uint64_t count = host::PoolAllocationCount();
    void* first = ExAllocatePoolWithTag(PagedPool, 8, TAG);
    void* second = ExAllocatePoolWithTag(PagedPool, 8, TAG);
    void* third = ExAllocatePoolWithTag(PagedPool, 8, TAG);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(host::PoolAllocationCount(), count + 2);
    ExFreePool(first);
    ExFreePool(third);
}

TEST_F(Pool, LookasideReusesABlockOfTheSameSizeWithoutClearingIt) {
    host::PoolSetLookaside(true);
    UCHAR* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, 32, TAG));
    std::memset(p, 0, 32);
    ExFreePool(p);
    UCHAR* q = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, 32, TAG));
    EXPECT_EQ(q, p);
    // The zeros written before are not handed back: the block comes back as the free left it, so code
    // that counts on cleared pool fails here.
    EXPECT_EQ(q[0], 0xDD);
    EXPECT_EQ(q[31], 0xDD);
    q[32] = 1;
    EXPECT_EQ(host::PoolCheckGuards().size(), 1u); // guards were laid again for the new owner
    q[32] = 0xFD;
    UCHAR* other = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, 33, TAG));
    EXPECT_NE(other, p);
    ExFreePool(q);
    ExFreePool(other);
    EXPECT_TRUE(host::PoolTakeErrors().empty());
}

} // namespace
