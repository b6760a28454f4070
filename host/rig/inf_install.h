// Installing a driver from its INF as the platform's installer does for a device it has found: the
// version section checked, the model of the device's hardware ID found through the manufacturer section,
// its install section (the most specific of .NTx86, .NT and the plain one) carried out: the system INFs
// it includes and needs, the registry entries it adds to the device's driver key, the files it copies
// (into the folder behind C:\WINDOWS), its service as a kernel driver with the service key's values,
// and its device interfaces. The whole INF is checked before anything is written: an INF that cannot be
// installed installs nothing and is refused with one line naming the file and the line.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace rig {

// The imaging device class, under which the host keeps the camera's driver key.
constexpr const char* IMAGE_CLASS_GUID = "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}";

struct InfSource {
    std::string Name; // the INF's file name, for messages
    std::string Text; // its contents
    // The package: where each file the INF copies is, by its name in lower case. Empty: copy none (the
    // driver linked into the program stands for the files).
    std::map<std::string, std::string> Files;
};

struct InstalledDriver {
    std::string Model;                   // the device description
    std::string Service;                 // the service's name: its key is ...\Services\NAME
    std::string ImagePath;               // as written to the service key
    std::string DriverFile;              // the host path of the copied driver file, when one was copied
    std::vector<std::string> Interfaces; // device interface class GUIDs, in the INF's order
};

// Installs Inf for the device with HardwareId, its driver key at DriverKey; false with a one-line
// *Error, and nothing written, when the INF cannot be installed.
bool InstallFromInf(const InfSource& Inf, const std::string& HardwareId, const std::string& DriverKey,
                    InstalledDriver* Out, std::string* Error);

// The INF of this project, as the build found it (driver/sys/z40k.inf).
InfSource BuiltInInf();

// Whether Text is a GUID in braces: {8-4-4-4-12 hex digits}.
bool IsGuid(const std::string& Text);

} // namespace rig
