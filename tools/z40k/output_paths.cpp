#include "tools/z40k/output_paths.h"

#include "tools/z40k/device_properties_cli.h"
#include "tools/z40k/messages.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

namespace z40k {
namespace {

std::string ParentOf(const std::string& Path) {
    return std::filesystem::path(Path).parent_path().string();
}

// The driver's name for a file below drive C, as a user of the platform writes it: C:\DS-test.raw.
std::string DriveName(const std::string& KernelName) {
    for (const char* prefix : {"\\DosDevices\\", "\\??\\"}) {
        const size_t length = std::strlen(prefix);
        if (KernelName.compare(0, length, prefix) == 0)
            return KernelName.substr(length);
    }
    return KernelName;
}

} // namespace

void CheckOutputFile(const std::string& Path, const std::string& What) {
    const int reason = rig::FolderRefusesFiles(ParentOf(Path));
    if (reason != 0)
        throw RuntimeError(Path, "cannot write the " + What + ": " + std::strerror(reason));
}

bool PrepareOutputFolder(const std::string& Path, const std::string& What, bool Make, bool Writable) {
    auto refused = [&](int Reason) {
        return RuntimeError(Path, "cannot use it for " + What + ": " + std::strerror(Reason));
    };
    struct stat info;
    if (::stat(Path.c_str(), &info) == 0) {
        if (!S_ISDIR(info.st_mode))
            throw refused(ENOTDIR);
        if (Writable && ::access(Path.c_str(), W_OK) != 0)
            throw refused(errno);
        return false;
    }
    if (errno != ENOENT)
        throw refused(errno);
    // Only the folder itself: a mistyped parent is not made into a tree of folders.
    const int parent = rig::FolderRefusesFiles(ParentOf(Path));
    if (parent != 0)
        throw refused(parent);
    if (!Make)
        return false;
    if (::mkdir(Path.c_str(), 0777) != 0)
        throw refused(errno);
    return true;
}

void WarnFileFailure(const rig::FileFailure& Failure) {
    PrintWarning(Failure.HostPath, "the driver's " + DriveName(Failure.Name) +
                                       " was not written: " + std::strerror(Failure.Errno) + " (" +
                                       Failure.Call + ": " + StatusName(Failure.Status) + ")");
}

} // namespace z40k
