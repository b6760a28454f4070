// Capture start/stop and the framing of incoming USB packets.
#pragma once

#include "driver/device_context.h"

NTSTATUS NTAPI CamStartCapture(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
NTSTATUS NTAPI CamStopCapture(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
ULONG NTAPI CamProcessUSBPacketEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, PVOID CurrentFrameContext,
                                  PUSBD_ISO_PACKET_DESCRIPTOR SyncPacket, PVOID SyncBuffer,
                                  PUSBD_ISO_PACKET_DESCRIPTOR DataPacket, PVOID DataBuffer, PBOOLEAN FrameComplete,
                                  PULONG PacketFlag, PULONG ValidDataOffset);
ULONG NTAPI CamProcessUSBPacket(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, PVOID CurrentFrameContext,
                                PUSBD_ISO_PACKET_DESCRIPTOR SyncPacket, PVOID SyncBuffer,
                                PUSBD_ISO_PACKET_DESCRIPTOR DataPacket, PVOID DataBuffer, PBOOLEAN FrameComplete,
                                PBOOLEAN NextFrameIsStill);

// Packet header bits, in order of precedence.
constexpr UCHAR CAM_HEADER_END_OF_FRAME = 0x80;
constexpr UCHAR CAM_HEADER_RESTART = 0x02;
constexpr UCHAR CAM_HEADER_NO_DATA = 0x01;
constexpr UCHAR CAM_HEADER_TOGGLE = 0x40;
