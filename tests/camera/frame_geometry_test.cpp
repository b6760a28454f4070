// Window and source rectangle: what is accepted, what is refused, and that a refusal changes nothing.
#include "camera/frame_geometry.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class Geometry : public ::testing::Test {
  protected:
    void SetUp() override { std::memset(&FrameGeometry, 0, sizeof(FrameGeometry)); }
    DeviceContext context_ = {};
};

bool SameRecord(const FrameGeometryRecord& A, const FrameGeometryRecord& B) {
    return std::memcmp(&A, &B, sizeof(A)) == 0;
}

} // namespace

TEST_F(Geometry, CaptureFormatGivesItsWindowInTheDeinterlacedFrame) {
    ASSERT_EQ(SetWindowFromFormat(&context_, 2560, 1920), STATUS_SUCCESS);
    const FrameGeometryRecord expected = {0, 0, 2560, 1920, 0, 2560, 2894, 0, 1920, 2048};
    EXPECT_TRUE(SameRecord(FrameGeometry, expected));
}

TEST_F(Geometry, WindowsAreAcceptedUpToTheFrameAndNoFurther) {
    struct {
        LONG X, Y, Width, Height, Mode;
        NTSTATUS Status;
    } cases[] = {
        {0, 0, 2894, 2048, 0, STATUS_SUCCESS},
        {0, 0, 4, 3, 3, STATUS_SUCCESS},
        {2890, 2045, 4, 3, 1, STATUS_SUCCESS},
        {0, 0, 2895, 2048, 0, STATUS_NOT_SUPPORTED},
        {0, 0, 2560, 2049, 0, STATUS_NOT_SUPPORTED},
        {0, 0, 3, 3, 0, STATUS_NOT_SUPPORTED},
        {0, 0, 4, 2, 0, STATUS_NOT_SUPPORTED},
        {-1, 0, 4, 3, 0, STATUS_NOT_SUPPORTED},
        {0, -1, 4, 3, 0, STATUS_NOT_SUPPORTED},
        {2891, 0, 4, 3, 0, STATUS_NOT_SUPPORTED},
        {0, 2046, 4, 3, 0, STATUS_NOT_SUPPORTED},
        {0, 0, 4, 3, 4, STATUS_NOT_SUPPORTED},
        {0, 0, 4, 3, -1, STATUS_NOT_SUPPORTED},
        // X + Width beyond 32 bits must not wrap into an accepted window.
        {0x7FFFFFF0, 0, 0x7FFFFFF0, 3, 0, STATUS_NOT_SUPPORTED},
        {0, 0x7FFFFFFF, 4, 0x7FFFFFFF, 0, STATUS_NOT_SUPPORTED},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(SetWindowFromFormat(&context_, 2560, 1920), STATUS_SUCCESS);
        const FrameGeometryRecord before = FrameGeometry;
        EXPECT_EQ(SetSensorWindow(&context_, c.X, c.Y, c.Width, c.Height, c.Mode), c.Status)
            << c.X << "," << c.Y << " " << c.Width << "x" << c.Height << " mode " << c.Mode;
        if (c.Status != STATUS_SUCCESS) {
            EXPECT_TRUE(SameRecord(FrameGeometry, before));
        } else {
            const FrameGeometryRecord expected = {c.X,     c.Y,  c.Width, c.Height, 0,
                                                  c.Width, 2894, 0,       c.Height, 2048};
            EXPECT_TRUE(SameRecord(FrameGeometry, expected))
                << "mode changes nothing, X and Y move no source";
        }
    }
}

TEST_F(Geometry, SourceRectangleMustLieInsideTheFrame) {
    struct {
        LONG Stride, X, Width, Lines, Y, Height;
        NTSTATUS Status;
    } cases[] = {
        {2894, 0, 2894, 2048, 0, 2048, STATUS_SUCCESS},
        {100, 10, 90, 50, 5, 45, STATUS_SUCCESS},
        {0, 0, 1, 1, 0, 1, STATUS_NOT_SUPPORTED},
        {100, 0, 0, 50, 0, 1, STATUS_NOT_SUPPORTED},
        {100, 11, 90, 50, 0, 1, STATUS_NOT_SUPPORTED},
        {100, 0, 1, 0, 0, 1, STATUS_NOT_SUPPORTED},
        {100, 0, 1, 50, 0, 0, STATUS_NOT_SUPPORTED},
        {100, 0, 1, 50, 6, 45, STATUS_NOT_SUPPORTED},
        // A rectangle starting before the frame would have the pipeline read before its scratch frame.
        {100, -1, 10, 50, 0, 1, STATUS_NOT_SUPPORTED},
        {100, 0, 10, 50, -1, 1, STATUS_NOT_SUPPORTED},
        {0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 50, 0, 1, STATUS_NOT_SUPPORTED},
    };
    for (const auto& c : cases) {
        std::memset(&FrameGeometry, 0x5A, sizeof(FrameGeometry));
        const FrameGeometryRecord before = FrameGeometry;
        EXPECT_EQ(SetSourceRect(c.Stride, c.X, c.Width, c.Lines, c.Y, c.Height), c.Status)
            << c.Stride << " " << c.X << "+" << c.Width << " " << c.Lines << " " << c.Y << "+" << c.Height;
        if (c.Status == STATUS_SUCCESS) {
            const FrameGeometryRecord expected = {before.WindowX,
                                                  before.WindowY,
                                                  before.WindowWidth,
                                                  before.WindowHeight,
                                                  c.X,
                                                  c.Width,
                                                  c.Stride,
                                                  c.Y,
                                                  c.Height,
                                                  c.Lines};
            EXPECT_TRUE(SameRecord(FrameGeometry, expected));
        } else {
            EXPECT_TRUE(SameRecord(FrameGeometry, before));
        }
    }
}
