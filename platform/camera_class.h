// The camera class library's interface (the USBCAMD2 minidriver interface, exports named QRXUSBCAMD_*):
// the two callback record layouts, the direct-call interface record, the pipe configuration entry and
// the library calls a minidriver may make.
#pragma once

#include "platform/stream_class.h"
#include "platform/usb_types.h"

// ---- callbacks a minidriver supplies ------------------------------------------------------------------
typedef NTSTATUS(NTAPI* PCAM_INITIALIZE_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
typedef NTSTATUS(NTAPI* PCAM_CONFIGURE_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                                PUSBD_INTERFACE_INFORMATION Interface,
                                                PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                PLONG DataPipeIndex, PLONG SyncPipeIndex);
typedef NTSTATUS(NTAPI* PCAM_STATE_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
typedef ULONG(NTAPI* PCAM_PROCESS_PACKET_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                                  PVOID CurrentFrameContext,
                                                  PUSBD_ISO_PACKET_DESCRIPTOR SyncPacket, PVOID SyncBuffer,
                                                  PUSBD_ISO_PACKET_DESCRIPTOR DataPacket, PVOID DataBuffer,
                                                  PBOOLEAN FrameComplete, PBOOLEAN NextFrameIsStill);
typedef VOID(NTAPI* PCAM_NEW_FRAME_ROUTINE)(PVOID DeviceContext, PVOID FrameContext);
typedef NTSTATUS(NTAPI* PCAM_PROCESS_RAW_FRAME_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                                        PVOID FrameContext, PVOID FrameBuffer,
                                                        ULONG FrameLength, PVOID RawFrameBuffer,
                                                        ULONG RawFrameLength, ULONG NumberOfPackets,
                                                        PULONG BytesReturned);
typedef NTSTATUS(NTAPI* PCAM_START_CAPTURE_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
typedef NTSTATUS(NTAPI* PCAM_STOP_CAPTURE_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
typedef NTSTATUS(NTAPI* PCAM_ALLOCATE_BW_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                                  PULONG RawFrameLength, PVOID Format);
typedef NTSTATUS(NTAPI* PCAM_FREE_BW_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);

// Version-2 forms.
struct USBCAMD_Pipe_Config_Descriptor {
    CHAR StreamAssociation;
    UCHAR PipeConfigFlags;
};
typedef USBCAMD_Pipe_Config_Descriptor* PUSBCAMD_Pipe_Config_Descriptor;

// StreamAssociation
constexpr CHAR USBCAMD_VIDEO_STREAM = 0x1;
constexpr CHAR USBCAMD_STILL_STREAM = 0x2;
constexpr CHAR USBCAMD_VIDEO_STILL_STREAM = USBCAMD_VIDEO_STREAM | USBCAMD_STILL_STREAM;
// PipeConfigFlags
constexpr UCHAR USBCAMD_DATA_PIPE = 0x0001;
constexpr UCHAR USBCAMD_MULTIPLEX_PIPE = 0x0002;
constexpr UCHAR USBCAMD_SYNC_PIPE = 0x0004;
constexpr UCHAR USBCAMD_DONT_CARE_PIPE = 0x0008;

// PacketFlag bits of the version-2 packet routine
constexpr ULONG USBCAMD_PROCESSPACKETEX_DropFrame = 0x0002;
constexpr ULONG USBCAMD_PROCESSPACKETEX_NextFrameIsStill = 0x0004;
constexpr ULONG USBCAMD_PROCESSPACKETEX_CurrentFrameIsStill = 0x0008;

// Stream numbers of the version-2 routines
constexpr ULONG USBCAMD_VIDEO_STREAM_NUMBER = 0;
constexpr ULONG USBCAMD_STILL_STREAM_NUMBER = 1;

typedef NTSTATUS(NTAPI* PCAM_CONFIGURE_ROUTINE_EX)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                                   PUSBD_INTERFACE_INFORMATION Interface,
                                                   PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                   ULONG PipeConfigListSize,
                                                   PUSBCAMD_Pipe_Config_Descriptor PipeConfig,
                                                   PUSB_DEVICE_DESCRIPTOR DeviceDescriptor);
typedef ULONG(NTAPI* PCAM_PROCESS_PACKET_ROUTINE_EX)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                                     PVOID CurrentFrameContext,
                                                     PUSBD_ISO_PACKET_DESCRIPTOR SyncPacket, PVOID SyncBuffer,
                                                     PUSBD_ISO_PACKET_DESCRIPTOR DataPacket, PVOID DataBuffer,
                                                     PBOOLEAN FrameComplete, PULONG PacketFlag,
                                                     PULONG ValidDataOffset);
typedef VOID(NTAPI* PCAM_NEW_FRAME_ROUTINE_EX)(PVOID DeviceContext, PVOID FrameContext, ULONG StreamNumber,
                                               PULONG FrameLength);
typedef NTSTATUS(NTAPI* PCAM_PROCESS_RAW_FRAME_ROUTINE_EX)(PDEVICE_OBJECT BusDeviceObject,
                                                           PVOID DeviceContext, PVOID FrameContext,
                                                           PVOID FrameBuffer, ULONG FrameLength,
                                                           PVOID RawFrameBuffer, ULONG RawFrameLength,
                                                           ULONG NumberOfPackets, PULONG BytesReturned,
                                                           ULONG ActualRawFrameLength, ULONG StreamNumber);
typedef NTSTATUS(NTAPI* PCAM_START_CAPTURE_ROUTINE_EX)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                                       ULONG StreamNumber);
typedef NTSTATUS(NTAPI* PCAM_STOP_CAPTURE_ROUTINE_EX)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                                      ULONG StreamNumber);
typedef NTSTATUS(NTAPI* PCAM_ALLOCATE_BW_ROUTINE_EX)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                                     PULONG RawFrameLength, PVOID Format, ULONG StreamNumber);
typedef NTSTATUS(NTAPI* PCAM_FREE_BW_ROUTINE_EX)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                                 ULONG StreamNumber);

// The version-1 callback record: a signature word, then twelve entry points.
struct USBCAMD_DEVICE_DATA {
    ULONG Reserved1;
    PCAM_INITIALIZE_ROUTINE CamInitialize;
    PCAM_INITIALIZE_ROUTINE CamUnInitialize;
    PCAM_PROCESS_PACKET_ROUTINE CamProcessUSBPacket;
    PCAM_NEW_FRAME_ROUTINE CamNewVideoFrame;
    PCAM_PROCESS_RAW_FRAME_ROUTINE CamProcessRawVideoFrame;
    PCAM_START_CAPTURE_ROUTINE CamStartCapture;
    PCAM_STOP_CAPTURE_ROUTINE CamStopCapture;
    PCAM_CONFIGURE_ROUTINE CamConfigure;
    PCAM_STATE_ROUTINE CamSaveState;
    PCAM_STATE_ROUTINE CamRestoreState;
    PCAM_ALLOCATE_BW_ROUTINE CamAllocateBandwidth;
    PCAM_FREE_BW_ROUTINE CamFreeBandwidth;
};
typedef USBCAMD_DEVICE_DATA* PUSBCAMD_DEVICE_DATA;

// The version-2 callback record.
struct USBCAMD_DEVICE_DATA2 {
    ULONG Reserved1;
    PCAM_INITIALIZE_ROUTINE CamInitialize;
    PCAM_INITIALIZE_ROUTINE CamUnInitialize;
    PCAM_PROCESS_PACKET_ROUTINE_EX CamProcessUSBPacketEx;
    PCAM_NEW_FRAME_ROUTINE_EX CamNewVideoFrameEx;
    PCAM_PROCESS_RAW_FRAME_ROUTINE_EX CamProcessRawVideoFrameEx;
    PCAM_START_CAPTURE_ROUTINE_EX CamStartCaptureEx;
    PCAM_STOP_CAPTURE_ROUTINE_EX CamStopCaptureEx;
    PCAM_CONFIGURE_ROUTINE_EX CamConfigureEx;
    PCAM_STATE_ROUTINE CamSaveState;
    PCAM_STATE_ROUTINE CamRestoreState;
    PCAM_ALLOCATE_BW_ROUTINE_EX CamAllocateBandwidthEx;
    PCAM_FREE_BW_ROUTINE_EX CamFreeBandwidthEx;
};
typedef USBCAMD_DEVICE_DATA2* PUSBCAMD_DEVICE_DATA2;

// ---- the direct-call interface ------------------------------------------------------------------------
Z40K_GUID(GUID_USBCAMD_INTERFACE, 0x2BCB75C0, 0xB27F, 0x11D1, 0xBA, 0x41, 0x00, 0xA0, 0xC9, 0x0D, 0x2B, 0x05);
constexpr USHORT USBCAMD_VERSION_200 = 0x200;

typedef VOID(NTAPI* PCOMMAND_COMPLETE_FUNCTION)(PVOID DeviceContext, PVOID CommandContext, NTSTATUS NtStatus);

typedef NTSTATUS(NTAPI* PFNUSBCAMD_WaitOnDeviceEvent)(PVOID DeviceContext, ULONG PipeIndex, PVOID Buffer,
                                                      ULONG BufferLength,
                                                      PCOMMAND_COMPLETE_FUNCTION EventComplete,
                                                      PVOID EventContext, BOOLEAN LoopBack);
typedef NTSTATUS(NTAPI* PFNUSBCAMD_BulkReadWrite)(PVOID DeviceContext, USHORT PipeIndex, PVOID Buffer,
                                                  ULONG BufferLength,
                                                  PCOMMAND_COMPLETE_FUNCTION CommandComplete,
                                                  PVOID CommandContext);
typedef NTSTATUS(NTAPI* PFNUSBCAMD_SetVideoFormat)(PVOID DeviceContext, PHW_STREAM_REQUEST_BLOCK pSrb);
typedef NTSTATUS(NTAPI* PFNUSBCAMD_SetIsoPipeState)(PVOID DeviceContext, ULONG PipeStateFlags);
typedef NTSTATUS(NTAPI* PFNUSBCAMD_CancelBulkReadWrite)(PVOID DeviceContext, ULONG PipeIndex);

struct USBCAMD_INTERFACE {
    INTERFACE Interface;
    PFNUSBCAMD_WaitOnDeviceEvent USBCAMD_WaitOnDeviceEvent;
    PFNUSBCAMD_BulkReadWrite USBCAMD_BulkReadWrite;
    PFNUSBCAMD_SetVideoFormat USBCAMD_SetVideoFormat;
    PFNUSBCAMD_SetIsoPipeState USBCAMD_SetIsoPipeState;
    PFNUSBCAMD_CancelBulkReadWrite USBCAMD_CancelBulkReadWrite;
};
typedef USBCAMD_INTERFACE* PUSBCAMD_INTERFACE;

// SetIsoPipeState flags, with the published values: 1 stops the isochronous pipe, 0 starts it.
constexpr ULONG USBCAMD_STOP_STREAM = 0x1;
constexpr ULONG USBCAMD_START_STREAM = 0x0;

// A stream hook the minidriver places in the stream object at open; the library calls it first for the
// stream's requests and carries out those the hook leaves with Completed FALSE.
typedef VOID(STREAMAPI* PFNUSBCAMD_STREAM_HOOK)(PHW_STREAM_REQUEST_BLOCK Srb, PVOID DeviceContext,
                                                PBOOLEAN Completed);

// ---- library calls ----------------------------------------------------------------------------------
// Exported by the library by name, __stdcall.
Z40K_EXTERN_C_BEGIN
ULONG NTAPI QRXUSBCAMD_DriverEntry(PVOID Context1, PVOID Context2, ULONG DeviceContextSize,
                                   ULONG FrameContextSize, PHW_RECEIVE_DEVICE_SRB ReceivePacket);
PVOID NTAPI QRXUSBCAMD_AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK Srb, PUSBCAMD_DEVICE_DATA DeviceData,
                                            PDEVICE_OBJECT* DeviceObject, BOOLEAN NeedsCompletion);
ULONG NTAPI QRXUSBCAMD_InitializeNewInterface(PVOID DeviceContext, PVOID DeviceData, ULONG Version,
                                              ULONG CamControlFlag);
NTSTATUS NTAPI QRXUSBCAMD_ControlVendorCommand(PVOID DeviceContext, UCHAR Request, USHORT Value, USHORT Index,
                                               PVOID Buffer, PULONG BufferLength, BOOLEAN GetData,
                                               PCOMMAND_COMPLETE_FUNCTION CommandComplete,
                                               PVOID CommandContext);
NTSTATUS NTAPI QRXUSBCAMD_SelectAlternateInterface(PVOID DeviceContext,
                                                   PUSBD_INTERFACE_INFORMATION RequestInterface);
Z40K_EXTERN_C_END

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(USBCAMD_DEVICE_DATA) == 13 * 4, "version-1 record is 13 words");
static_assert(sizeof(USBCAMD_DEVICE_DATA2) == 13 * 4, "version-2 record is 13 words");
static_assert(sizeof(USBCAMD_INTERFACE) == 36, "direct-call interface is 36 bytes");
#endif
static_assert(sizeof(USBCAMD_Pipe_Config_Descriptor) == 2, "pipe configuration entry is 2 bytes");
