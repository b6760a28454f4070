// The driver image loader against small hand-made images: one well-formed image that imports one
// kernel routine and holds one absolute address, and that image broken in each way a file can be.
#include "host/rig/pe_loader.h"

#include "platform/kernel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace {

// Layout of the hand-made image (RVAs): code at 0x1000, imports at 0x2000, base relocations at 0x3000.
constexpr uint32_t PE = 0x40, OPT = PE + 24, SECTIONS = OPT + 224;
constexpr uint32_t IMAGE_BASE = 0x10000;
constexpr uint32_t IAT_SLOT = 0x2030, IMPORT_NAME = 0x2052, DLL_NAME = 0x2040;

void Put16(std::vector<uint8_t>& F, uint32_t At, uint32_t V) {
    F[At] = uint8_t(V);
    F[At + 1] = uint8_t(V >> 8);
}
void Put32(std::vector<uint8_t>& F, uint32_t At, uint32_t V) {
    Put16(F, At, V & 0xFFFF);
    Put16(F, At + 2, V >> 16);
}
uint32_t SectionHeader(int I) {
    return SECTIONS + 40 * I;
}

// File offset of an RVA in the image below: the section at 0x1000 * n has its raw data at 0x200 * n.
uint32_t FileOffset(uint32_t Rva) {
    return Rva / 0x1000 * 0x200 + Rva % 0x1000;
}

std::vector<uint8_t> GoodImage() {
    std::vector<uint8_t> f(0x800, 0);
    Put16(f, 0, 0x5A4D);
    Put32(f, 0x3C, PE);
    Put32(f, PE, 0x00004550);
    Put16(f, PE + 4, 0x014C); // i386
    Put16(f, PE + 6, 3);      // sections
    Put16(f, PE + 20, 224);   // optional header size
    Put16(f, PE + 22, 0x0102);
    Put16(f, OPT, 0x010B);              // PE32
    Put32(f, OPT + 16, 0x1000);         // entry point
    Put32(f, OPT + 28, IMAGE_BASE);     // image base
    Put32(f, OPT + 32, 0x1000);         // section alignment
    Put32(f, OPT + 36, 0x200);          // file alignment
    Put32(f, OPT + 56, 0x4000);         // size of image
    Put32(f, OPT + 60, 0x200);          // size of headers
    Put16(f, OPT + 68, 1);              // native
    Put32(f, OPT + 92, 16);             // directories
    Put32(f, OPT + 96 + 8 * 1, 0x2000); // imports
    Put32(f, OPT + 96 + 8 * 1 + 4, 40);
    Put32(f, OPT + 96 + 8 * 5, 0x3000); // base relocations
    Put32(f, OPT + 96 + 8 * 5 + 4, 12);
    const char* names[] = {".text", ".idata", ".reloc"};
    const uint32_t flags[] = {0x60000020, 0xC0000040, 0x42000040};
    for (int i = 0; i < 3; ++i) {
        std::memcpy(&f[SectionHeader(i)], names[i], std::strlen(names[i]));
        Put32(f, SectionHeader(i) + 8, 0x200);             // virtual size
        Put32(f, SectionHeader(i) + 12, 0x1000 * (i + 1)); // virtual address
        Put32(f, SectionHeader(i) + 16, 0x200);            // raw size
        Put32(f, SectionHeader(i) + 20, 0x200 * (i + 1));  // raw offset
        Put32(f, SectionHeader(i) + 36, flags[i]);
    }
    // mov eax, [IMAGE_BASE + IAT_SLOT]; ret 8 -- DriverEntry answers with the address bound to its import.
    const uint8_t code[] = {0xA1, 0, 0, 0, 0, 0xC2, 0x08, 0x00};
    std::memcpy(&f[FileOffset(0x1000)], code, sizeof code);
    Put32(f, FileOffset(0x1001), IMAGE_BASE + IAT_SLOT);
    // One import descriptor and the terminating one; lookup table at 0x2028, address table at 0x2030.
    Put32(f, FileOffset(0x2000), 0x2028);
    Put32(f, FileOffset(0x2000) + 12, DLL_NAME);
    Put32(f, FileOffset(0x2000) + 16, IAT_SLOT);
    Put32(f, FileOffset(0x2028), IMPORT_NAME - 2);
    Put32(f, FileOffset(IAT_SLOT), IMPORT_NAME - 2);
    std::memcpy(&f[FileOffset(DLL_NAME)], "NTOSKRNL.EXE", 12);
    std::memcpy(&f[FileOffset(IMPORT_NAME)], "ExAllocatePoolWithTag", 21);
    // One relocation block: the absolute address at 0x1001, then a padding entry.
    Put32(f, FileOffset(0x3000), 0x1000);
    Put32(f, FileOffset(0x3000) + 4, 12);
    Put16(f, FileOffset(0x3000) + 8, 0x3000 | 0x001);
    return f;
}

TEST(DriverImageLoader, RefusesEachMalformedImageWithItsReason) {
    struct Case {
        const char* What;
        std::function<void(std::vector<uint8_t>&)> Break;
        const char* Reason;
    };
    const Case cases[] = {
        {"no MZ", [](auto& f) { f[0] = 'Z'; }, "no MZ header"},
        {"PE header past the end", [](auto& f) { Put32(f, 0x3C, 0x7FFFFFF0); }, "no PE signature"},
        {"x86-64 machine", [](auto& f) { Put16(f, PE + 4, 0x8664); }, "not an i386 image (machine 0x8664)"},
        {"PE32+ header", [](auto& f) { Put16(f, OPT, 0x020B); }, "not a PE32 image"},
        {"section table cut off", [](auto& f) { f.resize(SectionHeader(2) + 20); },
         "truncated section table"},
        {"section table claims more", [](auto& f) { Put16(f, PE + 6, 96); }, "truncated section table"},
        {"sections overlap", [](auto& f) { Put32(f, SectionHeader(1) + 12, 0x1100); },
         "section .idata overlaps section .text"},
        {"section over the headers", [](auto& f) { Put32(f, SectionHeader(0) + 12, 0x100); },
         "section .text overlaps the headers"},
        {"section data past the file", [](auto& f) { Put32(f, SectionHeader(2) + 20, 0xFFFFFF00); },
         "section .reloc has data outside the file"},
        {"section past the image", [](auto& f) { Put32(f, SectionHeader(2) + 12, 0x3F00); },
         "section .reloc lies outside the image"},
        {"relocation outside",
         [](auto& f) {
             Put32(f, FileOffset(0x3000), 0x3FF0);
             Put16(f, FileOffset(0x3000) + 8, 0x3FFE);
         },
         "relocation points outside the image"},
        {"relocation table outside", [](auto& f) { Put32(f, OPT + 96 + 8 * 5, 0x3FFC); },
         "relocation table lies outside the image"},
        {"relocation block too long", [](auto& f) { Put32(f, FileOffset(0x3000) + 4, 0x400); },
         "has a bad size"},
        {"import name outside", [](auto& f) { Put32(f, FileOffset(0x2000) + 12, 0x7FFF0000); },
         "import table points outside the image"},
        {"import slot outside", [](auto& f) { Put32(f, FileOffset(0x2000) + 16, 0x3FFE); },
         "import table points outside the image"},
        {"import name unterminated", [](auto& f) { Put32(f, FileOffset(0x2028), 0x3FFE); },
         "import table points outside the image"},
        {"import by ordinal", [](auto& f) { Put32(f, FileOffset(0x2028), 0x80000005); }, "by ordinal"},
        {"unknown import", [](auto& f) { std::memcpy(&f[FileOffset(IMPORT_NAME)], "KeBugCheckEx\0", 13); },
         "imports NTOSKRNL.EXE!KeBugCheckEx, which the host does not provide"},
        {"unknown module", [](auto& f) { std::memcpy(&f[FileOffset(DLL_NAME)], "WIN32K.SYS\0", 11); },
         "imports WIN32K.SYS!ExAllocatePoolWithTag, which the host does not provide"},
        {"image over 16 MiB", [](auto& f) { Put32(f, OPT + 56, (16u << 20) + 0x1000); },
         "image of 16781312 bytes is larger than 16 MiB"},
        {"entry point outside", [](auto& f) { Put32(f, OPT + 16, 0x4000); },
         "entry point lies outside the image"},
        {"not a driver", [](auto& f) { Put16(f, OPT + 68, 3); }, "not a kernel driver (subsystem 3)"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> file = GoodImage();
        c.Break(file);
        file.shrink_to_fit(); // exactly the file's bytes, so that a read past them lands in a red zone
        pe::LoadedDriver driver;
        std::string error;
        EXPECT_FALSE(pe::LoadDriver(file, host::WindowsTarget::Ten, &driver, &error)) << c.What;
        EXPECT_NE(error.find(c.Reason), std::string::npos) << c.What << ": " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << c.What;
        EXPECT_EQ(driver.DriverEntry, nullptr) << c.What;
    }
}

// Each target binds what it exports and only that, and a loader refuses a routine its system lacks by
// the routine's and the system's names; the kernel's own lookup by name agrees with the loader.
TEST(DriverImageLoader, EachTargetBindsTheRoutinesItExportsFromThatVersionOn) {
    pe::Image image;
    std::string error;
    std::vector<uint8_t> file = GoodImage();
    std::memcpy(&file[FileOffset(IMPORT_NAME)], "KeRestoreExtendedProcessorState", 32);
    pe::LoadedDriver driver;
    EXPECT_FALSE(pe::LoadDriver(file, host::WindowsTarget::Xp, &driver, &error));
    EXPECT_EQ(error,
              "imports NTOSKRNL.EXE!KeRestoreExtendedProcessorState, which Windows XP does not export");
    EXPECT_FALSE(pe::LoadDriver(file, host::WindowsTarget::Vista, &driver, &error));
    EXPECT_EQ(error,
              "imports NTOSKRNL.EXE!KeRestoreExtendedProcessorState, which Windows Vista does not export");
    ASSERT_TRUE(pe::ParseImage(file, &image, &error)) << error;
    const host::WindowsTarget targets[] = {host::WindowsTarget::Xp, host::WindowsTarget::Vista,
                                           host::WindowsTarget::Seven, host::WindowsTarget::Ten};
    for (host::WindowsTarget target : targets) {
        std::vector<void*> addresses;
        const bool seven = target >= host::WindowsTarget::Seven;
        EXPECT_EQ(pe::BindImports(image, pe::HostExports(), target, &addresses, &error), seven)
            << host::WindowsTargetName(target);
        EXPECT_EQ(host::KernelExportOf("KeRestoreExtendedProcessorState", target) != nullptr, seven);
        EXPECT_NE(host::KernelExportOf("MmGetSystemRoutineAddress", target), nullptr);
    }
}

TEST(DriverImageLoader, RefusesAFileLargerThan16MiBBeforeReadingIt) {
    std::vector<uint8_t> file = GoodImage();
    file.resize((16u << 20) + 1);
    pe::Image image;
    std::string error;
    EXPECT_FALSE(pe::ParseImage(file, &image, &error));
    EXPECT_EQ(error, "file of 16777217 bytes is larger than 16 MiB");
}

#if defined(__i386__)
TEST(DriverImageLoader, MovesTheImageAndBindsItsImportsBeforeCallingItsEntry) {
    pe::LoadedDriver driver;
    std::string error;
    ASSERT_TRUE(pe::LoadDriver(GoodImage(), host::WindowsTarget::Xp, &driver, &error)) << error;
    EXPECT_NE(driver.Base, reinterpret_cast<void*>(IMAGE_BASE)); // so the relocation mattered
    // The entry reads its import slot through the relocated absolute address: it finds the host's
    // routine only if both the relocation and the binding were applied.
    const NTSTATUS answer = driver.DriverEntry(nullptr, nullptr);
    EXPECT_EQ(static_cast<uint32_t>(answer), reinterpret_cast<uintptr_t>(&ExAllocatePoolWithTag));
    pe::UnloadDriver(&driver);
}
#else
TEST(DriverImageLoader, RefusesToRunAnI386ImageInThe64BitHost) {
    pe::LoadedDriver driver;
    std::string error;
    EXPECT_FALSE(pe::LoadDriver(GoodImage(), host::WindowsTarget::Ten, &driver, &error));
    EXPECT_NE(error.find("32-bit"), std::string::npos) << error;
}
#endif

} // namespace
