#include "host/cameralib/frame_assembly.h"

#include <algorithm>
#include <cstring>

namespace cameralib {
namespace {

// A SetIsoPipeState call of the driver. Stopping the pipe loses the transfers in flight, so the frame
// being assembled can never be whole; one that had not begun yet loses nothing.
void ApplyPipeState(FrameAssembly* Assembly, ULONG Flags, PacketResult* Result) {
    if (Flags == USBCAMD_STOP_STREAM) {
        ++Result->PipeRestarts;
        Assembly->PipeStopped = true;
        if (Assembly->DataPackets != 0) {
            Assembly->Dropping = true;
            Assembly->Assembled = 0;
            Assembly->LentBase = nullptr;
            Assembly->LentKeep.reset();
        }
    } else if (Flags == USBCAMD_START_STREAM) {
        Assembly->PipeStopped = false;
    }
}

// Bytes bytes at Data onto the end of the frame; the caller has checked they fit.
void Append(FrameAssembly* Assembly, const uint8_t* Data, uint32_t Bytes, const std::shared_ptr<const void>* Lender) {
    const bool lent = Lender != nullptr && *Lender != nullptr;
    if (Assembly->Assembled == 0 && lent) {
        Assembly->LentBase = Data;
        Assembly->LentKeep = *Lender;
        Assembly->Assembled = Bytes;
        return;
    }
    if (Assembly->LentBase != nullptr) {
        if (lent && *Lender == Assembly->LentKeep && Data == Assembly->LentBase + Assembly->Assembled) {
            Assembly->Assembled += Bytes;
            return;
        }
        // The frame leaves the lent memory: what it took from there so far comes into the frame buffer.
        std::memcpy(Assembly->Frame.data(), Assembly->LentBase, Assembly->Assembled);
        Assembly->LentBase = nullptr;
        Assembly->LentKeep.reset();
    }
    std::memcpy(Assembly->Frame.data() + Assembly->Assembled, Data, Bytes);
    Assembly->Assembled += Bytes;
}

} // namespace

void PrepareAssembly(FrameAssembly* Assembly, ULONG StreamNumber, ULONG RawFrameLength, ULONG FrameContextSize) {
    Assembly->StreamNumber = StreamNumber;
    Assembly->RawFrameLength = RawFrameLength;
    if (Assembly->Frame.size() != RawFrameLength)
        Assembly->Frame.assign(RawFrameLength, 0);
    Assembly->FrameContext.assign(std::max<ULONG>(FrameContextSize, 1), 0);
    Assembly->PipeStopped = false;
    Assembly->NextIsStill = false;
}

void BeginAssembly(LibraryDevice* Device, FrameAssembly* Assembly) {
    Assembly->Assembled = 0;
    Assembly->LentBase = nullptr;
    Assembly->LentKeep.reset();
    Assembly->DataPackets = 0;
    Assembly->Dropping = false;
    Assembly->Still = Assembly->NextIsStill;
    Assembly->NextIsStill = false;
    if (Assembly->Frame.size() != Assembly->RawFrameLength)
        Assembly->Frame.resize(Assembly->RawFrameLength);
    std::fill(Assembly->FrameContext.begin(), Assembly->FrameContext.end(), 0);
    if (Device->DeviceData2 != nullptr && Device->DeviceData2->CamNewVideoFrameEx != nullptr) {
        ULONG frameLength = Assembly->RawFrameLength;
        Device->DeviceData2->CamNewVideoFrameEx(Device->DeviceContext, Assembly->FrameContext.data(),
                                                Assembly->StreamNumber, &frameLength);
    }
}

PacketResult AssemblePacket(LibraryDevice* Device, FrameAssembly* Assembly, const USBD_ISO_PACKET_DESCRIPTOR& SyncPacket,
                            const uint8_t* SyncData, const USBD_ISO_PACKET_DESCRIPTOR& DataPacket,
                            const uint8_t* Data, const std::shared_ptr<const void>* Lender) {
    PacketResult result;
    if (Assembly->PipeStopped)
        return result; // the pipe is idle: the packet is lost on the bus
    result.Pumped = true;

    // The header byte in a buffer of exactly its size, and descriptors that start at the buffers given.
    UCHAR sync[1] = {SyncPacket.Length != 0 ? SyncData[0] : UCHAR{0}};
    USBD_ISO_PACKET_DESCRIPTOR syncPacket{0, SyncPacket.Length != 0 ? ULONG{1} : ULONG{0}, SyncPacket.Status};
    USBD_ISO_PACKET_DESCRIPTOR dataPacket{0, DataPacket.Length, DataPacket.Status};
    BOOLEAN frameComplete = FALSE;
    ULONG packetFlag = 0;
    ULONG validDataOffset = 0;
    const size_t pipeCallsBefore = Device->IsoPipeStateCalls.size();
    const ULONG bytes = Device->DeviceData2->CamProcessUSBPacketEx(
        Device->BusDeviceObject, Device->DeviceContext, Assembly->FrameContext.data(), &syncPacket, sync,
        &dataPacket, DataPacket.Length == 0 ? nullptr : const_cast<uint8_t*>(Data), &frameComplete,
        &packetFlag, &validDataOffset);

    if (Device->IsoPipeStateCalls.size() != pipeCallsBefore) {
        // The driver stopped (and normally restarted) the pipe from inside the packet routine; whatever
        // the packet routine said of this packet went with the stopped pipe.
        for (size_t i = pipeCallsBefore; i < Device->IsoPipeStateCalls.size(); ++i)
            ApplyPipeState(Assembly, Device->IsoPipeStateCalls[i], &result);
        return result;
    }
    ++Assembly->DataPackets;
    if (packetFlag & USBCAMD_PROCESSPACKETEX_DropFrame)
        Assembly->Dropping = true;
    if (packetFlag & USBCAMD_PROCESSPACKETEX_CurrentFrameIsStill)
        Assembly->Still = true;
    if (packetFlag & USBCAMD_PROCESSPACKETEX_NextFrameIsStill)
        Assembly->NextIsStill = true;

    if (bytes != 0 && !Assembly->Dropping) {
        const ULONG size = DataPacket.Length;
        if (validDataOffset > size || bytes > size - validDataOffset) {
            Assembly->Dropping = true; // the driver claims bytes the packet does not have
        } else if (bytes > Assembly->RawFrameLength - Assembly->Assembled) {
            Assembly->Dropping = true; // longer than the frame we asked for: never write past it
        } else {
            Append(Assembly, Data + validDataOffset, bytes, Lender);
        }
    }
    result.FrameComplete = frameComplete != FALSE;
    return result;
}

bool AssemblyWhole(const FrameAssembly& Assembly) {
    return !Assembly.Dropping && Assembly.Assembled == Assembly.RawFrameLength && Assembly.RawFrameLength != 0;
}

} // namespace cameralib
