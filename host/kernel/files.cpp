// Files. Drive C: of the kernel's name space, \DosDevices\C:\ (or \??\C:\), maps to a folder of the host;
// no other device exists. Handles share the table of registry keys.
#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "platform/kernel.h"
#include "host/kernel/kernel_internal.h"

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace host {
namespace {

// Create dispositions and the Information values that report what was done.
constexpr ULONG FILE_SUPERSEDE = 0;
constexpr ULONG FILE_OPEN = 1;
constexpr ULONG FILE_CREATE = 2;
constexpr ULONG FILE_OPEN_IF = 3;
constexpr ULONG FILE_OVERWRITE = 4;
constexpr ULONG FILE_SUPERSEDED = 0;
constexpr ULONG FILE_OPENED = 1;
constexpr ULONG FILE_CREATED = 2;
constexpr ULONG FILE_OVERWRITTEN = 3;
constexpr ACCESS_MASK FILE_WRITE_DATA = 0x0002;
constexpr ACCESS_MASK FILE_APPEND_DATA = 0x0004;
constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = static_cast<NTSTATUS>(0xC0000035);
constexpr NTSTATUS STATUS_DISK_FULL = static_cast<NTSTATUS>(0xC000007F);
constexpr NTSTATUS STATUS_FILE_IS_A_DIRECTORY = static_cast<NTSTATUS>(0xC00000BA);

const char* const DEFAULT_DRIVE_C = "./drive-c";

std::mutex& DriveMutex() {
    static std::mutex m;
    return m;
}

std::string& DriveC() {
    static std::string* folder = new std::string(DEFAULT_DRIVE_C);
    return *folder;
}

bool CanWrite(ACCESS_MASK access) {
    return (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
}

bool CanRead(ACCESS_MASK access) {
    return (access & (GENERIC_READ | GENERIC_ALL | 0x0001)) != 0;
}

FileFailureObserver& FailureObserver() {
    static FileFailureObserver* observer = new FileFailureObserver();
    return *observer;
}

// Tells the observer, if any, of a file the host could not create or write.
void ReportFailure(const std::string& Name, const std::string& HostPath, const char* Call, NTSTATUS Status,
                   int Error) {
    FileFailureObserver observer;
    {
        std::lock_guard<std::mutex> lock(DriveMutex());
        observer = FailureObserver();
    }
    if (observer)
        observer(FileFailure{Name, HostPath, Call, Status, Error});
}

// The host path of a kernel name below drive C:, or a failure status.
NTSTATUS HostPathOf(const std::string& name, std::string* path) {
    static const char* const prefixes[] = {"\\DOSDEVICES\\C:\\", "\\??\\C:\\"};
    std::string folded = detail::FoldCase(name);
    std::string rest;
    bool found = false;
    for (const char* prefix : prefixes) {
        std::string p(prefix);
        if (folded.compare(0, p.size(), p) == 0) {
            rest = name.substr(p.size());
            found = true;
            break;
        }
    }
    if (!found)
        return STATUS_OBJECT_PATH_NOT_FOUND;
    // Components may not be empty, "." or "..", nor hold characters Windows refuses in file names.
    std::vector<std::string> parts;
    if (!detail::SplitPath(rest, &parts))
        return STATUS_OBJECT_NAME_INVALID;
    std::string relative;
    for (const std::string& part : parts) {
        if (part == "." || part == ".." || part.find_first_of("/:*?\"<>|") != std::string::npos)
            return STATUS_OBJECT_NAME_INVALID;
        relative += "/" + part;
    }
    std::lock_guard<std::mutex> lock(DriveMutex());
    *path = DriveC() + relative;
    return STATUS_SUCCESS;
}

// The kernel name and host path of the file that ObjectAttributes names, or a failure status.
NTSTATUS HostPathOf(const OBJECT_ATTRIBUTES& attributes, std::string* name, std::string* path) {
    if (attributes.RootDirectory != nullptr)
        return STATUS_OBJECT_PATH_NOT_FOUND; // only full names are served
    if (!detail::Utf8FromUnicode(attributes.ObjectName, name))
        return STATUS_INVALID_PARAMETER;
    return HostPathOf(*name, path);
}

// Whether the disposition may create the file.
bool Creates(ULONG disposition) {
    return disposition != FILE_OPEN && disposition != FILE_OVERWRITE;
}

// The open(2) flags of a create disposition and access, or STATUS_INVALID_PARAMETER for a disposition
// that is none of the six.
NTSTATUS OpenFlags(ULONG disposition, ACCESS_MASK access, int* flags) {
    bool write = CanWrite(access);
    bool read = CanRead(access);
    int open_flags = O_CLOEXEC | (write ? (read ? O_RDWR : O_WRONLY) : O_RDONLY);
    switch (disposition) {
    case FILE_SUPERSEDE:
    case FILE_OVERWRITE_IF:
        open_flags |= O_CREAT | O_TRUNC;
        break;
    case FILE_OPEN:
        break;
    case FILE_CREATE:
        open_flags |= O_CREAT | O_EXCL;
        break;
    case FILE_OPEN_IF:
        open_flags |= O_CREAT;
        break;
    case FILE_OVERWRITE:
        open_flags |= O_TRUNC;
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    if ((open_flags & O_TRUNC) != 0 && !write) // truncating needs write access on the host
        open_flags = (open_flags & ~(O_RDONLY | O_WRONLY | O_RDWR)) | O_RDWR;
    *flags = open_flags;
    return STATUS_SUCCESS;
}

// The status of a failed open(2), from its errno and whether the file was there before.
NTSTATUS OpenFailure(int error, bool existed, bool creates) {
    switch (error) {
    case ENOENT:
        return existed || creates ? STATUS_OBJECT_PATH_NOT_FOUND : STATUS_OBJECT_NAME_NOT_FOUND;
    case EEXIST:
        return STATUS_OBJECT_NAME_COLLISION;
    case EACCES:
    case EPERM:
    case EROFS:
        return STATUS_ACCESS_DENIED;
    case ENOTDIR:
        return STATUS_OBJECT_PATH_NOT_FOUND;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

// The Information of a successful create: what the disposition did to the file.
ULONG CreateInformation(ULONG disposition, bool existed) {
    switch (disposition) {
    case FILE_SUPERSEDE:
        return existed ? FILE_SUPERSEDED : FILE_CREATED;
    case FILE_OVERWRITE_IF:
    case FILE_OVERWRITE:
        return existed ? FILE_OVERWRITTEN : FILE_CREATED;
    case FILE_CREATE:
        return FILE_CREATED;
    default:
        return existed ? FILE_OPENED : FILE_CREATED;
    }
}

} // namespace

void FilesSetFailureObserver(FileFailureObserver Observer) {
    std::lock_guard<std::mutex> lock(DriveMutex());
    FailureObserver() = std::move(Observer);
}

void FilesSetDriveC(const std::string& Folder) {
    std::lock_guard<std::mutex> lock(DriveMutex());
    DriveC() = Folder;
}

std::string FilesDriveC() {
    std::lock_guard<std::mutex> lock(DriveMutex());
    return DriveC();
}

size_t FilesOpenHandles() {
    return detail::HandleCount(detail::HandleKind::File);
}

namespace detail {

void ResetFiles() {
    FilesSetDriveC(DEFAULT_DRIVE_C);
    FilesSetFailureObserver(nullptr);
}

} // namespace detail
} // namespace host

NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                            POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                            PLARGE_INTEGER, ULONG, ULONG, ULONG CreateDisposition, ULONG, PVOID, ULONG) {
    host::detail::VerifyIrql("ZwCreateFile");
    NTSTATUS status;
    if (host::ShouldFail("ZwCreateFile", &status))
        return status;
    if (FileHandle == nullptr || ObjectAttributes == nullptr || IoStatusBlock == nullptr ||
        ObjectAttributes->ObjectName == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::string name;
    std::string path;
    status = host::HostPathOf(*ObjectAttributes, &name, &path);
    if (!NT_SUCCESS(status))
        return status;
    int flags;
    status = host::OpenFlags(CreateDisposition, DesiredAccess, &flags);
    if (!NT_SUCCESS(status))
        return status;

    struct stat info;
    bool existed = ::stat(path.c_str(), &info) == 0;
    if (existed && S_ISDIR(info.st_mode)) {
        host::ReportFailure(name, path, "ZwCreateFile", host::STATUS_FILE_IS_A_DIRECTORY, EISDIR);
        return host::STATUS_FILE_IS_A_DIRECTORY;
    }
    bool creates = host::Creates(CreateDisposition);
    if (creates)
        ::mkdir(host::FilesDriveC().c_str(), 0777); // the drive's folder appears with its first file
    int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) {
        const int error = errno;
        status = host::OpenFailure(error, existed, creates);
        host::ReportFailure(name, path, "ZwCreateFile", status, error);
        return status;
    }
    host::detail::HandleEntry entry{host::detail::HandleKind::File, DesiredAccess, fd, name};
    *FileHandle = host::detail::HandleInsert(entry);
    IoStatusBlock->Status = STATUS_SUCCESS;
    IoStatusBlock->Information = host::CreateInformation(CreateDisposition, existed);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwWriteFile(HANDLE FileHandle, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK IoStatusBlock,
                           PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset, PULONG) {
    host::detail::VerifyIrql("ZwWriteFile");
    NTSTATUS status;
    if (host::ShouldFail("ZwWriteFile", &status))
        return status;
    host::detail::HandleEntry entry;
    if (!host::detail::HandleLookup(FileHandle, &entry) || entry.Kind != host::detail::HandleKind::File)
        return STATUS_INVALID_HANDLE;
    if (IoStatusBlock == nullptr || (Buffer == nullptr && Length != 0))
        return STATUS_INVALID_PARAMETER;
    if (!host::CanWrite(entry.Access))
        return STATUS_ACCESS_DENIED;
    if (ByteOffset != nullptr && ByteOffset->QuadPart >= 0) {
        if (::lseek(entry.Fd, static_cast<off_t>(ByteOffset->QuadPart), SEEK_SET) < 0)
            return STATUS_INVALID_PARAMETER;
    }
    const UCHAR* data = static_cast<const UCHAR*>(Buffer);
    ULONG written = 0;
    while (written < Length) {
        ssize_t n = ::write(entry.Fd, data + written, Length - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            status = error != ENOSPC ? STATUS_IO_DEVICE_ERROR : host::STATUS_DISK_FULL;
            IoStatusBlock->Status = status;
            IoStatusBlock->Information = written;
            std::string path;
            host::HostPathOf(entry.KeyPath, &path);
            host::ReportFailure(entry.KeyPath, path, "ZwWriteFile", status, error);
            return status;
        }
        written += static_cast<ULONG>(n);
    }
    IoStatusBlock->Status = STATUS_SUCCESS;
    IoStatusBlock->Information = written;
    return STATUS_SUCCESS;
}
