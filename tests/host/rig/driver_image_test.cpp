// What z40k.sys is, read from the binary the build made: an i386 kernel driver for Windows XP and later
// whose entry point is DriverEntry, that imports only the platform routines the driver uses, each one XP
// exports, from the three modules that export them; that carries nothing of a C or C++ runtime, no code
// only the tests call and no symbols, and a version resource; and z40k-debug.sys beside it, the same
// image with its symbols.
#include "host/kernel/system_routines.h"
#include "host/rig/pe_image.h"
#include "host/rig/pe_resources.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#if defined(Z40K_SYS_IMAGE)

namespace {

std::vector<uint8_t> ReadFile(const std::string& Path) {
    std::ifstream in(Path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The unstripped copy the build leaves beside the image.
std::string DebugImagePath() {
    const std::string image = Z40K_SYS_IMAGE;
    return image.substr(0, image.rfind('/') + 1) + "z40k-debug.sys";
}

std::string CommandOutput(const std::string& Command) {
    std::string out;
    if (FILE* p = popen(Command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, p)) > 0)
            out.append(buffer, n);
        pclose(p);
    }
    return out;
}

class SysImage : public testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(pe::ParseImage(ReadFile(Z40K_SYS_IMAGE), &image_, &error))
            << Z40K_SYS_IMAGE << ": " << error;
        ASSERT_TRUE(pe::ParseImage(ReadFile(DebugImagePath()), &debug_, &error))
            << DebugImagePath() << ": " << error;
    }
    // The debug copy's symbol table, as nm lists it.
    static std::string Symbols() { return CommandOutput("i686-w64-mingw32-nm " + DebugImagePath()); }
    pe::Image image_, debug_;
};

TEST_F(SysImage, IsANativeI386DriverEnteredAtDriverEntry) {
    EXPECT_EQ(image_.Machine, pe::MACHINE_I386);
    EXPECT_EQ(image_.Subsystem, pe::SUBSYSTEM_NATIVE);
    EXPECT_EQ(image_.Characteristics & 0x2000, 0) << "a driver is not a DLL";
    EXPECT_EQ(image_.ImageBase, 0x10000u);
    EXPECT_EQ(image_.SectionAlignment, 0x1000u);
    EXPECT_EQ(image_.CheckSum, image_.ComputedCheckSum);
    EXPECT_FALSE(image_.Relocations.empty()) << "the kernel loads drivers at any address";
    EXPECT_EQ(image_.TimeDateStamp, 0u) << "a build of the same sources gives the same file";
    // Windows XP is 5.1: an image claiming less would load on systems it was never meant for, more would
    // keep XP from it.
    EXPECT_EQ(image_.OsVersion[0], 5);
    EXPECT_EQ(image_.OsVersion[1], 1);
    EXPECT_EQ(image_.SubsystemVersion[0], 5);
    EXPECT_EQ(image_.SubsystemVersion[1], 1);
    // The debug copy's symbol table names the routine at the entry point.
    const std::string symbols = Symbols();
    char entry[32];
    std::snprintf(entry, sizeof entry, "%08x T _DriverEntry@8", image_.ImageBase + image_.EntryPoint);
    EXPECT_NE(symbols.find(entry), std::string::npos) << "no " << entry << " in\n" << symbols;
    // Nothing runs before DriverEntry: no static constructors or destructors to call.
    EXPECT_EQ(symbols.find("_GLOBAL__sub_I"), std::string::npos);
    EXPECT_EQ(symbols.find("__cxa_"), std::string::npos);
}

TEST_F(SysImage, ImportsOnlyThePlatformRoutinesTheDriverUses) {
    const std::map<std::string, std::set<std::string>> allowed = {
        {"ntoskrnl.exe",
         {"ExAllocatePoolWithTag", "ExFreePool", "IoOpenDeviceRegistryKey", "ZwCreateKey", "ZwQueryValueKey",
          "ZwSetValueKey", "ZwClose", "ZwCreateFile", "ZwWriteFile", "KeInitializeEvent",
          "IoBuildSynchronousFsdRequest", "IofCallDriver", "KeWaitForSingleObject", "KeDelayExecutionThread",
          "RtlInitUnicodeString", "RtlCompareMemory", "KeSaveFloatingPointState",
          "KeRestoreFloatingPointState", "MmGetSystemRoutineAddress"}},
        {"HAL.dll", {}},
        {"STREAM.SYS", {"StreamClassDeviceNotification", "StreamClassStreamNotification"}},
        {"QuorixZ40KUSB.SYS",
         {"QRXUSBCAMD_DriverEntry", "QRXUSBCAMD_AdapterReceivePacket", "QRXUSBCAMD_InitializeNewInterface",
          "QRXUSBCAMD_ControlVendorCommand", "QRXUSBCAMD_SelectAlternateInterface"}},
    };
    std::map<std::string, std::set<std::string>> imported;
    for (const pe::Import& i : image_.Imports) {
        imported[i.Dll].insert(i.Name);
        ASSERT_TRUE(allowed.count(i.Dll)) << "imports from " << i.Dll;
        EXPECT_TRUE(allowed.at(i.Dll).count(i.Name)) << "imports " << i.Dll << "!" << i.Name;
        if (i.Dll == "ntoskrnl.exe") {
            EXPECT_NE(host::KernelExportOf(i.Name, host::WindowsTarget::Xp), nullptr)
                << i.Name << " is not exported by Windows XP";
        }
    }
    // Whatever the vector paths need, the frame, registry, file and wait routines are always there.
    for (const char* name : {"ExAllocatePoolWithTag", "ZwSetValueKey", "ZwWriteFile", "IofCallDriver",
                             "KeDelayExecutionThread", "KeSaveFloatingPointState"})
        EXPECT_TRUE(imported["ntoskrnl.exe"].count(name)) << name;
    EXPECT_EQ(imported["STREAM.SYS"], allowed.at("STREAM.SYS"));
    EXPECT_EQ(imported["QuorixZ40KUSB.SYS"], allowed.at("QuorixZ40KUSB.SYS"));
}

// Only code, data, imports, the version resource and relocations: no runtime's tables (.tls, .CRT,
// .ctors, .eh_frame, .pdata, ...), no exports, no debug sections.
TEST_F(SysImage, CarriesNoRuntimeSectionsOrTables) {
    const std::set<std::string> allowed = {".text", ".data", ".rdata", ".bss", ".idata", ".rsrc", ".reloc"};
    for (const pe::Section& s : image_.Sections) {
        EXPECT_TRUE(allowed.count(s.Name)) << "section " << s.Name;
        // Writable code would let a stray store change the driver.
        EXPECT_FALSE((s.Characteristics & pe::SECTION_EXECUTE) && (s.Characteristics & pe::SECTION_WRITE))
            << s.Name;
    }
    for (pe::DirectoryIndex d :
         {pe::DIRECTORY_EXPORT, pe::DIRECTORY_EXCEPTION, pe::DIRECTORY_TLS, pe::DIRECTORY_LOAD_CONFIG})
        EXPECT_EQ(image_.Directories[d].Size, 0u) << "directory " << d;
}

// The image is the debug copy without its symbols and debug sections: the same sections with the same
// bytes, so the copy's symbols and lines describe the shipped code.
TEST_F(SysImage, HasNoSymbolsAndMatchesItsDebugCopy) {
    EXPECT_EQ(image_.SymbolTable, 0u);
    EXPECT_EQ(image_.SymbolCount, 0u);
    EXPECT_GT(debug_.SymbolCount, 0u);
    EXPECT_EQ(image_.EntryPoint, debug_.EntryPoint);
    size_t compared = 0;
    for (const pe::Section& s : image_.Sections) {
        for (const pe::Section& d : debug_.Sections) {
            if (d.Name != s.Name)
                continue;
            ++compared;
            ASSERT_EQ(d.VirtualAddress, s.VirtualAddress) << s.Name;
            EXPECT_TRUE(std::equal(image_.Mapped.begin() + s.VirtualAddress,
                                   image_.Mapped.begin() + s.VirtualAddress + s.VirtualSize,
                                   debug_.Mapped.begin() + d.VirtualAddress))
                << s.Name;
        }
    }
    EXPECT_EQ(compared, image_.Sections.size());
    EXPECT_GT(debug_.Sections.size(), image_.Sections.size()) << "no debug sections in the copy";
    EXPECT_NE(CommandOutput("i686-w64-mingw32-objdump -h " + DebugImagePath()).find(".debug_info"),
              std::string::npos)
        << "the debug copy has no debug information";
}

// Only what the driver calls is linked: the oracle and the wrappers the tests use stay out.
TEST_F(SysImage, CarriesNoCodeOnlyTheTestsCall) {
    const std::string symbols = Symbols();
    for (const char* routine :
         {"DemosaicBayerReference", "DemosaicBayer", "DemosaicBayerWithTableSpace", "ConvertColor",
          "ConvertMono", "ComputeWhiteBalance", "ConvertDeinterlacedFrame"}) {
        // The mangled name starts with the name's length and the name.
        const std::string mangled = " T __Z" + std::to_string(std::strlen(routine)) + routine;
        EXPECT_EQ(symbols.find(mangled), std::string::npos) << routine;
    }
    // ... while what the driver does call is there.
    EXPECT_NE(symbols.find(" T __Z16ConvertColorFrom"), std::string::npos);
}

// The version resource an installer and the file's properties read: this project's version, the file's
// name and what it is.
TEST_F(SysImage, CarriesTheProjectsVersionResource) {
    pe::VersionInfo version;
    std::string error;
    ASSERT_TRUE(pe::ReadVersionInfo(image_, &version, &error)) << error;
    unsigned major = 0, minor = 0, patch = 0;
    ASSERT_EQ(std::sscanf(Z40K_VERSION, "%u.%u.%u", &major, &minor, &patch), 3);
    const uint16_t expected[4] = {uint16_t(major), uint16_t(minor), uint16_t(patch), 0};
    EXPECT_TRUE(std::equal(expected, expected + 4, version.FileVersion));
    EXPECT_TRUE(std::equal(expected, expected + 4, version.ProductVersion));
    EXPECT_EQ(version.FileType, 3u) << "a driver";
    EXPECT_EQ(version.FileSubtype, 7u) << "a system driver";
    EXPECT_EQ(version.Strings["OriginalFilename"], "z40k.sys");
    EXPECT_EQ(version.Strings["FileVersion"], Z40K_VERSION);
    EXPECT_EQ(version.Strings["ProductVersion"], Z40K_VERSION);
    EXPECT_FALSE(version.Strings["FileDescription"].empty());
}

// x87 and vector registers belong to the interrupted thread unless saved first. A routine may use them
// only after it has saved them itself, or if it is one of the vector kernels, which the pipeline calls
// only between its own save and restore of the floating-point or the extended state.
bool IsVectorKernel(const std::string& Routine) {
    for (const char* mark : {"Sse2", "Ssse3", "Avx2", "Avx512", "Row512", "DemosaicStep"}) {
        if (Routine.find(mark) != std::string::npos)
            return true;
    }
    return false;
}

TEST_F(SysImage, UsesFloatingPointAndVectorRegistersOnlyAfterSavingThem) {
    std::istringstream code(
        CommandOutput("i686-w64-mingw32-objdump -d --no-show-raw-insn " + DebugImagePath()));
    std::string line, routine;
    bool saved = false;
    int checked = 0;
    while (std::getline(code, line)) {
        if (line.size() > 2 && line.back() == ':' && line.find(" <") != std::string::npos) {
            routine = line;
            saved = IsVectorKernel(routine);
            continue;
        }
        if (line.find("call") != std::string::npos &&
            (line.find("KeSaveFloatingPointState") != std::string::npos ||
             line.find("KeSaveExtendedProcessorState") != std::string::npos))
            saved = true;
        const std::string::size_type tab = line.rfind('\t');
        const std::string instruction = tab == std::string::npos ? "" : line.substr(tab + 1);
        bool usesState = instruction.rfind("fld", 0) == 0 || instruction.rfind("fild", 0) == 0 ||
                         instruction.rfind("fst", 0) == 0 || instruction.rfind("fist", 0) == 0;
        for (const char* reg : {"%xmm", "%ymm", "%zmm", "%st", "%mm", "%k"})
            usesState = usesState || instruction.find(reg) != std::string::npos;
        if (usesState) {
            ++checked;
            EXPECT_TRUE(saved) << routine << "\n" << line;
        }
    }
    EXPECT_GT(checked, 0) << "the white balance computes its gains in floating point";
}

} // namespace

#endif
