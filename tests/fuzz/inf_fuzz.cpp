// The INF reader and installer over any text: either the whole INF installs, or it is refused with one
// line naming the file and a line of it, and then nothing of it is in the registry or on drive C.
#include "host/kernel/kernel_host.h"
#include "host/rig/inf_install.h"
#include "tests/fuzz/fuzz_support.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    static const std::string driveC =
        (std::filesystem::temp_directory_path() / ("z40k-inf-fuzz-" + std::to_string(::getpid()))).string();
    static const std::string image = driveC + "-package-z40k.sys";
    if (!std::filesystem::exists(image)) {
        std::filesystem::create_directories(driveC);
        std::ofstream(image) << "MZ";
    }
    host::ResetKernel();
    host::FilesSetDriveC(driveC);
    std::filesystem::remove_all(driveC + "/WINDOWS");
    rig::InfSource inf{
        "fuzz.inf", std::string(reinterpret_cast<const char*>(Data), Size), {{"z40k.sys", image}}};
    rig::InstalledDriver installed;
    std::string error;
    if (rig::InstallFromInf(inf, "USB\\VID_1209&PID_0001", host::DriverKeyPath(), &installed, &error)) {
        FUZZ_CHECK(!installed.Service.empty() && !installed.ImagePath.empty());
        FUZZ_CHECK(host::RegistryKeyExists("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" +
                                           installed.Service));
        return 0;
    }
    FUZZ_CHECK(error.compare(0, 9, "fuzz.inf:") == 0 && error.find('\n') == std::string::npos);
    FUZZ_CHECK(!host::RegistryKeyExists(host::DriverKeyPath()));
    FUZZ_CHECK(!host::RegistryKeyExists("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services"));
    FUZZ_CHECK(!std::filesystem::exists(driveC + "/WINDOWS"));
    return 0;
}
