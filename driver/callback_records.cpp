#include "driver/callback_records.h"

#include "camera/bandwidth.h"
#include "camera/capture.h"
#include "camera/usb_configuration.h"
#include "imaging/raw_frame.h"
#include "driver/type_helpers.h"

// ---- slots with nothing to do for this camera ------------------------------------------------------------

VOID NTAPI CamNewVideoFrame(PVOID, PVOID) {}

VOID NTAPI CamNewVideoFrameEx(PVOID, PVOID, ULONG, PULONG) {}

NTSTATUS NTAPI CamSaveState(PDEVICE_OBJECT, PVOID) {
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CamRestoreState(PDEVICE_OBJECT, PVOID) {
    return STATUS_SUCCESS;
}

// ---- version-2 stream-number forms: stream 0 is the video stream, the still stream gets fixed answers ----

NTSTATUS NTAPI CamStartCaptureEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, ULONG StreamNumber) {
    if (StreamNumber == USBCAMD_VIDEO_STREAM_NUMBER)
        return CamStartCapture(BusDeviceObject, DeviceContext);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CamStopCaptureEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, ULONG StreamNumber) {
    if (StreamNumber == USBCAMD_VIDEO_STREAM_NUMBER)
        return CamStopCapture(BusDeviceObject, DeviceContext);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CamAllocateBandwidthEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                      PULONG RawFrameLength, PVOID Format, ULONG StreamNumber) {
    if (StreamNumber == USBCAMD_VIDEO_STREAM_NUMBER)
        return CamAllocateBandwidth(BusDeviceObject, DeviceContext, RawFrameLength, Format);
    // The still stream's frames arrive whole in a fixed buffer; no alternate setting is chosen for it.
    *RawFrameLength = STILL_RAW_FRAME_LENGTH;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CamFreeBandwidthEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, ULONG StreamNumber) {
    if (StreamNumber == USBCAMD_VIDEO_STREAM_NUMBER)
        return CamFreeBandwidth(BusDeviceObject, DeviceContext);
    return STATUS_SUCCESS;
}

// ---- the records --------------------------------------------------------------------------------------

const USBCAMD_DEVICE_DATA CamDeviceData = {
    0,                       // signature
    CamInitialize,           // called once the library has configured the interface: wait for ready
    CamUnInitialize,         // called at removal: let go of the interface copy
    CamProcessUSBPacket,     // called per packet: how many bytes are image data, where frames end
    CamNewVideoFrame,        // called before a frame is assembled: nothing to prepare
    CamProcessRawVideoFrame, // called per complete raw frame: convert into the read request's buffer
    CamStartCapture,         // called when the stream runs: start image output
    CamStopCapture,          // called when the stream stops: stop image output, save settings
    CamConfigure,            // called with the chosen interface: pipe roles and transfer sizes
    CamSaveState,            // called before power-down: nothing kept
    CamRestoreState,         // called after power-up: nothing kept
    CamAllocateBandwidth,    // called before capture: check the format, select the alternate setting
    CamFreeBandwidth,        // called after capture: back to the idle alternate setting
};

const USBCAMD_DEVICE_DATA2 CamDeviceData2 = {
    0,
    CamInitialize,
    CamUnInitialize,
    CamProcessUSBPacketEx,
    CamNewVideoFrameEx,
    CamProcessRawVideoFrameEx,
    CamStartCaptureEx,
    CamStopCaptureEx,
    CamConfigureEx,
    CamSaveState,
    CamRestoreState,
    CamAllocateBandwidthEx,
    CamFreeBandwidthEx,
};

// Each routine has exactly its slot's type, calling convention included.
Z40K_CHECK_SLOT(USBCAMD_DEVICE_DATA, CamInitialize, CamInitialize);
Z40K_CHECK_SLOT(USBCAMD_DEVICE_DATA, CamUnInitialize, CamUnInitialize);
Z40K_CHECK_SLOT(USBCAMD_DEVICE_DATA, CamProcessUSBPacket, CamProcessUSBPacket);
Z40K_CHECK_SLOT(USBCAMD_DEVICE_DATA, CamNewVideoFrame, CamNewVideoFrame);
Z40K_CHECK_SLOT(USBCAMD_DEVICE_DATA, CamProcessRawVideoFrame, CamProcessRawVideoFrame);
Z40K_CHECK_SLOT(USBCAMD_DEVICE_DATA, CamStartCapture, CamStartCapture);
Z40K_CHECK_SLOT(USBCAMD_DEVICE_DATA, CamStopCapture, CamStopCapture);
Z40K_CHECK_SLOT(USBCAMD_DEVICE_DATA, CamConfigure, CamConfigure);
Z40K_CHECK_SLOT(USBCAMD_DEVICE_DATA, CamSaveState, CamSaveState);
Z40K_CHECK_SLOT(USBCAMD_DEVICE_DATA, CamRestoreState, CamRestoreState);
Z40K_CHECK_SLOT(USBCAMD_DEVICE_DATA, CamAllocateBandwidth, CamAllocateBandwidth);
Z40K_CHECK_SLOT(USBCAMD_DEVICE_DATA, CamFreeBandwidth, CamFreeBandwidth);
Z40K_CHECK_SLOT(USBCAMD_DEVICE_DATA2, CamInitialize, CamInitialize);
Z40K_CHECK_SLOT(USBCAMD_DEVICE_DATA2, CamUnInitialize, CamUnInitialize);
Z40K_CHECK_SLOT(USBCAMD_DEVICE_DATA2, CamProcessUSBPacketEx, CamProcessUSBPacketEx);
Z40K_CHECK_SLOT(USBCAMD_DEVICE_DATA2, CamNewVideoFrameEx, CamNewVideoFrameEx);
Z40K_CHECK_SLOT(USBCAMD_DEVICE_DATA2, CamProcessRawVideoFrameEx, CamProcessRawVideoFrameEx);
Z40K_CHECK_SLOT(USBCAMD_DEVICE_DATA2, CamStartCaptureEx, CamStartCaptureEx);
Z40K_CHECK_SLOT(USBCAMD_DEVICE_DATA2, CamStopCaptureEx, CamStopCaptureEx);
Z40K_CHECK_SLOT(USBCAMD_DEVICE_DATA2, CamConfigureEx, CamConfigureEx);
Z40K_CHECK_SLOT(USBCAMD_DEVICE_DATA2, CamSaveState, CamSaveState);
Z40K_CHECK_SLOT(USBCAMD_DEVICE_DATA2, CamRestoreState, CamRestoreState);
Z40K_CHECK_SLOT(USBCAMD_DEVICE_DATA2, CamAllocateBandwidthEx, CamAllocateBandwidthEx);
Z40K_CHECK_SLOT(USBCAMD_DEVICE_DATA2, CamFreeBandwidthEx, CamFreeBandwidthEx);
