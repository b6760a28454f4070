// Capture start/stop and the framing of the camera's isochronous packets.
//
// The camera prefixes every data packet with a one-byte header carried in the sync packet. This file
// turns that byte into the library's signals: how many bytes of the data packet are image data, whether
// the frame is complete, whether the frame being assembled must be dropped, and whether it is a still.
#include "camera/capture.h"

#include "camera/usb_configuration.h"
#include "camera/vendor_requests.h"
#include "driver/relaxed.h"
#include "properties/settings.h"

namespace {

// PacketFlag values of the library's packet interface.
constexpr ULONG PACKET_DROP_FRAME = USBCAMD_PROCESSPACKETEX_DropFrame;
constexpr ULONG PACKET_CURRENT_FRAME_IS_STILL = USBCAMD_PROCESSPACKETEX_CurrentFrameIsStill;

// Size of a full data packet: the maximum packet size of the data pipe in our interface copy. Without a
// copy (configure failed or uninitialise already ran) there is no pipe to measure against; answering 0
// makes every packet short, so each frame is dropped instead of being assembled from unknown sizes.
ULONG FullPacketSize(const DeviceContext* Context) {
    const USBD_INTERFACE_INFORMATION* info = Context->InterfaceInfo;
    if (info == nullptr || info->NumberOfPipes <= CAM_DATA_PIPE)
        return 0;
    return info->Pipes[CAM_DATA_PIPE].MaximumPacketSize;
}

// Asks the library to stop and restart the isochronous pipe, as the camera requests after it lost its
// place in a frame. The library restarts its frame assembly on its own; nothing else to do here.
void RestartIsoPipe(DeviceContext* Context) {
    const USBCAMD_INTERFACE& cam = Context->CamInterface;
    if (cam.Interface.Version == 0 || cam.USBCAMD_SetIsoPipeState == nullptr)
        return;
    cam.USBCAMD_SetIsoPipeState(Context, USBCAMD_STOP_STREAM);
    cam.USBCAMD_SetIsoPipeState(Context, USBCAMD_START_STREAM);
}

} // namespace

// The library creates the DeviceContext zero-filled and nothing in the driver assigns StartCaptureValue,
// so the capture-setup control always carries 0, the camera's default capture mode. The field stays so a
// later mode choice has one place to go.
NTSTATUS NTAPI CamStartCapture(PDEVICE_OBJECT, PVOID DeviceContext) {
    PDeviceContext context = static_cast<PDeviceContext>(DeviceContext);
    NTSTATUS status = CamSetControl(context, CamControlCaptureSetup, ReadRelaxed(context->StartCaptureValue));
    if (status != STATUS_SUCCESS)
        return status;
    return CamSetControl(context, CamControlCapture, 1);
}

// Settings are written back only once the camera has really stopped; a camera that refused the stop is
// still streaming and its settings are not final. A failed save is the caller's to know even though the
// camera has stopped.
NTSTATUS NTAPI CamStopCapture(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext) {
    PDeviceContext context = static_cast<PDeviceContext>(DeviceContext);
    NTSTATUS status = CamSetControl(context, CamControlCapture, 0);
    if (status != STATUS_SUCCESS)
        return status;
    return SaveSettings(BusDeviceObject, context);
}

// Called for every packet, in the library's completion context: no allocation, no waits, and the image
// bytes themselves are never touched. Data always starts at offset 0 of the data packet; only packets
// of exactly the full size carry data, so a frame is a whole number of full packets.
ULONG NTAPI CamProcessUSBPacketEx(PDEVICE_OBJECT, PVOID DeviceContext, PVOID,
                                  PUSBD_ISO_PACKET_DESCRIPTOR SyncPacket, PVOID SyncBuffer,
                                  PUSBD_ISO_PACKET_DESCRIPTOR DataPacket, PVOID, PBOOLEAN FrameComplete,
                                  PULONG PacketFlag, PULONG ValidDataOffset) {
    PDeviceContext context = static_cast<PDeviceContext>(DeviceContext);
    *ValidDataOffset = 0;
    *PacketFlag = 0;
    const ULONG fullSize = FullPacketSize(context);

    // A sync packet that failed carries no trustworthy header: read it as a plain data header.
    UCHAR header = *static_cast<const UCHAR*>(SyncBuffer);
    if (SyncPacket->Status < 0)
        header = 0;

    bool lengthTest = true;
    if (header & CAM_HEADER_END_OF_FRAME) {
        *FrameComplete = TRUE;
    } else if (header & CAM_HEADER_RESTART) {
        RestartIsoPipe(context);
        lengthTest = false;
    } else if (header & CAM_HEADER_NO_DATA) {
        lengthTest = false;
    } else {
        // The camera flips the toggle bit when it starts sending a still; only the 0 -> 1 edge marks one.
        const UCHAR toggle = (header & CAM_HEADER_TOGGLE) ? 1 : 0;
        if (toggle == 1 && toggle != ReadRelaxed(context->LastFrameToggle))
            *PacketFlag = PACKET_CURRENT_FRAME_IS_STILL;
        WriteRelaxed(context->LastFrameToggle, toggle);
    }

    ULONG result = 0;
    if (lengthTest) {
        // A short or empty packet in a data position means bytes of the frame are missing.
        if (DataPacket->Length != 0 && DataPacket->Length == fullSize)
            result = fullSize;
        else
            *PacketFlag |= PACKET_DROP_FRAME;
    }
    if (SyncPacket->Status < 0 || DataPacket->Status < 0)
        *PacketFlag |= PACKET_DROP_FRAME;
    return result;
}

// The version-1 form has no still signal to give and no data offset to report (data starts at 0).
ULONG NTAPI CamProcessUSBPacket(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                PVOID CurrentFrameContext, PUSBD_ISO_PACKET_DESCRIPTOR SyncPacket,
                                PVOID SyncBuffer, PUSBD_ISO_PACKET_DESCRIPTOR DataPacket, PVOID DataBuffer,
                                PBOOLEAN FrameComplete, PBOOLEAN NextFrameIsStill) {
    *NextFrameIsStill = FALSE;
    ULONG packetFlag = 0;
    ULONG validDataOffset = 0;
    return CamProcessUSBPacketEx(BusDeviceObject, DeviceContext, CurrentFrameContext, SyncPacket, SyncBuffer,
                                 DataPacket, DataBuffer, FrameComplete, &packetFlag, &validDataOffset);
}
