// One whole session (bring-up, stream open, run, three frames, property sets of every set, stop with the
// settings save, close, removal, registry file saved) run once to count the fallible platform calls it
// makes, then once per call with just that call failing. However a session fails it must end with
// statuses a caller can act on, every SRB completed exactly once, no pool block or handle left behind,
// and the registry file either as it was or fully written.
#include "host/cameralib/library_device.h"
#include "host/rig/rig.h"
#include "driver/driver_entry.h"
#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "platform/camera_properties.h"
#include "host/streamclass/client.h"
#include "host/simcam/simulated_camera.h"
#include "tests/component/fresh_host.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Every call of the platform a session can see fail: pool, camera, alternate settings, registry, files,
// the query IRP, the processor-state saves and the lookup of the extended-state routines. (A failed
// ZwClose is left out: a caller can do nothing about it, and the stand-in then keeps the handle, which
// would read as a leak.)
const char* const FALLIBLE_CALLS[] = {"ExAllocatePoolWithTag",
                                      "vendor",
                                      "simcam:alt",
                                      "IoOpenDeviceRegistryKey",
                                      "ZwCreateKey",
                                      "ZwQueryValueKey",
                                      "ZwSetValueKey",
                                      "ZwCreateFile",
                                      "ZwWriteFile",
                                      "IoBuildSynchronousFsdRequest",
                                      "KeSaveFloatingPointState",
                                      "KeSaveExtendedProcessorState",
                                      "MmGetSystemRoutineAddress",
                                      "RegistrySaveFile"};

struct PropertyData {
    KSPROPERTY Property;
    LONG Value;
    ULONG Flags;
    ULONG Capabilities;
    ULONG Reserved;
};

std::string ReadFile(const std::string& Path) {
    std::ifstream in(Path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class FailureSweep : public ::testing::Test {
  protected:
    void SetUp() override {
        // In memory where there is such a folder: the save flushes the file to disk at every session.
        const std::string folder = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm/" : ::testing::TempDir();
        file_ = folder + "z40k-sweep-" + std::to_string(::getpid()) + ".reg";
    }
    void TearDown() override { std::remove(file_.c_str()); }

    // A status a caller can act on: success, or an error (never pending, never a warning or a leftover).
    void Expect(NTSTATUS Status, const std::string& Step) {
        if (Status != STATUS_SUCCESS && (ULONG(Status) >> 30) != 3)
            ADD_FAILURE() << where_ << ": " << Step << " returned 0x" << std::hex << ULONG(Status);
    }

    NTSTATUS SetProperty(streamclass::Filter& Filter, const GUID& Set, ULONG Id, LONG Value, ULONG Size,
                         bool Validate) {
        PropertyData data{};
        data.Property.Set = Set;
        data.Property.Id = Id;
        data.Property.Flags = KSPROPERTY_TYPE_SET;
        data.Value = Value;
        data.Flags = 2; // manual
        KSPROPERTY property = data.Property;
        ULONG returned = 0;
        return Filter.DeviceProperty(true, &property, sizeof property, &data, Size, &returned, Validate);
    }

    // Failing names the call to fail and Nth its use to fail (0: none).
    void Session(const std::string& Failing = std::string(), unsigned long long Nth = 0) {
        ResetHostForStack("z40k-sweep-c");
        if (Nth != 0)
            host::InjectFault(Failing, {Nth, 1, STATUS_INSUFFICIENT_RESOURCES});
        std::string loadError;
        if (!ReadFile(file_).empty()) {
            EXPECT_TRUE(host::RegistryLoadFile(file_, &loadError)) << loadError;
        }
        const size_t poolBefore = host::PoolOutstanding().size();
        const std::string fileBefore = ReadFile(file_);
        {
            rig::Rig rig(DriverEntry);
            size_t index = 0;
            const NTSTATUS opened = rig.Plug(simcam::CameraConfig(), &index);
            streamclass::Filter& filter = rig.FilterOf(index);
            Expect(opened, "bring-up");
            std::vector<uint8_t> format;
            std::unique_ptr<streamclass::Pin> pin;
            if (NT_SUCCESS(opened) && filter.StreamCount() != 0 && !filter.Ranges(0).empty()) {
                Expect(filter.Intersect(0, &filter.Ranges(0)[0]->DataRange, &format), "intersection");
                NTSTATUS status = STATUS_UNSUCCESSFUL;
                if (!format.empty())
                    pin = filter.OpenPin(0, format, &status);
                Expect(status, "stream open");
            }
            if (pin != nullptr) {
                Expect(SetProperty(filter, CameraPropertySetGuid, 6, 1, 32, true), "white balance on");
                Expect(pin->SetState(KSSTATE_RUN), "run");
                std::vector<uint8_t> frame(
                    reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())
                        ->DataFormat.SampleSize);
                for (int i = 0; i < 3; ++i) {
                    // The second frame is grey, which writes the one-time dump.
                    Expect(SetProperty(filter, CameraPropertySetGuid, 5, i == 1 ? 0 : 1, 32, true), "colour");
                    ULONG used = 0;
                    Expect(pin->ReadFrame(frame.data(), static_cast<ULONG>(frame.size()), &used), "read");
                }
                Expect(SetProperty(filter, CameraPropertySetGuid, 7, 900, 32, true), "exposure");
                Expect(SetProperty(filter, CameraPropertySetGuid, 14, 0, 32, true), "block command");
                Expect(SetProperty(filter, PROPSETID_VIDCAP_VIDEOPROCAMP, 2, 108, 40, false), "brightness");
                Expect(SetProperty(filter, WindowPropertySetGuid, 3, 10, 32, false), "window");
                Expect(pin->SetState(KSSTATE_STOP), "stop");
                Expect(pin->Close(), "close");
                pin.reset();
            }
            if (filter.Initialized())
                Expect(filter.RemoveCamera(), "removal");
            filter.Unload();
            std::string error;
            host::RegistrySaveFile(file_, &error);
        }
        for (const std::string& violation : streamclass::Violations())
            ADD_FAILURE() << where_ << ": " << violation;
        EXPECT_EQ(host::PoolOutstanding().size(), poolBefore) << where_ << ": pool blocks leaked";
        EXPECT_TRUE(host::PoolTakeErrors().empty()) << where_;
        EXPECT_EQ(host::RegistryOpenHandles(), 0u) << where_;
        EXPECT_EQ(host::FilesOpenHandles(), 0u) << where_;
        const std::string fileAfter = ReadFile(file_);
        if (fileAfter != fileBefore) {
            std::string error;
            EXPECT_TRUE(host::RegistryLoadFile(file_, &error)) << where_ << ": " << error;
            EXPECT_EQ(fileAfter.substr(fileAfter.size() - 4), "\r\n\r\n") << where_ << ": cut short";
        }
        std::remove((file_ + ".tmp").c_str());
    }

    std::string file_;
    std::string where_ = "clean run";
};

TEST_F(FailureSweep, EveryFallibleCallFailingAloneLeavesASoundEnd) {
    Session();
    std::vector<std::pair<std::string, unsigned long long>> counts;
    unsigned long long points = 0;
    for (const char* name : FALLIBLE_CALLS) {
        counts.emplace_back(name, host::CallCount(name));
        points += counts.back().second;
    }
    ASSERT_GT(points, 30u) << "the session no longer reaches the platform";
    for (const auto& call : counts) {
        for (unsigned long long n = 1; n <= call.second; ++n) {
            where_ = call.first + " #" + std::to_string(n) + " failing";
            std::remove(file_.c_str());
            if (n % 2 == 0) // half the runs start from a registry file already there
                std::ofstream(file_) << "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_USERS\\Kept]\r\n";
            Session(call.first, n);
        }
    }
    host::ClearAllFaults();
    std::printf("swept %llu failure points\n", points);
}

} // namespace
