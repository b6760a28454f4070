#include "host/bus/usbpcap_writer.h"

#include "host/bus/little_endian.h"
#include "host/bus/periodic_schedule.h"
#include "host/kernel/kernel_host.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#include <unistd.h>

namespace bus {
namespace {

constexpr uint32_t PCAP_MAGIC = 0xA1B2C3D4; // microsecond times
constexpr size_t PCAP_FILE_HEADER_LENGTH = 24;
constexpr size_t PCAP_RECORD_HEADER_LENGTH = 16;
// The largest record Wireshark takes for this link type; a transfer of 1,024 packets of 3,072 bytes
// is a tenth of it.
constexpr uint32_t SNAPSHOT_LENGTH = 128u << 20;

// The header every record begins with; headerLen is the whole header's, transfer-specific part included.
void PutBaseHeader(std::vector<uint8_t>* Out, size_t HeaderLength, uint64_t Request, USBD_STATUS Status,
                   uint16_t Function, bool Back, RecordPlace Where, uint8_t Endpoint, uint8_t Transfer,
                   uint32_t DataLength) {
    Out->clear();
    PutLe16(Out, static_cast<uint32_t>(HeaderLength));
    PutLe64(Out, Request);
    PutLe32(Out, static_cast<uint32_t>(Status));
    PutLe16(Out, Function);
    Out->push_back(Back ? USBPCAP_INFO_PDO_TO_FDO : 0);
    PutLe16(Out, Where.Bus);
    PutLe16(Out, Where.Device);
    Out->push_back(Endpoint);
    Out->push_back(Transfer);
    PutLe32(Out, DataLength);
}

std::vector<uint8_t> SetupBytes(const SetupPacket& Setup) {
    std::vector<uint8_t> bytes{Setup.RequestType, Setup.Request};
    PutLe16(&bytes, Setup.Value);
    PutLe16(&bytes, Setup.Index);
    PutLe16(&bytes, Setup.Length);
    return bytes;
}

} // namespace

UsbPcapWriter::~UsbPcapWriter() {
    std::string unused;
    Close(&unused);
}

bool UsbPcapWriter::Open(const std::string& Path, uint64_t LimitBytes, std::string* Error) {
    std::lock_guard<host::Mutex> lock(mutex_);
    std::string unused;
    CloseLocked(&unused);
    std::error_code ec;
    const std::filesystem::path target = std::filesystem::weakly_canonical(Path, ec);
    const std::filesystem::file_status status = std::filesystem::status(target, ec);
    inPlace_ = std::filesystem::exists(status) && !std::filesystem::is_regular_file(status);
    target_ = target.string();
    temp_ = inPlace_ ? target_
                     : (target.parent_path() /
                        ("." + target.filename().string() + ".tmp-" + std::to_string(::getpid())))
                           .string();
    file_ = std::fopen(temp_.c_str(), "wb");
    if (file_ == nullptr) {
        *Error = Path + ": cannot write the recording: " + std::strerror(errno);
        return false;
    }
    path_ = Path;
    limit_ = LimitBytes;
    bytes_ = 0;
    stopped_.clear();
    lastUs_ = 0;
    epochOffsetUs_ = 0;
    if (host::ClockGetMode() == host::ClockMode::Real) {
        const auto wall = std::chrono::system_clock::now().time_since_epoch();
        epochOffsetUs_ = std::chrono::duration_cast<std::chrono::microseconds>(wall).count() -
                         host::ClockNowMicroseconds();
    }
    std::vector<uint8_t> header;
    PutLe32(&header, PCAP_MAGIC);
    PutLe16(&header, 2);
    PutLe16(&header, 4);
    PutLe32(&header, 0); // thiszone
    PutLe32(&header, 0); // sigfigs
    PutLe32(&header, SNAPSHOT_LENGTH);
    PutLe32(&header, LINKTYPE_USBPCAP);
    if (limit_ < PCAP_FILE_HEADER_LENGTH || !WriteAll(header.data(), header.size())) {
        *Error = Path + ": cannot write the recording: " +
                 (limit_ < PCAP_FILE_HEADER_LENGTH ? "its limit leaves no room" : std::strerror(errno));
        std::fclose(file_);
        file_ = nullptr;
        if (!inPlace_)
            std::remove(temp_.c_str());
        return false;
    }
    bytes_ = header.size();
    open_ = true;
    return true;
}

bool UsbPcapWriter::IsOpen() const {
    std::lock_guard<host::Mutex> lock(mutex_);
    return open_;
}

std::string UsbPcapWriter::Stopped() const {
    std::lock_guard<host::Mutex> lock(mutex_);
    return stopped_;
}

uint64_t UsbPcapWriter::Bytes() const {
    std::lock_guard<host::Mutex> lock(mutex_);
    return bytes_;
}

bool UsbPcapWriter::Close(std::string* Error) {
    std::lock_guard<host::Mutex> lock(mutex_);
    return CloseLocked(Error);
}

bool UsbPcapWriter::CloseLocked(std::string* Error) {
    if (!open_)
        return true;
    open_ = false;
    bool ok = true;
    int flushError = 0;
    if (file_ != nullptr) {
        ok = std::fflush(file_) == 0;
        flushError = errno;
        ok = std::fclose(file_) == 0 && ok;
        file_ = nullptr;
    }
    if (ok && !inPlace_ && std::rename(temp_.c_str(), target_.c_str()) != 0)
        ok = false;
    if (!ok) {
        *Error = path_ + ": cannot write the recording: " + std::strerror(errno ? errno : flushError);
        if (!inPlace_)
            std::remove(temp_.c_str());
    }
    return ok;
}

bool UsbPcapWriter::WriteAll(const void* Data, size_t Length) {
    return Length == 0 || std::fwrite(Data, 1, Length, file_) == Length;
}

void UsbPcapWriter::StopLocked(const std::string& Why) {
    if (stopped_.empty())
        stopped_ = Why;
}

// One record, whole or not at all: past the limit the recording stops before it, and a record that
// cannot be written is cut off again, so the file ends with the last whole record either way.
void UsbPcapWriter::Write(int64_t Time100ns, const std::vector<uint8_t>& Header,
                          const std::vector<Span>& Data) {
    if (file_ == nullptr || !stopped_.empty())
        return;
    size_t length = Header.size();
    for (const Span& span : Data)
        length += span.Length;
    if (bytes_ + PCAP_RECORD_HEADER_LENGTH + length > limit_) {
        StopLocked("the recording reached its limit of " + std::to_string(limit_) +
                   " bytes and holds what came before");
        return;
    }
    const int64_t us = std::max(lastUs_, Time100ns / 10 + epochOffsetUs_);
    lastUs_ = us;
    std::vector<uint8_t> record;
    PutLe32(&record, static_cast<uint32_t>(us / 1000000));
    PutLe32(&record, static_cast<uint32_t>(us % 1000000));
    PutLe32(&record, static_cast<uint32_t>(length));
    PutLe32(&record, static_cast<uint32_t>(length));
    bool ok = WriteAll(record.data(), record.size()) && WriteAll(Header.data(), Header.size());
    for (size_t i = 0; ok && i < Data.size(); ++i)
        ok = WriteAll(Data[i].Data, Data[i].Length);
    if (ok && inPlace_)
        ok = std::fflush(file_) == 0;
    if (!ok) {
        // What the stream still buffers is let go with it; the file is then cut back to its last whole
        // record, and Close puts it in place as it does a recording that ran to its end.
        const std::string why = std::strerror(errno);
        std::fclose(file_);
        file_ = nullptr;
        if (!inPlace_ && ::truncate(temp_.c_str(), static_cast<off_t>(bytes_)) != 0)
            std::remove(temp_.c_str());
        StopLocked("a record could not be written (" + why + "); the recording holds what came before");
        return;
    }
    bytes_ += PCAP_RECORD_HEADER_LENGTH + length;
}

void UsbPcapWriter::ControlSubmitted(RecordPlace Where, uint64_t Request, uint16_t Function,
                                     const SetupPacket& Setup, const std::vector<uint8_t>* Data,
                                     int64_t Time100ns) {
    const uint8_t endpoint = Setup.DeviceToHost() ? 0x80 : 0x00;
    const std::vector<uint8_t> setup = SetupBytes(Setup);
    std::lock_guard<host::Mutex> lock(mutex_);
    PutBaseHeader(&header_, USBPCAP_CONTROL_HEADER_LENGTH, Request, USBD_STATUS_SUCCESS, Function, false,
                  Where, endpoint, USBPCAP_TRANSFER_CONTROL, static_cast<uint32_t>(setup.size()));
    header_.push_back(USBPCAP_STAGE_SETUP);
    Write(Time100ns, header_, {{setup.data(), setup.size()}});
    if (Data == nullptr || Data->empty())
        return;
    PutBaseHeader(&header_, USBPCAP_CONTROL_HEADER_LENGTH, Request, USBD_STATUS_SUCCESS, Function, false,
                  Where, endpoint, USBPCAP_TRANSFER_CONTROL, static_cast<uint32_t>(Data->size()));
    header_.push_back(USBPCAP_STAGE_DATA);
    Write(Time100ns, header_, {{Data->data(), Data->size()}});
}

void UsbPcapWriter::ControlCompleted(RecordPlace Where, uint64_t Request, uint16_t Function,
                                     const SetupPacket& Setup, USBD_STATUS Status,
                                     const std::vector<uint8_t>* Data, int64_t Time100ns) {
    const uint8_t endpoint = Setup.DeviceToHost() ? 0x80 : 0x00;
    std::lock_guard<host::Mutex> lock(mutex_);
    if (Data != nullptr && !Data->empty()) {
        PutBaseHeader(&header_, USBPCAP_CONTROL_HEADER_LENGTH, Request, Status, Function, true, Where,
                      endpoint, USBPCAP_TRANSFER_CONTROL, static_cast<uint32_t>(Data->size()));
        header_.push_back(USBPCAP_STAGE_DATA);
        Write(Time100ns, header_, {{Data->data(), Data->size()}});
    }
    PutBaseHeader(&header_, USBPCAP_CONTROL_HEADER_LENGTH, Request, Status, Function, true, Where, endpoint,
                  USBPCAP_TRANSFER_CONTROL, 0);
    header_.push_back(USBPCAP_STAGE_STATUS);
    Write(Time100ns, header_, {});
}

void UsbPcapWriter::IsoSubmitted(RecordPlace Where, const IsoTransfer& Transfer, int64_t Time100ns) {
    const uint32_t packets = Transfer.Capacity();
    std::lock_guard<host::Mutex> lock(mutex_);
    PutBaseHeader(&header_, USBPCAP_ISO_HEADER_LENGTH + USBPCAP_ISO_PACKET_LENGTH * packets,
                  Transfer.RequestId, USBD_STATUS_SUCCESS, URB_FUNCTION_ISOCH_TRANSFER, false, Where,
                  Transfer.Endpoint, USBPCAP_TRANSFER_ISOCHRONOUS, 0);
    PutLe32(&header_, 0); // as soon as possible
    PutLe32(&header_, packets);
    PutLe32(&header_, 0);
    for (uint32_t i = 0; i < packets; ++i) {
        PutLe32(&header_, Transfer.Packets[i].Offset);
        PutLe32(&header_, 0);
        PutLe32(&header_, 0);
    }
    Write(Time100ns, header_, {});
}

// The packets that came, their bytes one after the other; packets whose bytes continue one another
// (frame data lent in place) go out as one piece.
void UsbPcapWriter::IsoCompleted(RecordPlace Where, const IsoTransfer& Transfer, int64_t Time100ns) {
    const uint32_t packets = Transfer.Count;
    std::vector<Span> data;
    uint32_t offset = 0;
    uint32_t errors = 0;
    std::lock_guard<host::Mutex> lock(mutex_);
    header_.resize(USBPCAP_HEADER_LENGTH + 12);
    for (uint32_t i = 0; i < packets; ++i) {
        const USBD_ISO_PACKET_DESCRIPTOR& packet = Transfer.Packets[i];
        PutLe32(&header_, offset);
        PutLe32(&header_, packet.Length);
        PutLe32(&header_, static_cast<uint32_t>(packet.Status));
        errors += packet.Status < 0 ? 1 : 0;
        const uint8_t* bytes = Transfer.PacketData(i);
        if (packet.Length == 0)
            continue;
        if (!data.empty() && data.back().Data + data.back().Length == bytes)
            data.back().Length += packet.Length;
        else
            data.push_back({bytes, packet.Length});
        offset += packet.Length;
    }
    std::vector<uint8_t> head;
    PutBaseHeader(&head, USBPCAP_ISO_HEADER_LENGTH + USBPCAP_ISO_PACKET_LENGTH * packets, Transfer.RequestId,
                  UsbdStatusOf(Transfer.Status), URB_FUNCTION_ISOCH_TRANSFER, true, Where, Transfer.Endpoint,
                  USBPCAP_TRANSFER_ISOCHRONOUS, offset);
    PutLe32(&head, static_cast<uint32_t>(Transfer.StartMicroframe / MICROFRAMES_PER_FRAME));
    PutLe32(&head, packets);
    PutLe32(&head, errors);
    std::copy(head.begin(), head.end(), header_.begin());
    Write(Time100ns, header_, data);
}

} // namespace bus
