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

#define Z40K_EXPORT(Dll, Name)                                                                               \
    HostExport {                                                                                             \
        Dll, #Name, AddressOf(&Name)                                                                         \
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
    static const std::vector<HostExport> exports = {
        Z40K_EXPORT("ntoskrnl.exe", ExAllocatePoolWithTag),
        Z40K_EXPORT("ntoskrnl.exe", ExFreePool),
        Z40K_EXPORT("ntoskrnl.exe", KeDelayExecutionThread),
        Z40K_EXPORT("ntoskrnl.exe", KeInitializeEvent),
        Z40K_EXPORT("ntoskrnl.exe", KeSetEvent),
        Z40K_EXPORT("ntoskrnl.exe", KeWaitForSingleObject),
        Z40K_EXPORT("ntoskrnl.exe", IoBuildSynchronousFsdRequest),
        Z40K_EXPORT("ntoskrnl.exe", IofCallDriver),
        Z40K_EXPORT("ntoskrnl.exe", IofCompleteRequest),
        Z40K_EXPORT("ntoskrnl.exe", RtlInitUnicodeString),
        Z40K_EXPORT("ntoskrnl.exe", RtlCompareMemory),
        Z40K_EXPORT("ntoskrnl.exe", KeSaveFloatingPointState),
        Z40K_EXPORT("ntoskrnl.exe", KeRestoreFloatingPointState),
        Z40K_EXPORT("ntoskrnl.exe", KeSaveExtendedProcessorState),
        Z40K_EXPORT("ntoskrnl.exe", KeRestoreExtendedProcessorState),
        Z40K_EXPORT("ntoskrnl.exe", IoOpenDeviceRegistryKey),
        Z40K_EXPORT("ntoskrnl.exe", ZwCreateKey),
        Z40K_EXPORT("ntoskrnl.exe", ZwQueryValueKey),
        Z40K_EXPORT("ntoskrnl.exe", ZwSetValueKey),
        Z40K_EXPORT("ntoskrnl.exe", ZwClose),
        Z40K_EXPORT("ntoskrnl.exe", ZwCreateFile),
        Z40K_EXPORT("ntoskrnl.exe", ZwWriteFile),
        Z40K_EXPORT("STREAM.SYS", StreamClassDeviceNotification),
        Z40K_EXPORT("STREAM.SYS", StreamClassStreamNotification),
        Z40K_EXPORT("QuorixZ40KUSB.SYS", QRXUSBCAMD_DriverEntry),
        Z40K_EXPORT("QuorixZ40KUSB.SYS", QRXUSBCAMD_AdapterReceivePacket),
        Z40K_EXPORT("QuorixZ40KUSB.SYS", QRXUSBCAMD_InitializeNewInterface),
        Z40K_EXPORT("QuorixZ40KUSB.SYS", QRXUSBCAMD_ControlVendorCommand),
        Z40K_EXPORT("QuorixZ40KUSB.SYS", QRXUSBCAMD_SelectAlternateInterface),
    };
    return exports;
}

bool BindImports(const Image& Image, const std::vector<HostExport>& Exports, std::vector<void*>* Addresses,
                 std::string* Error) {
    Addresses->clear();
    for (const Import& import : Image.Imports) {
        void* address = nullptr;
        for (const HostExport& e : Exports) {
            if (strcasecmp(e.Dll, import.Dll.c_str()) == 0 && import.Name == e.Name) {
                address = e.Address;
                break;
            }
        }
        if (address == nullptr)
            return Fail(Error,
                        "imports " + import.Dll + "!" + import.Name + ", which the host does not provide");
        Addresses->push_back(address);
    }
    return true;
}

bool LoadDriver(const std::string& Path, LoadedDriver* Out, std::string* Error) {
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
    return LoadDriver(file, Out, Error);
}

bool LoadDriver(const std::vector<uint8_t>& File, LoadedDriver* Out, std::string* Error) {
    *Out = LoadedDriver();
    Image image;
    if (!ParseImage(File, &image, Error))
        return false;
    if (image.Subsystem != SUBSYSTEM_NATIVE)
        return Fail(Error, "not a kernel driver (subsystem " + std::to_string(image.Subsystem) + ")");
    std::vector<void*> addresses;
    if (!BindImports(image, HostExports(), &addresses, Error))
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
