#include "host/bus/usbpcap_reader.h"

#include "host/bus/descriptors.h"
#include "host/bus/little_endian.h"

#include <cerrno>
#include <cstring>
#include <map>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bus {
namespace {

constexpr size_t FILE_HEADER_LENGTH = 24;
constexpr size_t RECORD_HEADER_LENGTH = 16;
constexpr uint32_t PCAPNG_MAGIC = 0x0A0D0D0A;

// The file's own byte order and time unit, from its magic number.
struct FileFormat {
    bool Swapped = false; // written big-endian
    bool Nanoseconds = false;
    uint32_t Word(const uint8_t* At) const {
        const uint32_t v = ReadLe32(At);
        return Swapped ? __builtin_bswap32(v) : v;
    }
};

// One pcap record: where its bytes are, how many, and when.
struct PcapRecord {
    const uint8_t* Data = nullptr;
    uint32_t Length = 0;
    int64_t TimeUs = 0;
};

// The USBPcap header every record begins with, as far as it was read.
struct UsbPcapHeader {
    uint16_t HeaderLength = 0;
    uint64_t Request = 0;
    USBD_STATUS Status = 0;
    uint16_t Function = 0;
    bool Back = false;
    RecordPlace Where;
    uint8_t Endpoint = 0;
    uint8_t Transfer = 0;
    uint32_t DataLength = 0;
    const uint8_t* Data = nullptr; // DataLength bytes, inside the record
};

bool ReadFileHeader(const uint8_t* Bytes, size_t Size, FileFormat* Format, std::string* Why) {
    if (Size == 0) {
        *Why = "the file is empty";
        return false;
    }
    const uint32_t magic = Size >= 4 ? ReadLe32(Bytes) : 0;
    if (magic == PCAPNG_MAGIC) {
        *Why = "it is a pcapng file; save it in the pcap format (Wireshark: File, Save As, pcap)";
        return false;
    }
    Format->Swapped = magic == 0xD4C3B2A1 || magic == 0x4D3CB2A1;
    Format->Nanoseconds = magic == 0xA1B23C4D || magic == 0x4D3CB2A1;
    if (Size < FILE_HEADER_LENGTH || (magic != 0xA1B2C3D4 && magic != 0xA1B23C4D && !Format->Swapped)) {
        *Why = "it is not a pcap file";
        return false;
    }
    const uint32_t linkType = Format->Word(Bytes + 20) & 0x0FFFFFFF;
    if (linkType != LINKTYPE_USBPCAP) {
        *Why = "it is a pcap file of link type " + std::to_string(linkType) + ", not USBPcap (249)";
        return false;
    }
    return true;
}

// The record at *At; false at the end of the file, or with *Why set when the file ends inside the record
// or the record is longer than any transfer.
bool NextRecord(const uint8_t* Bytes, size_t Size, const FileFormat& Format, size_t* At, PcapRecord* Out,
                std::string* Why) {
    if (*At == Size)
        return false;
    if (Size - *At < RECORD_HEADER_LENGTH) {
        *Why = "it ends in the middle of a record";
        return false;
    }
    const uint8_t* head = Bytes + *At;
    const uint32_t length = Format.Word(head + 8);
    if (length > RECORD_LENGTH_MAX) {
        *Why = "a record claims " + std::to_string(length) + " bytes, more than any USB transfer";
        return false;
    }
    if (Size - *At - RECORD_HEADER_LENGTH < length) {
        *Why = "it ends in the middle of a record";
        return false;
    }
    const int64_t fraction = Format.Word(head + 4);
    Out->TimeUs = int64_t{Format.Word(head)} * 1000000 + (Format.Nanoseconds ? fraction / 1000 : fraction);
    Out->Data = head + RECORD_HEADER_LENGTH;
    Out->Length = length;
    *At += RECORD_HEADER_LENGTH + length;
    return true;
}

// The record's USBPcap header; false when it does not fit in the record (the record is malformed).
bool ReadHeader(const PcapRecord& Record, UsbPcapHeader* Out) {
    const uint8_t* r = Record.Data;
    if (Record.Length < USBPCAP_HEADER_LENGTH)
        return false;
    Out->HeaderLength = ReadLe16(r);
    Out->Request = ReadLe64(r + 2);
    Out->Status = static_cast<USBD_STATUS>(ReadLe32(r + 10));
    Out->Function = ReadLe16(r + 14);
    Out->Back = (r[16] & USBPCAP_INFO_PDO_TO_FDO) != 0;
    Out->Where = RecordPlace{ReadLe16(r + 17), ReadLe16(r + 19)};
    Out->Endpoint = r[21];
    Out->Transfer = r[22];
    Out->DataLength = ReadLe32(r + 23);
    if (Out->HeaderLength < USBPCAP_HEADER_LENGTH || Out->HeaderLength > Record.Length ||
        Out->DataLength > Record.Length - Out->HeaderLength)
        return false;
    Out->Data = r + Out->HeaderLength;
    return true;
}

bool SamePlace(RecordPlace A, RecordPlace B) {
    return A.Bus == B.Bus && A.Device == B.Device;
}

// An isochronous IN completion: its packets, each inside the record's data. False when the header's
// packet count or a packet's place does not fit (the record is malformed).
bool ReadIsoPackets(const UsbPcapHeader& Header, const uint8_t* Base, std::vector<RecordedPacket>* Out) {
    if (Header.HeaderLength < USBPCAP_ISO_HEADER_LENGTH)
        return false;
    const uint8_t* iso = Header.Data - Header.HeaderLength + USBPCAP_HEADER_LENGTH;
    const uint32_t packets = ReadLe32(iso + 4);
    if (uint64_t{packets} * USBPCAP_ISO_PACKET_LENGTH != Header.HeaderLength - USBPCAP_ISO_HEADER_LENGTH)
        return false;
    const size_t first = Out->size();
    for (uint32_t i = 0; i < packets; ++i) {
        const uint8_t* p = iso + 12 + size_t{i} * USBPCAP_ISO_PACKET_LENGTH;
        const uint64_t offset = ReadLe32(p);
        const uint32_t length = ReadLe32(p + 4);
        if (offset + length > Header.DataLength) {
            Out->resize(first);
            return false;
        }
        Out->push_back(RecordedPacket{static_cast<uint64_t>(Header.Data + offset - Base), length,
                                      static_cast<USBD_STATUS>(ReadLe32(p + 8))});
    }
    return true;
}

bool IsIsoInCompletion(const UsbPcapHeader& Header) {
    return Header.Transfer == USBPCAP_TRANSFER_ISOCHRONOUS && Header.Back && (Header.Endpoint & 0x80) != 0;
}

// A control request being put together from its stages.
struct PendingControl {
    RecordedControl Control;
    bool HaveSetup = false;
};

} // namespace

namespace {

// What the second pass keeps while it reads the chosen device's records.
struct Collector {
    UsbRecording* Out = nullptr;
    int64_t FirstUs = 0;
    std::map<uint64_t, PendingControl> Pending;

    void Control(const UsbPcapHeader& Header, int64_t TimeUs);
    void Finish(const RecordedControl& Control);
    void Iso(const UsbPcapHeader& Header, int64_t TimeUs);
};

void Collector::Control(const UsbPcapHeader& Header, int64_t TimeUs) {
    if (Header.HeaderLength < USBPCAP_CONTROL_HEADER_LENGTH) {
        ++Out->Skipped;
        return;
    }
    const uint8_t stage = Header.Data[-1];
    PendingControl& pending = Pending[Header.Request];
    if (stage == USBPCAP_STAGE_SETUP && !Header.Back) {
        if (Header.DataLength < 8) {
            ++Out->Skipped;
            Pending.erase(Header.Request);
            return;
        }
        const uint8_t* s = Header.Data;
        pending = PendingControl();
        pending.Control.Setup = SetupPacket{s[0], s[1], ReadLe16(s + 2), ReadLe16(s + 4), ReadLe16(s + 6)};
        pending.Control.Time100ns = (TimeUs - FirstUs) * 10;
        pending.HaveSetup = true;
    } else if (stage == USBPCAP_STAGE_DATA && pending.HaveSetup) {
        pending.Control.Data.assign(Header.Data, Header.Data + Header.DataLength);
    } else if (stage == USBPCAP_STAGE_STATUS && Header.Back && pending.HaveSetup) {
        pending.Control.Status = Header.Status;
        Finish(pending.Control);
        Pending.erase(Header.Request);
    } else if (!pending.HaveSetup) {
        Pending.erase(Header.Request); // the request began before the recording did
    }
}

// A whole control request: a descriptor the device gave, or one of the requests it answers.
void Collector::Finish(const RecordedControl& Control) {
    const SetupPacket& setup = Control.Setup;
    if ((setup.RequestType & REQUEST_TYPE_MASK) != 0) {
        Out->Controls.push_back(Control);
        return;
    }
    if (setup.Request != REQUEST_GET_DESCRIPTOR || !setup.DeviceToHost() ||
        Control.Status != USBD_STATUS_SUCCESS)
        return;
    std::vector<uint8_t>* kept = (setup.Value >> 8) == DESCRIPTOR_DEVICE ? &Out->DeviceDescriptor
                                 : (setup.Value >> 8) == DESCRIPTOR_CONFIGURATION
                                     ? &Out->ConfigurationDescriptor
                                     : nullptr;
    if (kept != nullptr && Control.Data.size() >= kept->size())
        *kept = Control.Data;
}

void Collector::Iso(const UsbPcapHeader& Header, int64_t TimeUs) {
    RecordedTransfer transfer;
    transfer.Endpoint = Header.Endpoint;
    transfer.Time100ns = (TimeUs - FirstUs) * 10;
    transfer.First = Out->Packets.size();
    if (!ReadIsoPackets(Header, Out->Bytes(), &Out->Packets)) {
        ++Out->Skipped;
        return;
    }
    transfer.Count = static_cast<uint32_t>(Out->Packets.size() - transfer.First);
    Out->Transfers.push_back(transfer);
}

// The device with the most isochronous IN data, from a first pass over well-formed completions.
bool ChooseDevice(const uint8_t* Bytes, size_t Size, const FileFormat& Format, RecordPlace* Device,
                  std::string* Why) {
    std::map<std::pair<uint16_t, uint16_t>, uint64_t> inBytes;
    std::vector<RecordedPacket> scratch;
    PcapRecord record;
    UsbPcapHeader header;
    for (size_t at = FILE_HEADER_LENGTH; NextRecord(Bytes, Size, Format, &at, &record, Why);) {
        scratch.clear();
        if (ReadHeader(record, &header) && IsIsoInCompletion(header) &&
            ReadIsoPackets(header, Bytes, &scratch))
            inBytes[{header.Where.Bus, header.Where.Device}] += header.DataLength;
    }
    if (!Why->empty())
        return false;
    uint64_t most = 0;
    for (const auto& [place, bytes] : inBytes) {
        if (bytes > most) {
            most = bytes;
            *Device = RecordPlace{place.first, place.second};
        }
    }
    if (most == 0)
        *Why = "it holds no isochronous IN traffic";
    return most != 0;
}

} // namespace

bool ReadUsbPcap(std::shared_ptr<const uint8_t> Storage, size_t Size, UsbRecording* Out, std::string* Why) {
    *Out = UsbRecording();
    Out->Storage = std::move(Storage);
    Out->Size = Size;
    Why->clear();
    const uint8_t* bytes = Out->Bytes();
    FileFormat format;
    if (!ReadFileHeader(bytes, Size, &format, Why) || !ChooseDevice(bytes, Size, format, &Out->Device, Why))
        return false;
    Collector collector;
    collector.Out = Out;
    PcapRecord record;
    UsbPcapHeader header;
    bool first = true;
    for (size_t at = FILE_HEADER_LENGTH; NextRecord(bytes, Size, format, &at, &record, Why);) {
        ++Out->Records;
        if (first)
            collector.FirstUs = record.TimeUs;
        first = false;
        if (!ReadHeader(record, &header)) {
            ++Out->Skipped;
        } else if (!SamePlace(header.Where, Out->Device)) {
            continue;
        } else if (header.Transfer == USBPCAP_TRANSFER_CONTROL) {
            collector.Control(header, record.TimeUs);
        } else if (IsIsoInCompletion(header)) {
            collector.Iso(header, record.TimeUs);
        }
    }
    return Why->empty();
}

bool LoadUsbPcap(const std::string& Path, std::shared_ptr<const UsbRecording>* Out, std::string* Error) {
    const std::string what = Path + ": cannot play it back: ";
    const int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *Error = what + (fd < 0 ? std::strerror(errno) : "it is not a regular file");
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    const size_t size = static_cast<size_t>(info.st_size);
    void* mapped = size == 0 ? nullptr : ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    const int mapError = errno;
    ::close(fd);
    if (mapped == MAP_FAILED) {
        *Error = what + std::strerror(mapError);
        return false;
    }
    std::shared_ptr<const uint8_t> storage(static_cast<const uint8_t*>(mapped), [size](const uint8_t* Bytes) {
        if (Bytes != nullptr)
            ::munmap(const_cast<uint8_t*>(Bytes), size);
    });
    auto recording = std::make_shared<UsbRecording>();
    std::string why;
    if (!ReadUsbPcap(std::move(storage), size, recording.get(), &why)) {
        *Error = what + why;
        return false;
    }
    *Out = std::move(recording);
    return true;
}

} // namespace bus
