// The host's USB bus: the place each plugged-in device has on it (its port, with the physical device
// object the bus driver makes for it), and what the camera class library asks of a device, through the
// port its PDO names. A port passes requests on to its device while the device is plugged in and
// refuses them with DEVICE_GONE_STATUS once it has been pulled out.
#pragma once

#include "host/bus/usb_device.h"
#include "host/kernel/kernel_host.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace bus {

class Port {
  public:
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    PDEVICE_OBJECT Pdo() const { return pdo_; }
    bool Connected() const { return connected_; }

    // Empty once the device is gone.
    std::vector<uint8_t> InterfaceInformation() const;
    NTSTATUS ControlTransfer(const SetupPacket& Setup, std::vector<uint8_t>* Data);
    NTSTATUS SelectAlternateSetting(uint8_t Setting);
    void OpenIsoEndpoint(uint8_t Endpoint, IsoTransferDone Done);
    // A transfer to a device that is gone comes back at once with DEVICE_GONE_STATUS, through Done.
    void SubmitIso(IsoTransfer* Transfer);
    void AbortIsoEndpoint(uint8_t Endpoint);

    // The device is pulled out: it is told (its transfers come back failed), then every request through
    // the port fails and the port never touches the device again, so a device may pull itself out as
    // it is destroyed. Pulling out twice changes nothing.
    void Unplug();

  private:
    friend class Bus;
    Port(UsbDevice* Device, PDEVICE_OBJECT Pdo) : device_(Device), pdo_(Pdo) {}

    UsbDevice* device_;
    PDEVICE_OBJECT pdo_;
    std::atomic<bool> connected_{true};
    host::Mutex doneMutex_;
    std::vector<std::pair<uint8_t, IsoTransferDone>> done_; // the completion routine of each open endpoint
};

class Bus {
  public:
    Bus() = default;
    ~Bus(); // pulls out every device still plugged in and forgets its port
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // Plugs Device in: the bus driver makes its physical device object and tells the device where it
    // is. Device must outlive the bus or its unplugging.
    Port* Plug(UsbDevice* Device);
    size_t Ports() const { return ports_.size(); }
    Port* PortAt(size_t Index) { return ports_.at(Index).get(); }

    // The port whose physical device object Pdo is, on any bus; null for any other device object.
    static Port* PortOf(PDEVICE_OBJECT Pdo);

  private:
    std::vector<std::unique_ptr<Port>> ports_;
};

} // namespace bus
