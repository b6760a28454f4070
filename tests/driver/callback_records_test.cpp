// The version-2 record's stream-number forms: the still stream gets fixed answers and never reaches
// the camera.
#include "driver/callback_records.h"
#include "tests/camera/camera_rig.h"

TEST(CallbackRecords, StillStreamAnswersWithoutTouchingTheCamera) {
    CameraRig rig;
    const int altBefore = rig.Camera.AlternateSetting();
    ULONG rawLength = 0;
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    EXPECT_EQ(CamDeviceData2.CamAllocateBandwidthEx(nullptr, rig.Context(), &rawLength, &format,
                                                    USBCAMD_STILL_STREAM_NUMBER),
              STATUS_SUCCESS);
    EXPECT_EQ(rawLength, 9437184u);
    EXPECT_EQ(CamDeviceData2.CamStartCaptureEx(nullptr, rig.Context(), USBCAMD_STILL_STREAM_NUMBER),
              STATUS_SUCCESS);
    EXPECT_EQ(CamDeviceData2.CamStopCaptureEx(nullptr, rig.Context(), USBCAMD_STILL_STREAM_NUMBER),
              STATUS_SUCCESS);
    EXPECT_EQ(CamDeviceData2.CamFreeBandwidthEx(nullptr, rig.Context(), USBCAMD_STILL_STREAM_NUMBER),
              STATUS_SUCCESS);
    EXPECT_TRUE(rig.Camera.Requests().empty());
    EXPECT_TRUE(rig.Device.AltSettingTrace.empty());
    EXPECT_EQ(rig.Camera.AlternateSetting(), altBefore);
}

// The slots the library calls around power changes and before each version-1 frame have nothing to do
// for this camera: they succeed and the camera hears nothing.
TEST(CallbackRecords, SlotsWithNothingToDoSucceedSilently) {
    CameraRig rig;
    for (PCAM_STATE_ROUTINE slot : {CamDeviceData.CamSaveState, CamDeviceData.CamRestoreState,
                                    CamDeviceData2.CamSaveState, CamDeviceData2.CamRestoreState})
        EXPECT_EQ(slot(nullptr, rig.Context()), STATUS_SUCCESS);
    uint8_t frameContext[4] = {1, 2, 3, 4};
    CamDeviceData.CamNewVideoFrame(rig.Context(), frameContext);
    EXPECT_EQ(frameContext[0] + frameContext[3], 5);
    EXPECT_TRUE(rig.Camera.Requests().empty());
}

TEST(CallbackRecords, VideoStreamFormsRunTheVersionOneRoutines) {
    CameraRig rig;
    // Stream 0 start reaches the camera (capture setup, then capture on); the still stream never does.
    EXPECT_EQ(CamDeviceData2.CamStartCaptureEx(nullptr, rig.Context(), USBCAMD_VIDEO_STREAM_NUMBER),
              STATUS_SUCCESS);
    EXPECT_FALSE(rig.Camera.Requests().empty());
    EXPECT_TRUE(rig.Camera.CaptureOn());
}
