// A camera as the library sees it right after it chose the interface: a zero-filled device extension, a
// simulated camera, and the library's record of it, attached so that the library calls find it. The
// tests call the driver's callbacks directly and look at what the camera received and when.
#pragma once

#include "host/bus/bus.h"
#include "host/cameralib/library_device.h"
#include "driver/device_context.h"
#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "platform/kernel.h"
#include "host/simcam/simulated_camera.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

struct CameraRig {
    explicit CameraRig(const simcam::CameraConfig& Config = simcam::CameraConfig()) : Camera(Config) {
        host::ResetKernel();
        host::ClockSetMode(host::ClockMode::Virtual);
        Device.DeviceContext = Extension;
        Device.Port = Bus.Plug(&Camera);
        Device.Port->SelectConfiguration(0);
        Device.InterfaceInfo = Device.Port->InterfaceInformation();
        cameralib::AttachDevice(&Device);
        for (const host::PoolBlockInfo& block : host::PoolOutstanding())
            Before.push_back(block.Serial);
    }
    ~CameraRig() {
        cameralib::DetachDevice(&Device);
        if (Context()->InterfaceInfo)
            ExFreePool(Context()->InterfaceInfo);
        host::ClearAllFaults();
    }

    PDeviceContext Context() { return reinterpret_cast<PDeviceContext>(Extension); }
    PUSBD_INTERFACE_INFORMATION Interface() {
        return reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(Device.InterfaceInfo.data());
    }

    // Pool blocks this rig's callbacks allocated and did not free.
    std::vector<host::PoolBlockInfo> Outstanding() const {
        std::vector<host::PoolBlockInfo> blocks;
        for (const host::PoolBlockInfo& block : host::PoolOutstanding())
            if (std::find(Before.begin(), Before.end(), block.Serial) == Before.end())
                blocks.push_back(block);
        return blocks;
    }

    // Request codes the camera received, in order.
    std::vector<uint8_t> RequestCodes() const {
        std::vector<uint8_t> codes;
        for (const simcam::VendorRequestRecord& r : Camera.Requests())
            codes.push_back(r.Request);
        return codes;
    }

    alignas(8) uint8_t Extension[DEVICE_CONTEXT_EXTENSION_SIZE] = {};
    bus::Bus Bus; // outlives the camera, which leaves it as it goes
    simcam::SimulatedCamera Camera;
    cameralib::LibraryDevice Device;
    std::vector<uint64_t> Before; // blocks outstanding before the rig was built
};
