#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "platform/kernel.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(RtlInitUnicodeString, CountsBytesWithoutAndWithTheTerminator) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, u"Z40K_Settings");
    EXPECT_EQ(s.Length, 26);
    EXPECT_EQ(s.MaximumLength, 28);
    RtlInitUnicodeString(&s, u"");
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 2);
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
    EXPECT_EQ(s.Buffer, nullptr);
}

TEST(RtlInitUnicodeString, CutsAStringTooLongForItsSixteenBitLength) {
    std::u16string longer(40000, u'x');
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, longer.c_str());
    EXPECT_EQ(s.Length, 0xFFFC);
    EXPECT_EQ(s.MaximumLength, 0xFFFE);
}

TEST(RtlCompareMemory, CountsEqualLeadingBytes) {
    const UCHAR a[] = {1, 2, 3, 4, 5};
    const UCHAR b[] = {1, 2, 9, 4, 5};
    EXPECT_EQ(RtlCompareMemory(a, b, 5), 2u);
    EXPECT_EQ(RtlCompareMemory(a, a, 5), 5u);
    EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
}

class ProcessorState : public ::testing::Test {
  protected:
    void SetUp() override { host::ResetKernel(); }
    void TearDown() override { host::ResetKernel(); }
};

TEST_F(ProcessorState, CountsBalancedSavesAndRestores) {
    KFLOATING_SAVE fp;
    XSTATE_SAVE xs;
    ASSERT_EQ(KeSaveFloatingPointState(&fp), STATUS_SUCCESS);
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &xs), STATUS_SUCCESS);
    EXPECT_EQ(host::ProcessorState().Depth, 2);
    KeRestoreExtendedProcessorState(&xs);
    EXPECT_EQ(KeRestoreFloatingPointState(&fp), STATUS_SUCCESS);
    host::ProcessorStateCounts counts = host::ProcessorState();
    EXPECT_EQ(counts.FloatSaves, 1u);
    EXPECT_EQ(counts.FloatRestores, 1u);
    EXPECT_EQ(counts.ExtendedSaves, 1u);
    EXPECT_EQ(counts.ExtendedRestores, 1u);
    EXPECT_EQ(counts.LastExtendedMask, XSTATE_MASK_AVX);
    EXPECT_EQ(counts.Depth, 0);
}

TEST_F(ProcessorState, InjectedSaveFailureIsReturnedAndNotCounted) {
    host::InjectFault("KeSaveFloatingPointState", {1, 1, STATUS_INSUFFICIENT_RESOURCES});
    host::InjectFault("KeSaveExtendedProcessorState", {1, 1, STATUS_NOT_SUPPORTED});
    KFLOATING_SAVE fp;
    XSTATE_SAVE xs;
    EXPECT_EQ(KeSaveFloatingPointState(&fp), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &xs), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(host::ProcessorState().FloatSaves, 0u);
    EXPECT_EQ(host::ProcessorState().ExtendedSaves, 0u);
    EXPECT_EQ(host::ProcessorState().Depth, 0);
}

} // namespace
