#include "host/rig/pe_loader.h"

#include "platform/camera_class.h"
#include "platform/kernel.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <strings.h>
#include <sys/mman.h>

namespace pe {

namespace {

template <typename Routine> void* AddressOf(Routine R) {
    return reinterpret_cast<void*>(R);
}

#if defined(__i386__)
uint32_t PageRound(uint32_t Bytes) {
    return (Bytes + 0xFFF) & ~0xFFFu;
}
#endif

} // namespace

// The i386 Windows and System V conventions differ where these routines do not go: none returns a
// structure (Windows returns small ones in registers, System V through memory) or takes one by value.
// They do differ in stack alignment, which NTAPI, FASTCALL and Z40K_CDECL make good on entry, and
// IofCallDriver's __fastcall takes ECX and EDX in both.
const std::vector<HostExport>& HostExports() {
    static const std::vector<HostExport> exports = [] {
        std::vector<HostExport> all;
        for (const host::KernelExport& e : host::KernelExports())
            all.push_back(HostExport{"ntoskrnl.exe", e.Name, e.Address, e.Since});
        const HostExport others[] = {
            {"STREAM.SYS", "StreamClassDeviceNotification", AddressOf(&StreamClassDeviceNotification)},
            {"STREAM.SYS", "StreamClassStreamNotification", AddressOf(&StreamClassStreamNotification)},
            {"QuorixZ40KUSB.SYS", "QRXUSBCAMD_DriverEntry", AddressOf(&QRXUSBCAMD_DriverEntry)},
            {"QuorixZ40KUSB.SYS", "QRXUSBCAMD_AdapterReceivePacket",
             AddressOf(&QRXUSBCAMD_AdapterReceivePacket)},
            {"QuorixZ40KUSB.SYS", "QRXUSBCAMD_InitializeNewInterface",
             AddressOf(&QRXUSBCAMD_InitializeNewInterface)},
            {"QuorixZ40KUSB.SYS", "QRXUSBCAMD_ControlVendorCommand",
             AddressOf(&QRXUSBCAMD_ControlVendorCommand)},
            {"QuorixZ40KUSB.SYS", "QRXUSBCAMD_SelectAlternateInterface",
             AddressOf(&QRXUSBCAMD_SelectAlternateInterface)},
        };
        all.insert(all.end(), std::begin(others), std::end(others));
        return all;
    }();
    return exports;
}

bool BindImports(const Image& Image, const std::vector<HostExport>& Exports, host::WindowsTarget Target,
                 std::vector<void*>* Addresses, std::string* Error) {
    Addresses->clear();
    for (const Import& import : Image.Imports) {
        const HostExport* found = nullptr;
        for (const HostExport& e : Exports) {
            if (strcasecmp(e.Dll, import.Dll.c_str()) == 0 && import.Name == e.Name) {
                found = &e;
                break;
            }
        }
        const std::string routine = import.Dll + "!" + import.Name;
        if (found == nullptr)
            return Fail(Error, "imports " + routine + ", which the host does not provide");
        if (found->Since > Target)
            return Fail(Error, "imports " + routine + ", which " + host::WindowsTargetName(Target) +
                                   " does not export");
        Addresses->push_back(found->Address);
    }
    return true;
}

bool LoadDriver(const std::string& Path, host::WindowsTarget Target, LoadedDriver* Out, std::string* Error) {
    std::ifstream in(Path, std::ios::binary);
    if (!in)
        return Fail(Error, "cannot read " + Path);
    in.seekg(0, std::ios::end);
    const std::streamoff length = in.tellg();
    if (length < 0 || uint64_t(length) > MAX_IMAGE_SIZE)
        return Fail(Error, "file of " + std::to_string(length) + " bytes is larger than 16 MiB");
    in.seekg(0);
    std::vector<uint8_t> file(static_cast<size_t>(length));
    if (!in.read(reinterpret_cast<char*>(file.data()), length))
        return Fail(Error, "cannot read " + Path);
    return LoadDriver(file, Target, Out, Error);
}

bool LoadDriver(const std::vector<uint8_t>& File, host::WindowsTarget Target, LoadedDriver* Out,
                std::string* Error) {
    *Out = LoadedDriver();
    Image image;
    if (!ParseImage(File, &image, Error))
        return false;
    if (image.Subsystem != SUBSYSTEM_NATIVE)
        return Fail(Error, "not a kernel driver (subsystem " + std::to_string(image.Subsystem) + ")");
    std::vector<void*> addresses;
    if (!BindImports(image, HostExports(), Target, &addresses, Error))
        return false;
#if defined(__i386__)
    const uint32_t size = PageRound(image.SizeOfImage);
    void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED)
        return Fail(Error, "no memory for an image of " + std::to_string(size) + " bytes");
    uint8_t* bytes = static_cast<uint8_t*>(base);
    std::memcpy(bytes, image.Mapped.data(), image.SizeOfImage);
    // The image was linked for ImageBase; every absolute address in it moves by the same distance.
    const uint32_t delta = uint32_t(reinterpret_cast<uintptr_t>(base)) - image.ImageBase;
    for (uint32_t rva : image.Relocations) {
        uint32_t value;
        std::memcpy(&value, bytes + rva, 4);
        value += delta;
        std::memcpy(bytes + rva, &value, 4);
    }
    for (size_t i = 0; i < image.Imports.size(); ++i) {
        const uint32_t address = uint32_t(reinterpret_cast<uintptr_t>(addresses[i]));
        std::memcpy(bytes + image.Imports[i].SlotRva, &address, 4);
    }
    // Code becomes executable and read-only; everything else stays writable data.
    for (const Section& s : image.Sections) {
        if ((s.Characteristics & SECTION_EXECUTE) == 0)
            continue;
        const uint32_t first = s.VirtualAddress & ~0xFFFu;
        const uint32_t end = PageRound(s.VirtualAddress + s.VirtualSize);
        if (mprotect(bytes + first, end - first, PROT_READ | PROT_EXEC) != 0) {
            munmap(base, size);
            return Fail(Error, "cannot make section " + s.Name + " executable");
        }
    }
    Out->Base = base;
    Out->Size = size;
    Out->DriverEntry = reinterpret_cast<PDRIVER_INITIALIZE>(bytes + image.EntryPoint);
    return true;
#else
    return Fail(Error, "an i386 driver image runs only in the 32-bit (-m32) build of the host");
#endif
}

void UnloadDriver(LoadedDriver* Driver) {
    if (Driver->Base != nullptr)
        munmap(Driver->Base, Driver->Size);
    *Driver = LoadedDriver();
}

} // namespace pe
