// The host's USB bus: the place each plugged-in device has on it (its port, with the physical device
// object the bus driver makes for it), and what the camera class library asks of a device, through the
// port its PDO names. A port passes requests on to its device while the device is plugged in and
// refuses them with DEVICE_GONE_STATUS once it has been pulled out.
//
// Plugging a device in enumerates it: the bus reads its device and configuration descriptors, and from
// then on describes its interface from them, as the platform's stack does. A bus is ideal (no
// microframes, every alternate setting fits: what this host did before it knew better, kept for
// demonstrations and benchmarks) or USB 2.0 high speed: each isochronous endpoint carries at most one
// packet of its bytes per microframe each time it is served, 8,000 microframes a second, and selecting
// an alternate setting reserves the setting's periodic bandwidth against the bus's 80%
// (periodic_schedule.h), failing as the stack fails a select that does not fit. Either kind records
// what crosses it into a USBPcap file when asked (usbpcap_writer.h).
#pragma once

#include "host/bus/descriptors.h"
#include "host/bus/usb_device.h"
#include "host/kernel/kernel_host.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace bus {

class Bus;
class UsbPcapWriter;

enum class BusModel {
    Ideal,     // periodic traffic goes as fast as devices send it, and every alternate setting fits
    HighSpeed, // USB 2.0 high speed: microframes, and periodic bandwidth reserved per alternate setting
};

// What the stack answers a select whose periodic bandwidth does not fit: the URB's status, and the
// request's.
constexpr USBD_STATUS NO_BANDWIDTH_USBD_STATUS = USBD_STATUS_NO_BANDWIDTH;
constexpr NTSTATUS NO_BANDWIDTH_STATUS = STATUS_INSUFFICIENT_RESOURCES;
// The one interface a device of this host has: the camera's.
constexpr uint8_t INTERFACE_NUMBER = 0;

class Port {
  public:
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    PDEVICE_OBJECT Pdo() const { return pdo_; }
    bool Connected() const { return connected_; }
    uint16_t Address() const { return address_; } // the device's address on its bus, from 1
    // Whether the bus paces isochronous packets by microframes (a high-speed bus).
    bool Paced() const;

    // ---- what enumeration read ----
    const std::vector<uint8_t>& DeviceDescriptor() const { return deviceDescriptor_; }
    const std::vector<uint8_t>& ConfigurationDescriptor() const { return configurationDescriptor_; }
    // Null when the descriptors could not be read or parsed (EnumerationFailure says why).
    const Configuration* Descriptors() const { return enumerated_ ? &configuration_ : nullptr; }
    const std::string& EnumerationFailure() const { return enumerationFailure_; }
    // The setting of the interface the device is in (null before a configuration is selected).
    const AlternateSetting* CurrentSetting() const;

    // ---- what a client driver asks ----
    // The interface in its current setting, laid out as USBD_INTERFACE_INFORMATION with its pipes; empty
    // once the device is gone or before a configuration is selected.
    std::vector<uint8_t> InterfaceInformation() const;
    // Selects the device's configuration with the interface in Setting (SET_CONFIGURATION, then
    // SET_INTERFACE for a setting other than 0), reserving the setting's bandwidth.
    NTSTATUS SelectConfiguration(uint8_t Setting);
    // Selects Setting of the interface. Its periodic bandwidth is reserved in place of the current
    // setting's; when that does not fit, NO_BANDWIDTH_STATUS comes back and the device stays in its
    // setting with its reservation (BandwidthRefusal says why). On success Interface, when given, has
    // its pipes filled in for the new setting, as far as its Length has room.
    NTSTATUS SelectAlternateSetting(uint8_t Setting, USBD_INTERFACE_INFORMATION* Interface = nullptr);
    // Fills Interface (as far as its Length has room) with the pipes of the current setting.
    void DescribeSetting(USBD_INTERFACE_INFORMATION* Interface) const;
    // One line on the last selection refused for bandwidth; empty after a selection that fitted.
    std::string BandwidthRefusal() const;
    uint32_t ReservedBytes() const; // periodic bytes per microframe this device holds

    NTSTATUS ControlTransfer(const SetupPacket& Setup, std::vector<uint8_t>* Data);
    void OpenIsoEndpoint(uint8_t Endpoint, IsoTransferDone Done);
    // A transfer to a device that is gone comes back at once with DEVICE_GONE_STATUS, through Done.
    void SubmitIso(IsoTransfer* Transfer);
    void AbortIsoEndpoint(uint8_t Endpoint);

    // The device is pulled out: it is told (its transfers come back failed), then every request through
    // the port fails, its bandwidth is freed and the port never touches the device again, so a device
    // may pull itself out as it is destroyed. Pulling out twice changes nothing.
    void Unplug();

  private:
    friend class Bus;
    Port(Bus* Owner, UsbDevice* Device, PDEVICE_OBJECT Pdo, uint16_t Address)
        : bus_(Owner), device_(Device), pdo_(Pdo), address_(Address) {}

    void Enumerate();
    NTSTATUS ReadDescriptor(uint8_t Type, uint16_t Length, std::vector<uint8_t>* Bytes);
    NTSTATUS EnterSetting(uint8_t Setting, bool Configure);
    NTSTATUS Refused(const SetupPacket& Setup, uint16_t Function, const std::string& Why);
    void Completed(uint8_t Endpoint, const IsoTransferDone& Done, IsoTransfer* Transfer);
    void Pace(uint8_t Endpoint, IsoTransfer* Transfer);
    void RecordControl(const SetupPacket& Setup, uint16_t Function, uint64_t Request, NTSTATUS Status,
                       const std::vector<uint8_t>* Data, bool Done);

    Bus* bus_;
    UsbDevice* device_;
    PDEVICE_OBJECT pdo_;
    uint16_t address_;
    std::atomic<bool> connected_{true};
    std::vector<uint8_t> deviceDescriptor_;
    std::vector<uint8_t> configurationDescriptor_;
    Configuration configuration_;
    bool enumerated_ = false;
    std::string enumerationFailure_;

    mutable host::Mutex mutex_; // everything below: the library's threads and the device's meet here
    int current_ = -1;         // index into configuration_.Settings; -1 unconfigured
    std::string refusal_;
    std::vector<std::pair<uint8_t, IsoTransferDone>> done_; // the completion routine of each open endpoint
    std::map<uint8_t, uint64_t> nextMicroframe_;            // per endpoint: the first one still free
};

class Bus {
  public:
    // Number names the bus (its root hub) in recordings, from 1.
    explicit Bus(BusModel Model = BusModel::Ideal, uint16_t Number = 1) : model_(Model), number_(Number) {}
    ~Bus(); // pulls out every device still plugged in and forgets its port
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    BusModel Model() const { return model_; }
    uint16_t Number() const { return number_; }
    // Everything that crosses the bus from now on goes into Writer (null: nothing). Set it before
    // plugging devices in, so that their enumeration is in the recording; Writer outlives the bus.
    void Record(UsbPcapWriter* Writer) { writer_ = Writer; }
    UsbPcapWriter* Recorder() const { return writer_; }

    // Plugs Device in: the bus driver makes its physical device object, tells the device where it is
    // and reads its descriptors. Device must outlive the bus or its unplugging.
    Port* Plug(UsbDevice* Device);
    size_t Ports() const { return ports_.size(); }
    Port* PortAt(size_t Index) { return ports_.at(Index).get(); }
    // Periodic bytes per microframe the bus's devices hold together.
    uint32_t ReservedBytes() const;

    // The port whose physical device object Pdo is, on any bus; null for any other device object.
    static Port* PortOf(PDEVICE_OBJECT Pdo);

  private:
    friend class Port;
    // Reserves Bytes per microframe for Where in place of what it holds; false with *Why set when the
    // others' reservations and Bytes pass the budget.
    bool Reserve(Port* Where, uint32_t Bytes, std::string* Why);
    uint64_t NextRequestId() { return ++requests_; }

    BusModel model_;
    uint16_t number_;
    UsbPcapWriter* writer_ = nullptr;
    std::vector<std::unique_ptr<Port>> ports_;
    mutable host::Mutex reservations_;
    std::map<const Port*, uint32_t> reserved_;
    std::atomic<uint64_t> requests_{0};
};

} // namespace bus
