#include "host/rig/pe_image.h"

#include <algorithm>
#include <cstring>

namespace pe {

namespace {

// Field offsets of the published headers.
constexpr uint32_t DOS_LFANEW = 0x3C;
constexpr uint32_t FILE_HEADER_SIZE = 20;
constexpr uint32_t OPTIONAL_CHECKSUM = 64;
constexpr uint32_t OPTIONAL_DIRECTORIES = 96;
constexpr uint32_t SECTION_HEADER_SIZE = 40;
constexpr uint32_t IMPORT_DESCRIPTOR_SIZE = 20;
constexpr uint32_t MAX_SECTIONS = 96;
constexpr uint32_t ORDINAL_FLAG = 0x80000000u;
constexpr uint16_t RELOC_ABSOLUTE = 0;
constexpr uint16_t RELOC_HIGHLOW = 3;

// Bounds-checked little-endian reads from a byte range.
struct Bytes {
    const uint8_t* Data;
    uint64_t Size;

    bool Has(uint64_t Offset, uint64_t Length) const { return Offset <= Size && Length <= Size - Offset; }
    uint16_t U16(uint64_t Offset) const { return uint16_t(Data[Offset] | Data[Offset + 1] << 8); }
    uint32_t U32(uint64_t Offset) const { return uint32_t(U16(Offset)) | uint32_t(U16(Offset + 2)) << 16; }
    // A NUL-terminated name starting at Offset, or false when it runs off the end.
    bool Name(uint64_t Offset, std::string* Out) const {
        if (Offset >= Size)
            return false;
        const void* end = std::memchr(Data + Offset, 0, Size - Offset);
        if (end == nullptr)
            return false;
        Out->assign(reinterpret_cast<const char*>(Data + Offset),
                    static_cast<const uint8_t*>(end) - Data - Offset);
        return true;
    }
};

std::string Hex(uint32_t Value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", Value);
    return text;
}

bool ReadSections(Bytes File, uint32_t TableOffset, uint32_t Count, Image* Out, std::string* Error) {
    if (!File.Has(TableOffset, uint64_t(Count) * SECTION_HEADER_SIZE))
        return Fail(Error, "truncated section table");
    for (uint32_t i = 0; i < Count; ++i) {
        const uint64_t at = TableOffset + uint64_t(i) * SECTION_HEADER_SIZE;
        Section s;
        const char* name = reinterpret_cast<const char*>(File.Data + at);
        s.Name.assign(name, strnlen(name, 8));
        const uint32_t virtualSize = File.U32(at + 8);
        s.VirtualAddress = File.U32(at + 12);
        s.RawSize = File.U32(at + 16);
        s.RawOffset = File.U32(at + 20);
        s.Characteristics = File.U32(at + 36);
        s.VirtualSize = std::max(virtualSize, s.RawSize);
        if (s.RawSize != 0 && !File.Has(s.RawOffset, s.RawSize))
            return Fail(Error, "section " + s.Name + " has data outside the file");
        if (uint64_t(s.VirtualAddress) + s.VirtualSize > Out->SizeOfImage)
            return Fail(Error, "section " + s.Name + " lies outside the image");
        Out->Sections.push_back(s);
    }
    return true;
}

// Sections may not overlap each other or the headers.
bool CheckOverlaps(uint32_t SizeOfHeaders, Image* Out, std::string* Error) {
    std::vector<const Section*> byAddress;
    for (const Section& s : Out->Sections)
        byAddress.push_back(&s);
    std::sort(byAddress.begin(), byAddress.end(),
              [](const Section* a, const Section* b) { return a->VirtualAddress < b->VirtualAddress; });
    uint64_t end = SizeOfHeaders;
    std::string previous = "the headers";
    for (const Section* s : byAddress) {
        if (s->VirtualAddress < end)
            return Fail(Error, "section " + s->Name + " overlaps " + previous);
        end = uint64_t(s->VirtualAddress) + s->VirtualSize;
        previous = "section " + s->Name;
    }
    return true;
}

bool ReadRelocations(Image* Out, std::string* Error) {
    const Directory dir = Out->Directories[DIRECTORY_BASERELOC];
    const Bytes image{Out->Mapped.data(), Out->Mapped.size()};
    if (dir.Size == 0)
        return true;
    if (!image.Has(dir.Rva, dir.Size))
        return Fail(Error, "relocation table lies outside the image");
    uint64_t at = dir.Rva;
    const uint64_t end = uint64_t(dir.Rva) + dir.Size;
    while (end - at >= 8) {
        const uint32_t page = image.U32(at);
        const uint32_t blockSize = image.U32(at + 4);
        if (blockSize < 8 || blockSize > end - at)
            return Fail(Error, "relocation block at " + Hex(uint32_t(at)) + " has a bad size");
        for (uint64_t e = at + 8; e + 2 <= at + blockSize; e += 2) {
            const uint16_t entry = image.U16(e);
            const uint16_t type = entry >> 12;
            if (type == RELOC_ABSOLUTE)
                continue;
            if (type != RELOC_HIGHLOW)
                return Fail(Error, "relocation type " + std::to_string(type) + " is not an i386 one");
            const uint64_t target = uint64_t(page) + (entry & 0x0FFF);
            if (!image.Has(target, 4))
                return Fail(Error, "relocation points outside the image");
            Out->Relocations.push_back(uint32_t(target));
        }
        at += blockSize;
    }
    return true;
}

bool ReadImports(Image* Out, std::string* Error) {
    const Directory dir = Out->Directories[DIRECTORY_IMPORT];
    const Bytes image{Out->Mapped.data(), Out->Mapped.size()};
    if (dir.Size == 0)
        return true;
    const std::string outside = "import table points outside the image";
    for (uint64_t at = dir.Rva;; at += IMPORT_DESCRIPTOR_SIZE) {
        if (!image.Has(at, IMPORT_DESCRIPTOR_SIZE))
            return Fail(Error, outside);
        const uint32_t lookup = image.U32(at);
        const uint32_t nameRva = image.U32(at + 12);
        const uint32_t slots = image.U32(at + 16);
        if (lookup == 0 && nameRva == 0 && slots == 0)
            return true; // the terminating descriptor
        std::string dll;
        if (!image.Name(nameRva, &dll))
            return Fail(Error, outside);
        const uint32_t names = lookup != 0 ? lookup : slots;
        for (uint64_t i = 0;; ++i) {
            if (!image.Has(names + 4 * i, 4) || !image.Has(slots + 4 * i, 4))
                return Fail(Error, outside);
            const uint32_t entry = image.U32(names + 4 * i);
            if (entry == 0)
                break;
            if (entry & ORDINAL_FLAG)
                return Fail(Error, "imports from " + dll + " by ordinal, which the host does not resolve");
            Import import{dll, std::string(), uint32_t(slots + 4 * i)};
            if (!image.Name(uint64_t(entry) + 2, &import.Name)) // after the two-byte hint
                return Fail(Error, outside);
            Out->Imports.push_back(import);
        }
    }
}

// Where the headers put what follows them, as ReadFileHeader and ReadOptionalHeader find it.
struct HeaderSpan {
    uint64_t Optional = 0;      // file offset of the optional header
    uint32_t OptionalSize = 0;  // its size, as the file header gives it
    uint32_t SectionCount = 0;  // entries of the section table, which follows the optional header
    uint32_t SizeOfHeaders = 0; // bytes of the headers, mapped at the image's start
};

// The MZ stub's pointer, the PE signature and the file header of an i386 image.
bool ReadFileHeader(Bytes File, Image* Out, HeaderSpan* Span, std::string* Error) {
    if (!File.Has(0, DOS_LFANEW + 4) || File.U16(0) != 0x5A4D)
        return Fail(Error, "not a PE image (no MZ header)");
    const uint32_t pe = File.U32(DOS_LFANEW);
    if (!File.Has(pe, 4 + FILE_HEADER_SIZE) || File.U32(pe) != 0x00004550)
        return Fail(Error, "not a PE image (no PE signature)");
    Out->Machine = File.U16(pe + 4);
    if (Out->Machine != MACHINE_I386)
        return Fail(Error, "not an i386 image (machine " + Hex(Out->Machine) + ")");
    Span->SectionCount = File.U16(pe + 6);
    Out->TimeDateStamp = File.U32(pe + 8);
    Out->SymbolTable = File.U32(pe + 12);
    Out->SymbolCount = File.U32(pe + 16);
    Span->OptionalSize = File.U16(pe + 20);
    Out->Characteristics = File.U16(pe + 22);
    Span->Optional = uint64_t(pe) + 4 + FILE_HEADER_SIZE;
    return true;
}

// The 32-bit optional header and its data directories.
bool ReadOptionalHeader(Bytes File, Image* Out, HeaderSpan* Span, std::string* Error) {
    const uint64_t opt = Span->Optional;
    if (Span->OptionalSize < OPTIONAL_DIRECTORIES || !File.Has(opt, Span->OptionalSize) ||
        File.U16(opt) != OPTIONAL_MAGIC_PE32)
        return Fail(Error, "not a PE32 image (no 32-bit optional header)");
    Out->EntryPoint = File.U32(opt + 16);
    Out->ImageBase = File.U32(opt + 28);
    Out->SectionAlignment = File.U32(opt + 32);
    Out->SizeOfImage = File.U32(opt + 56);
    Out->OsVersion[0] = File.U16(opt + 40);
    Out->OsVersion[1] = File.U16(opt + 42);
    Out->SubsystemVersion[0] = File.U16(opt + 48);
    Out->SubsystemVersion[1] = File.U16(opt + 50);
    Span->SizeOfHeaders = File.U32(opt + 60);
    Out->CheckSum = File.U32(opt + OPTIONAL_CHECKSUM);
    Out->Subsystem = File.U16(opt + 68);
    Out->DllCharacteristics = File.U16(opt + 70);
    const uint32_t directoryCount = std::min<uint32_t>(File.U32(opt + 92), DIRECTORY_COUNT);
    if (uint64_t(OPTIONAL_DIRECTORIES) + 8 * directoryCount > Span->OptionalSize)
        return Fail(Error, "optional header too short for its data directories");
    for (uint32_t i = 0; i < directoryCount; ++i)
        Out->Directories[i] = {File.U32(opt + OPTIONAL_DIRECTORIES + 8 * i),
                               File.U32(opt + OPTIONAL_DIRECTORIES + 8 * i + 4)};
    return true;
}

// The image's size, its sections, the headers and the entry point, each within the image.
bool CheckLayout(Bytes File, const HeaderSpan& Span, Image* Out, std::string* Error) {
    if (Out->SizeOfImage > MAX_IMAGE_SIZE)
        return Fail(Error, "image of " + std::to_string(Out->SizeOfImage) + " bytes is larger than 16 MiB");
    if (Span.SectionCount == 0 || Span.SectionCount > MAX_SECTIONS)
        return Fail(Error, "image has " + std::to_string(Span.SectionCount) + " sections");
    if (!ReadSections(File, uint32_t(Span.Optional + Span.OptionalSize), Span.SectionCount, Out, Error))
        return false;
    if (Span.SizeOfHeaders > Out->SizeOfImage || !File.Has(0, Span.SizeOfHeaders))
        return Fail(Error, "headers larger than the image or the file");
    if (!CheckOverlaps(Span.SizeOfHeaders, Out, Error))
        return false;
    if (Out->EntryPoint == 0 || Out->EntryPoint >= Out->SizeOfImage)
        return Fail(Error, "entry point lies outside the image");
    return true;
}

// Lays the headers and each section's raw data out at their addresses, the rest zero.
void MapImage(Bytes File, uint32_t SizeOfHeaders, Image* Out) {
    Out->Mapped.assign(Out->SizeOfImage, 0);
    std::memcpy(Out->Mapped.data(), File.Data, SizeOfHeaders);
    for (const Section& s : Out->Sections) {
        if (s.RawSize != 0)
            std::memcpy(Out->Mapped.data() + s.VirtualAddress, File.Data + s.RawOffset, s.RawSize);
    }
}

} // namespace

uint32_t ImageCheckSum(const std::vector<uint8_t>& File, uint32_t CheckSumOffset) {
    uint64_t sum = 0;
    for (size_t i = 0; i < File.size(); i += 2) {
        uint32_t word = File[i] | (i + 1 < File.size() ? File[i + 1] << 8 : 0);
        if (i >= CheckSumOffset && i < uint64_t(CheckSumOffset) + 4)
            word = 0;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return uint32_t(sum + File.size());
}

bool ParseImage(const std::vector<uint8_t>& FileBytes, Image* Out, std::string* Error) {
    *Out = Image();
    const Bytes file{FileBytes.data(), FileBytes.size()};
    if (file.Size > MAX_IMAGE_SIZE)
        return Fail(Error, "file of " + std::to_string(file.Size) + " bytes is larger than 16 MiB");
    HeaderSpan span;
    if (!ReadFileHeader(file, Out, &span, Error) || !ReadOptionalHeader(file, Out, &span, Error))
        return false;
    Out->ComputedCheckSum = ImageCheckSum(FileBytes, uint32_t(span.Optional + OPTIONAL_CHECKSUM));
    if (!CheckLayout(file, span, Out, Error))
        return false;
    MapImage(file, span.SizeOfHeaders, Out);
    return ReadRelocations(Out, Error) && ReadImports(Out, Error);
}

} // namespace pe
