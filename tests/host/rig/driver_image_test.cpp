// What z40k.sys is, read from the binary the build made: an i386 kernel driver whose entry point is
// DriverEntry, that imports only the platform routines the driver uses from the three modules that
// export them, and carries nothing of a C or C++ runtime.
#include "host/rig/pe_image.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#if defined(Z40K_SYS_IMAGE)

namespace {

std::vector<uint8_t> ReadSysImage() {
    std::ifstream in(Z40K_SYS_IMAGE, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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
        ASSERT_TRUE(pe::ParseImage(ReadSysImage(), &image_, &error)) << Z40K_SYS_IMAGE << ": " << error;
    }
    pe::Image image_;
};

TEST_F(SysImage, IsANativeI386DriverEnteredAtDriverEntry) {
    EXPECT_EQ(image_.Machine, pe::MACHINE_I386);
    EXPECT_EQ(image_.Subsystem, pe::SUBSYSTEM_NATIVE);
    EXPECT_EQ(image_.Characteristics & 0x2000, 0) << "a driver is not a DLL";
    EXPECT_EQ(image_.ImageBase, 0x10000u);
    EXPECT_EQ(image_.SectionAlignment, 0x1000u);
    EXPECT_EQ(image_.CheckSum, image_.ComputedCheckSum);
    EXPECT_FALSE(image_.Relocations.empty()) << "the kernel loads drivers at any address";
    // The symbol table the linker leaves names the routine at the entry point.
    const std::string symbols = CommandOutput("i686-w64-mingw32-nm " Z40K_SYS_IMAGE);
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
         {"ExAllocatePoolWithTag",
          "ExFreePool",
          "IoOpenDeviceRegistryKey",
          "ZwCreateKey",
          "ZwQueryValueKey",
          "ZwSetValueKey",
          "ZwClose",
          "ZwCreateFile",
          "ZwWriteFile",
          "KeInitializeEvent",
          "IoBuildSynchronousFsdRequest",
          "IofCallDriver",
          "KeWaitForSingleObject",
          "KeDelayExecutionThread",
          "RtlInitUnicodeString",
          "RtlCompareMemory",
          "KeSaveFloatingPointState",
          "KeRestoreFloatingPointState",
          "KeSaveExtendedProcessorState",
          "KeRestoreExtendedProcessorState"}},
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
    }
    // Whatever the vector paths need, the frame, registry, file and wait routines are always there.
    for (const char* name : {"ExAllocatePoolWithTag", "ZwSetValueKey", "ZwWriteFile", "IofCallDriver",
                             "KeDelayExecutionThread", "KeSaveFloatingPointState"})
        EXPECT_TRUE(imported["ntoskrnl.exe"].count(name)) << name;
    EXPECT_EQ(imported["STREAM.SYS"], allowed.at("STREAM.SYS"));
    EXPECT_EQ(imported["QuorixZ40KUSB.SYS"], allowed.at("QuorixZ40KUSB.SYS"));
}

TEST_F(SysImage, CarriesNoRuntimeSectionsOrTables) {
    for (const pe::Section& s : image_.Sections) {
        for (const char* forbidden : {".tls", ".CRT", ".ctors", ".dtors", ".init_array", ".fini_array",
                                      ".eh_frame", ".pdata", ".xdata", ".gcc_except_table", ".edata"})
            EXPECT_NE(s.Name, forbidden);
        // Writable code would let a stray store change the driver.
        EXPECT_FALSE((s.Characteristics & pe::SECTION_EXECUTE) && (s.Characteristics & pe::SECTION_WRITE))
            << s.Name;
    }
    for (pe::DirectoryIndex d :
         {pe::DIRECTORY_EXPORT, pe::DIRECTORY_EXCEPTION, pe::DIRECTORY_TLS, pe::DIRECTORY_LOAD_CONFIG})
        EXPECT_EQ(image_.Directories[d].Size, 0u) << "directory " << d;
}

// x87 and vector registers belong to the interrupted thread unless saved first. A routine may use them
// only after it has saved them itself, or if it is one of the vector kernels, which the pipeline calls
// only between its own save and restore of the extended state.
bool IsVectorKernel(const std::string& Routine) {
    for (const char* mark : {"Avx2", "Avx512", "Row512", "DemosaicStep"}) {
        if (Routine.find(mark) != std::string::npos)
            return true;
    }
    return false;
}

TEST_F(SysImage, UsesFloatingPointAndVectorRegistersOnlyAfterSavingThem) {
    std::istringstream code(CommandOutput("i686-w64-mingw32-objdump -d --no-show-raw-insn " Z40K_SYS_IMAGE));
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
