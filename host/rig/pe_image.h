// A reader of PE32 i386 images (a kernel driver file), strict about every offset: it lays the image out
// as the loader maps it and reads the import and base relocation tables from that layout, refusing with
// a one-line reason anything that is not a well-formed i386 image or that points outside it. It never
// reads outside the file it is given.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pe {

// No driver of ours comes near this; a larger image is refused before anything is laid out.
constexpr uint32_t MAX_IMAGE_SIZE = 16u << 20;

constexpr uint16_t MACHINE_I386 = 0x014C;
constexpr uint16_t OPTIONAL_MAGIC_PE32 = 0x010B;
constexpr uint16_t SUBSYSTEM_NATIVE = 1;
constexpr uint32_t SECTION_EXECUTE = 0x20000000;
constexpr uint32_t SECTION_WRITE = 0x80000000;

enum DirectoryIndex : uint32_t {
    DIRECTORY_EXPORT = 0,
    DIRECTORY_IMPORT = 1,
    DIRECTORY_RESOURCE = 2,
    DIRECTORY_EXCEPTION = 3,
    DIRECTORY_BASERELOC = 5,
    DIRECTORY_TLS = 9,
    DIRECTORY_LOAD_CONFIG = 10,
    DIRECTORY_COUNT = 16,
};

struct Directory {
    uint32_t Rva = 0;
    uint32_t Size = 0;
};

struct Section {
    std::string Name;
    uint32_t VirtualAddress = 0;
    uint32_t VirtualSize = 0; // bytes mapped: the larger of the virtual and the raw size
    uint32_t RawOffset = 0;
    uint32_t RawSize = 0;
    uint32_t Characteristics = 0;
};

struct Import {
    std::string Dll;  // as the image spells it
    std::string Name; // the routine's exported name
    uint32_t SlotRva; // where its address goes (the import address table entry)
};

struct Image {
    uint16_t Machine = 0;
    uint16_t Characteristics = 0;
    uint16_t Subsystem = 0;
    uint16_t DllCharacteristics = 0;
    uint32_t TimeDateStamp = 0;
    uint32_t SymbolTable = 0; // file offset of the COFF symbol table, 0 when stripped
    uint32_t SymbolCount = 0;
    uint16_t OsVersion[2] = {};        // major, minor: the oldest system the image says it runs on
    uint16_t SubsystemVersion[2] = {}; // major, minor
    uint32_t ImageBase = 0;
    uint32_t SizeOfImage = 0;
    uint32_t SectionAlignment = 0;
    uint32_t EntryPoint = 0; // RVA
    uint32_t CheckSum = 0;   // as stored
    uint32_t ComputedCheckSum = 0;
    Directory Directories[DIRECTORY_COUNT];
    std::vector<Section> Sections;
    std::vector<Import> Imports;
    std::vector<uint32_t> Relocations; // RVAs of the 32-bit addresses to move with the image
    std::vector<uint8_t> Mapped;       // SizeOfImage bytes: headers and sections at their RVAs
};

// Puts Message in Error and returns false: how the image's reader and loader refuse a file.
inline bool Fail(std::string* Error, std::string Message) {
    *Error = std::move(Message);
    return false;
}

// Fills Out from the file's bytes; false with a one-line reason in Error for anything malformed.
bool ParseImage(const std::vector<uint8_t>& File, Image* Out, std::string* Error);

// The checksum Windows computes over a driver file, the stored checksum field counted as zero.
uint32_t ImageCheckSum(const std::vector<uint8_t>& File, uint32_t CheckSumOffset);

} // namespace pe
