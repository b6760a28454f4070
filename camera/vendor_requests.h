// The catalogue of vendor requests that command the camera's firmware.
#pragma once

#include "driver/device_context.h"
#include "platform/camera_properties.h" // CAM_EXPOSURE_MASK, CAM_GAIN_MASK: the register widths

enum CamRequest : UCHAR {
    CamRequestSetControl = 2,   // Value: the control's value, Index: the control number, no data
    CamRequestGetStatus = 3,    // Index 16, a 2-byte reply
    CamRequestWriteRegister = 5, // Index: register, data: the value as a 32-bit little-endian word
    CamRequestSendBlock = 7,    // the three bytes 0x20, 0x03, 0x20
};

enum CamControl : USHORT {
    CamControlWhiteBalance = 1,
    CamControlBrightness = 2,
    CamControlSharpness = 3,
    CamControlContrast = 4,
    CamControlSaturation = 5,
    CamControlCaptureSetup = 8,
    CamControlCapture = 11,
    CamControlStartup = 13,
};

enum CamRegister : UCHAR {
    CamRegisterGlobalGain = 0,
    CamRegisterExposureTime = 1,
};

constexpr USHORT CamStatusWord = 16;
constexpr USHORT CAM_STATUS_READY = 3;

// Request 5: the sensor register write. Callers mask the value; the status is theirs to ignore.
NTSTATUS CamWriteRegister(PDeviceContext Context, UCHAR Register, ULONG Value);
// Request 2 without a data stage.
NTSTATUS CamSetControl(PDeviceContext Context, USHORT Control, USHORT Value);
// Request 3: reads the 16-bit status word into *Status.
NTSTATUS CamReadStatusWord(PDeviceContext Context, USHORT* Status);
// Request 7 with the three-byte block.
NTSTATUS CamSendBlock(PDeviceContext Context);
