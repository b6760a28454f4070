// The isochronous pump. While a stream runs, a few pairs of transfers stay submitted to the camera's
// sync and data endpoints. The completion worker (standing for the library's DPC, at dispatch level)
// takes each pair the bus hands back, runs every packet through the driver's packet routine and into
// the frame being assembled, and submits the pair again.
#include "host/cameralib/streaming_state.h"

#include <algorithm>

namespace cameralib {
namespace {

// Pairs of transfers kept on the bus, and the packets each has room for: 1,024, the most the platform
// takes in one high-speed isochronous request (128 ms of microframes); eight pairs, so that the
// completion worker may fall four such stretches behind the camera before packets are lost.
constexpr unsigned TRANSFERS = 8;
constexpr uint32_t PACKETS_PER_TRANSFER = 1024;

// One of the two transfers of a pair is back; the pair goes to the completion worker with the second.
void TransferBack(StreamingState* State, bus::IsoTransfer* Transfer) {
    bool pairBack;
    {
        std::lock_guard<host::Mutex> lock(State->Mutex);
        TransferPair* pair = static_cast<TransferPair*>(Transfer->Context);
        pairBack = ++pair->Back == 2;
        if (pairBack)
            State->Returned.push_back(pair);
    }
    if (pairBack)
        host::ClockNotify();
}

void Submit(LibraryDevice* Device, TransferPair* Pair) {
    {
        std::lock_guard<host::Mutex> lock(Device->Streaming->Mutex);
        Pair->Back = 0;
    }
    Device->Port->SubmitIso(&Pair->Sync);
    Device->Port->SubmitIso(&Pair->Data);
}

void PumpTransfer(LibraryDevice* Device, StreamingState* State, const TransferPair& Pair) {
    const uint32_t count = std::min(Pair.Sync.Count, Pair.Data.Count);
    for (uint32_t i = 0; i < count; ++i) {
        const PacketResult result = AssemblePacket(
            Device, &State->Assembly, Pair.Sync.Packets[i], Pair.Sync.PacketData(i), Pair.Data.Packets[i],
            Pair.Data.PacketData(i), Pair.Data.Lent[i] != nullptr ? &Pair.Data.Keep : nullptr);
        if (result.Pumped)
            State->PacketsPumped.store(State->PacketsPumped.load(std::memory_order_relaxed) + 1,
                                       std::memory_order_relaxed);
        if (result.PipeRestarts != 0) {
            std::lock_guard<host::Mutex> lock(State->Mutex);
            State->Stats.PipeRestarts += result.PipeRestarts;
        }
        if (result.FrameComplete)
            FinishFrame(Device, State, Pair.Data.Completed100ns);
    }
}

void CompletionWorker(LibraryDevice* Device, StreamingState* State) {
    for (;;) {
        host::ClockWait([State]() {
            std::lock_guard<host::Mutex> lock(State->Mutex);
            return State->Quit || !State->Returned.empty();
        });
        TransferPair* pair = nullptr;
        {
            std::lock_guard<host::Mutex> lock(State->Mutex);
            if (State->Quit)
                return;
            pair = State->Returned.front();
            State->Returned.pop_front();
        }
        if (pair->Sync.Status != STATUS_SUCCESS || pair->Data.Status != STATUS_SUCCESS)
            continue; // cancelled, or the camera is gone: it stays with the library
        PumpTransfer(Device, State, *pair);
        Submit(Device, pair);
    }
}

// The pipe the driver gave Role, as the interface record describes it.
bool FindPipe(const LibraryDevice* Device, UCHAR Roles, uint8_t* Endpoint, uint32_t* PacketSize) {
    const size_t header = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    if (Device->InterfaceInfo.size() < header)
        return false;
    const auto* info = reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(Device->InterfaceInfo.data());
    const size_t pipes =
        std::min<size_t>({info->NumberOfPipes, Device->PipeConfig.size(),
                          (Device->InterfaceInfo.size() - header) / sizeof(USBD_PIPE_INFORMATION)});
    for (size_t i = 0; i < pipes; ++i) {
        if ((Device->PipeConfig[i].PipeConfigFlags & Roles) == 0)
            continue;
        *Endpoint = info->Pipes[i].EndpointAddress;
        *PacketSize = info->Pipes[i].MaximumPacketSize;
        return true;
    }
    return false;
}

} // namespace

bool FindStreamingPipes(const LibraryDevice* Device, uint8_t* SyncEndpoint, uint32_t* SyncPacketSize,
                        uint8_t* DataEndpoint, uint32_t* DataPacketSize) {
    return FindPipe(Device, USBCAMD_SYNC_PIPE, SyncEndpoint, SyncPacketSize) &&
           FindPipe(Device, USBCAMD_DATA_PIPE | USBCAMD_MULTIPLEX_PIPE, DataEndpoint, DataPacketSize);
}

void OpenPump(LibraryDevice* Device, StreamingState* State) {
    uint8_t syncEndpoint = 0;
    uint8_t dataEndpoint = 0;
    uint32_t syncSize = 0;
    uint32_t dataSize = 0;
    FindStreamingPipes(Device, &syncEndpoint, &syncSize, &dataEndpoint, &dataSize);
    if (State->Transfers.empty() || State->SyncEndpoint != syncEndpoint ||
        State->DataEndpoint != dataEndpoint || State->Transfers.front()->Data.PacketSize != dataSize) {
        State->Transfers.clear();
        for (unsigned i = 0; i < TRANSFERS; ++i)
            State->Transfers.push_back(std::make_unique<TransferPair>(syncEndpoint, syncSize, dataEndpoint,
                                                                      dataSize, PACKETS_PER_TRANSFER));
    }
    State->SyncEndpoint = syncEndpoint;
    State->DataEndpoint = dataEndpoint;
    auto back = [State](bus::IsoTransfer* Transfer) { TransferBack(State, Transfer); };
    Device->Port->OpenIsoEndpoint(syncEndpoint, back);
    Device->Port->OpenIsoEndpoint(dataEndpoint, back);
    State->CompletionWorker.Start(DISPATCH_LEVEL, [Device, State]() { CompletionWorker(Device, State); });
}

void SubmitTransfers(LibraryDevice* Device, StreamingState* State) {
    for (auto& pair : State->Transfers)
        Submit(Device, pair.get());
}

void AbortPump(LibraryDevice* Device, StreamingState* State) {
    Device->Port->AbortIsoEndpoint(State->DataEndpoint);
    Device->Port->AbortIsoEndpoint(State->SyncEndpoint);
}

} // namespace cameralib
