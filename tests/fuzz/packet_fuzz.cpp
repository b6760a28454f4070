// The packet routine over any sequence of packets: each packet is a header byte, the sync and data
// statuses, and a data length, against a data pipe of any full-packet size. What the routine answers must
// follow from the header alone: image bytes only for a whole full packet in a data position, a frame end
// only on the end bit, a still only on the toggle's 0 -> 1 edge, a pipe restart only on the restart bit,
// and a drop for every failed or short data packet.
#include "camera/capture.h"
#include "platform/usb_types.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstring>

namespace {

std::vector<ULONG> pipeStateCalls;

NTSTATUS NTAPI RecordPipeState(PVOID, ULONG Flags) {
    pipeStateCalls.push_back(Flags);
    return STATUS_SUCCESS;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    fuzz::Input in(Data, Size);
    const ULONG fullSize = in.Word16();
    const bool directInterface = in.Bit();

    std::vector<uint8_t> interface(UsbInterfaceInformationSize(4), 0);
    auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(interface.data());
    info->Length = static_cast<USHORT>(interface.size());
    info->NumberOfPipes = 4;
    info->Pipes[2].MaximumPacketSize = static_cast<USHORT>(fullSize);
    DeviceContext context;
    std::memset(&context, 0, sizeof context);
    context.InterfaceInfo = info;
    if (directInterface) {
        context.CamInterface.Interface.Version = USBCAMD_VERSION_200;
        context.CamInterface.USBCAMD_SetIsoPipeState = RecordPipeState;
    }
    pipeStateCalls.clear();

    UCHAR lastToggle = 0;
    while (!in.Empty()) {
        const UCHAR header = in.Byte();
        const uint8_t statuses = in.Byte();
        const USBD_STATUS syncStatus = (statuses & 1) ? USBD_STATUS_CRC : USBD_STATUS_SUCCESS;
        const USBD_STATUS dataStatus = (statuses & 2) ? USBD_STATUS_CRC : USBD_STATUS_SUCCESS;
        // Mostly the full size or one off it, sometimes any length.
        ULONG length = fullSize + (statuses >> 2 & 3) - 1;
        if (statuses & 0x10)
            length = in.Word16();
        if (length > 0xFFFF)
            length = 0;

        std::unique_ptr<uint8_t[]> sync = fuzz::ExactBuffer({header}, 1);
        std::unique_ptr<uint8_t[]> data = fuzz::ExactBuffer({}, length);
        USBD_ISO_PACKET_DESCRIPTOR syncPacket{0, 1, syncStatus};
        USBD_ISO_PACKET_DESCRIPTOR dataPacket{0, length, dataStatus};
        BOOLEAN complete = FALSE;
        ULONG flag = 0xFFFFFFFF;
        ULONG offset = 0xFFFFFFFF;
        const size_t restartsBefore = pipeStateCalls.size();
        const ULONG bytes = CamProcessUSBPacketEx(nullptr, &context, nullptr, &syncPacket, sync.get(),
                                                  &dataPacket, data.get(), &complete, &flag, &offset);

        const UCHAR seen = syncStatus < 0 ? 0 : header; // a failed sync packet's header is not read
        const bool end = (seen & CAM_HEADER_END_OF_FRAME) != 0;
        const bool restart = !end && (seen & CAM_HEADER_RESTART) != 0;
        const bool noData = !end && !restart && (seen & CAM_HEADER_NO_DATA) != 0;
        const bool dataPosition = !restart && !noData;
        const bool whole = length != 0 && length == fullSize;

        FUZZ_CHECK(offset == 0);
        FUZZ_CHECK(complete == (end ? TRUE : FALSE));
        FUZZ_CHECK(bytes == (dataPosition && whole ? fullSize : 0));
        const bool drop = (dataPosition && !whole) || syncStatus < 0 || dataStatus < 0;
        FUZZ_CHECK(((flag & USBCAMD_PROCESSPACKETEX_DropFrame) != 0) == drop);
        bool still = false;
        if (dataPosition && !end) {
            const UCHAR toggle = (seen & CAM_HEADER_TOGGLE) ? 1 : 0;
            still = toggle == 1 && lastToggle == 0;
            lastToggle = toggle;
        }
        FUZZ_CHECK(((flag & USBCAMD_PROCESSPACKETEX_CurrentFrameIsStill) != 0) == still);
        FUZZ_CHECK(
            (flag & ~(USBCAMD_PROCESSPACKETEX_DropFrame | USBCAMD_PROCESSPACKETEX_CurrentFrameIsStill)) == 0);
        const size_t restarts = restart && directInterface ? 2 : 0;
        FUZZ_CHECK(pipeStateCalls.size() == restartsBefore + restarts);
        if (restarts != 0) {
            FUZZ_CHECK(pipeStateCalls[restartsBefore] == USBCAMD_STOP_STREAM);
            FUZZ_CHECK(pipeStateCalls[restartsBefore + 1] == USBCAMD_START_STREAM);
        }
    }
    return 0;
}
