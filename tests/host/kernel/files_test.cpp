#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "platform/kernel.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <cerrno>
#include <string>
#include <vector>
#include <sys/stat.h>

namespace {

class Files : public ::testing::Test {
  protected:
    void SetUp() override {
        host::ResetKernel();
        char pattern[] = "/tmp/z40k-files-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        base_ = pattern;
        drive_ = base_ + "/drive-c"; // not there yet: the first file creates it
        host::FilesSetDriveC(drive_);
    }
    void TearDown() override {
        EXPECT_EQ(host::FilesOpenHandles(), 0u);
        host::ResetKernel();
        std::string command = "rm -rf '" + base_ + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }

    static NTSTATUS Create(const char16_t* name, ACCESS_MASK access, ULONG disposition, HANDLE* handle,
                           IO_STATUS_BLOCK* iosb) {
        UNICODE_STRING text;
        RtlInitUnicodeString(&text, name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                                   nullptr);
        return ZwCreateFile(handle, access, &attributes, iosb, nullptr, FILE_ATTRIBUTE_NORMAL, 0, disposition,
                            FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    }

    static NTSTATUS Write(HANDLE handle, const std::string& data, IO_STATUS_BLOCK* iosb,
                          PLARGE_INTEGER offset = nullptr) {
        return ZwWriteFile(handle, nullptr, nullptr, nullptr, iosb, const_cast<char*>(data.data()),
                           static_cast<ULONG>(data.size()), offset, nullptr);
    }

    std::string Read(const std::string& name) const {
        std::ifstream in(drive_ + "/" + name, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string base_;
    std::string drive_;
};

TEST_F(Files, CreateOrTruncateThenWriteAtTheCurrentPosition) {
    HANDLE handle;
    IO_STATUS_BLOCK iosb{};
    ASSERT_EQ(Create(u"\\DosDevices\\C:\\DS-test.raw", GENERIC_WRITE, FILE_OVERWRITE_IF, &handle, &iosb),
              STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 2u); // created
    EXPECT_EQ(Write(handle, "abcdef", &iosb), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 6u);
    EXPECT_EQ(Write(handle, "gh", &iosb), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(Read("DS-test.raw"), "abcdefgh");

    // A second create truncates: nothing of the first content survives a shorter write.
    ASSERT_EQ(Create(u"\\DosDevices\\C:\\DS-test.raw", GENERIC_WRITE, FILE_OVERWRITE_IF, &handle, &iosb),
              STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 3u); // overwritten
    EXPECT_EQ(Write(handle, "xy", &iosb), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(Read("DS-test.raw"), "xy");
}

TEST_F(Files, DriveNameIsCaseInsensitiveAndTheShortFormWorks) {
    HANDLE handle;
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(Create(u"\\dosdevices\\c:\\a.bin", GENERIC_WRITE, FILE_OVERWRITE_IF, &handle, &iosb),
              STATUS_SUCCESS);
    ZwClose(handle);
    ASSERT_EQ(Create(u"\\??\\C:\\b.bin", GENERIC_WRITE, FILE_OVERWRITE_IF, &handle, &iosb), STATUS_SUCCESS);
    ZwClose(handle);
    struct stat info;
    EXPECT_EQ(stat((drive_ + "/a.bin").c_str(), &info), 0);
    EXPECT_EQ(stat((drive_ + "/b.bin").c_str(), &info), 0);
}

TEST_F(Files, ByteOffsetWritesThere) {
    HANDLE handle;
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(Create(u"\\DosDevices\\C:\\f", GENERIC_WRITE, FILE_OVERWRITE_IF, &handle, &iosb),
              STATUS_SUCCESS);
    Write(handle, "0123456789", &iosb);
    LARGE_INTEGER offset;
    offset.QuadPart = 3;
    EXPECT_EQ(Write(handle, "ab", &iosb, &offset), STATUS_SUCCESS);
    EXPECT_EQ(Write(handle, "c", &iosb), STATUS_SUCCESS); // goes on after the positioned write
    ZwClose(handle);
    EXPECT_EQ(Read("f"), "012abc6789");
}

struct BadName {
    const char16_t* Name;
    NTSTATUS Expected;
};

class FilesBadNames : public Files, public ::testing::WithParamInterface<BadName> {};

TEST_P(FilesBadNames, AreRefusedWithoutAHandle) {
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(Create(GetParam().Name, GENERIC_WRITE, FILE_OVERWRITE_IF, &handle, &iosb), GetParam().Expected);
    EXPECT_EQ(handle, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Names, FilesBadNames,
    ::testing::Values(BadName{u"\\DosDevices\\D:\\x.raw", STATUS_OBJECT_PATH_NOT_FOUND},
                      BadName{u"C:\\x.raw", STATUS_OBJECT_PATH_NOT_FOUND},
                      BadName{u"\\Device\\HarddiskVolume1\\x.raw", STATUS_OBJECT_PATH_NOT_FOUND},
                      BadName{u"\\DosDevices\\C:\\missing\\x.raw", STATUS_OBJECT_PATH_NOT_FOUND},
                      BadName{u"\\DosDevices\\C:\\..\\escape.raw", static_cast<NTSTATUS>(0xC0000033)},
                      BadName{u"\\DosDevices\\C:\\", static_cast<NTSTATUS>(0xC0000033)}));

// Every create disposition on a missing and on an existing file: the status, what Information reports
// and whether the old bytes survive (SUPERSEDE 0, OPEN 1, CREATE 2, OPEN_IF 3, OVERWRITE 4, OVERWRITE_IF 5).
TEST_F(Files, EachDispositionOpensCreatesOrTruncatesAsTheKernelDoes) {
    const NTSTATUS COLLISION = static_cast<NTSTATUS>(0xC0000035);
    struct Case {
        ULONG Disposition;
        bool Exists;
        NTSTATUS Status;
        ULONG Information; // 0 superseded, 1 opened, 2 created, 3 overwritten
        const char* Left;  // the file's bytes after the handle is closed
    } cases[] = {
        {0, false, STATUS_SUCCESS, 2, ""},
        {0, true, STATUS_SUCCESS, 0, ""},
        {1, false, STATUS_OBJECT_NAME_NOT_FOUND, 0, nullptr},
        {1, true, STATUS_SUCCESS, 1, "old"},
        {2, false, STATUS_SUCCESS, 2, ""},
        {2, true, COLLISION, 0, "old"},
        {3, false, STATUS_SUCCESS, 2, ""},
        {3, true, STATUS_SUCCESS, 1, "old"},
        {4, false, STATUS_OBJECT_NAME_NOT_FOUND, 0, nullptr},
        {4, true, STATUS_SUCCESS, 3, ""},
        {5, false, STATUS_SUCCESS, 2, ""},
        {5, true, STATUS_SUCCESS, 3, ""},
        {6, true, STATUS_INVALID_PARAMETER, 0, "old"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "disposition " << c.Disposition << (c.Exists ? " existing" : " missing"));
        ::mkdir(drive_.c_str(), 0777);
        std::remove((drive_ + "/f").c_str());
        if (c.Exists)
            std::ofstream(drive_ + "/f", std::ios::binary) << "old";
        HANDLE handle = nullptr;
        IO_STATUS_BLOCK iosb{};
        iosb.Information = 99;
        // Read access only: a truncating disposition still truncates.
        ASSERT_EQ(Create(u"\\DosDevices\\C:\\f", GENERIC_READ, c.Disposition, &handle, &iosb), c.Status);
        if (NT_SUCCESS(c.Status)) {
            EXPECT_EQ(iosb.Information, c.Information);
            EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        }
        struct stat info;
        EXPECT_EQ(::stat((drive_ + "/f").c_str(), &info) == 0, c.Left != nullptr);
        if (c.Left != nullptr) {
            EXPECT_EQ(Read("f"), c.Left);
        }
    }
}

TEST_F(Files, HandlesAreCheckedAtEveryUse) {
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(Write(reinterpret_cast<HANDLE>(0x1234), "x", &iosb), STATUS_INVALID_HANDLE);
    HANDLE handle;
    ASSERT_EQ(Create(u"\\DosDevices\\C:\\f", GENERIC_WRITE, FILE_OVERWRITE_IF, &handle, &iosb),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
    EXPECT_EQ(Write(handle, "x", &iosb), STATUS_INVALID_HANDLE);
}

TEST_F(Files, WritingThroughAReadOnlyHandleIsDenied) {
    HANDLE handle;
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(Create(u"\\DosDevices\\C:\\f", GENERIC_WRITE, FILE_OVERWRITE_IF, &handle, &iosb),
              STATUS_SUCCESS);
    Write(handle, "keep", &iosb);
    ZwClose(handle);
    ASSERT_EQ(Create(u"\\DosDevices\\C:\\f", GENERIC_READ, 1 /* FILE_OPEN */, &handle, &iosb),
              STATUS_SUCCESS);
    EXPECT_EQ(Write(handle, "lost", &iosb), STATUS_ACCESS_DENIED);
    ZwClose(handle);
    EXPECT_EQ(Read("f"), "keep");
}

TEST_F(Files, InjectedFailuresLeaveNoHandleAndNoBytes) {
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK iosb;
    host::InjectFault("ZwCreateFile", {1, 1, STATUS_ACCESS_DENIED});
    EXPECT_EQ(Create(u"\\DosDevices\\C:\\f", GENERIC_WRITE, FILE_OVERWRITE_IF, &handle, &iosb),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(host::FilesOpenHandles(), 0u);

    ASSERT_EQ(Create(u"\\DosDevices\\C:\\f", GENERIC_WRITE, FILE_OVERWRITE_IF, &handle, &iosb),
              STATUS_SUCCESS);
    host::InjectFault("ZwWriteFile", {1, 1, STATUS_IO_DEVICE_ERROR});
    EXPECT_EQ(Write(handle, "lost", &iosb), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(Write(handle, "kept", &iosb), STATUS_SUCCESS);
    host::InjectFault("ZwClose", {1, 1, STATUS_UNSUCCESSFUL});
    EXPECT_EQ(ZwClose(handle), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(host::FilesOpenHandles(), 1u);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(Read("f"), "kept");
}

// What the host could not do is told with the driver's name for the file, the host path, the status the
// driver got and the host's reason; what succeeded is not, and nothing is told once the kernel is reset.
TEST_F(Files, FailuresTheHostMeetsAreToldWithTheFileAndTheReason) {
    std::vector<host::FileFailure> told;
    host::FilesSetFailureObserver([&told](const host::FileFailure& Failure) { told.push_back(Failure); });
    HANDLE handle;
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(Create(u"\\DosDevices\\C:\\kept", GENERIC_WRITE, FILE_OVERWRITE_IF, &handle, &iosb),
              STATUS_SUCCESS);
    EXPECT_EQ(Write(handle, "data", &iosb), STATUS_SUCCESS);
    ZwClose(handle);
    ASSERT_EQ(::mkdir((drive_ + "/DS-test.raw").c_str(), 0777), 0);
    EXPECT_EQ(Create(u"\\DosDevices\\C:\\DS-test.raw", GENERIC_WRITE, FILE_OVERWRITE_IF, &handle, &iosb),
              static_cast<NTSTATUS>(0xC00000BA)); // STATUS_FILE_IS_A_DIRECTORY
    host::FilesSetDriveC(base_ + "/missing/drive-c");
    EXPECT_EQ(Create(u"\\??\\C:\\f", GENERIC_WRITE, FILE_OVERWRITE_IF, &handle, &iosb),
              STATUS_OBJECT_PATH_NOT_FOUND);
    // A device that takes no bytes: the write fails as a full disk.
    host::FilesSetDriveC("/dev");
    ASSERT_EQ(Create(u"\\DosDevices\\C:\\full", GENERIC_WRITE, FILE_OVERWRITE_IF, &handle, &iosb),
              STATUS_SUCCESS);
    EXPECT_EQ(Write(handle, "lost", &iosb), static_cast<NTSTATUS>(0xC000007F)); // STATUS_DISK_FULL
    ZwClose(handle);
    ASSERT_EQ(told.size(), 3u);
    EXPECT_EQ(told[0].Name, "\\DosDevices\\C:\\DS-test.raw");
    EXPECT_EQ(told[0].HostPath, drive_ + "/DS-test.raw");
    EXPECT_STREQ(told[0].Call, "ZwCreateFile");
    EXPECT_EQ(told[0].Errno, EISDIR);
    EXPECT_EQ(told[1].HostPath, base_ + "/missing/drive-c/f");
    EXPECT_EQ(told[1].Status, STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(told[1].Errno, ENOENT);
    EXPECT_EQ(told[2].Name, "\\DosDevices\\C:\\full");
    EXPECT_STREQ(told[2].Call, "ZwWriteFile");
    EXPECT_EQ(told[2].Errno, ENOSPC);
    host::ResetKernel();
    host::FilesSetDriveC(base_ + "/missing/drive-c");
    EXPECT_NE(Create(u"\\DosDevices\\C:\\f", GENERIC_WRITE, FILE_OVERWRITE_IF, &handle, &iosb),
              STATUS_SUCCESS);
    EXPECT_EQ(told.size(), 3u) << "the observer outlived the kernel's reset";
    host::FilesSetDriveC(drive_);
}

TEST_F(Files, ResetClosesHandlesAndRestoresTheDefaultDrive) {
    HANDLE handle;
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(Create(u"\\DosDevices\\C:\\f", GENERIC_WRITE, FILE_OVERWRITE_IF, &handle, &iosb),
              STATUS_SUCCESS);
    host::ResetKernel();
    EXPECT_EQ(host::FilesOpenHandles(), 0u);
    EXPECT_EQ(host::FilesDriveC(), "./drive-c");
    host::FilesSetDriveC(drive_);
}

} // namespace
