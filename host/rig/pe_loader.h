// Loads a kernel driver image (z40k.sys) into the 32-bit host: lays it out, moves it to where it lands,
// binds its imports by name to the host's kernel, stream class and camera class library stand-ins, and
// hands back its DriverEntry. The rest of the host then runs the driver exactly as the linked one.
#pragma once

#include "host/kernel/system_routines.h"
#include "host/rig/pe_image.h"
#include "platform/nt_types.h"

#include <string>
#include <vector>

namespace pe {

// One routine the host offers to driver images, by the module that exports it on Windows, and the
// oldest Windows whose module exports it.
struct HostExport {
    const char* Dll;
    const char* Name;
    void* Address;
    host::WindowsTarget Since = host::WindowsTarget::Xp;
};

// Everything the host's stand-ins export, with the calling conventions the images expect.
const std::vector<HostExport>& HostExports();

// Checks that every import of Image is one of Exports that Target has (module names compare without
// case), and gives each its address in Image.Imports order; false with the first missing one named in
// Error, with the target when only the target lacks it.
bool BindImports(const Image& Image, const std::vector<HostExport>& Exports, host::WindowsTarget Target,
                 std::vector<void*>* Addresses, std::string* Error);

struct LoadedDriver {
    void* Base = nullptr;
    uint32_t Size = 0;
    PDRIVER_INITIALIZE DriverEntry = nullptr;
};

// Reads, checks and maps the file as Target's loader would, which refuses an image that imports a routine
// the system lacks; false with a one-line reason in Error. Only a 32-bit host can run an i386 image:
// elsewhere every check is made and the load then refused.
bool LoadDriver(const std::string& Path, host::WindowsTarget Target, LoadedDriver* Out, std::string* Error);
bool LoadDriver(const std::vector<uint8_t>& File, host::WindowsTarget Target, LoadedDriver* Out,
                std::string* Error);
// Releases the image's memory; the driver must no longer be registered anywhere.
void UnloadDriver(LoadedDriver* Driver);

} // namespace pe
