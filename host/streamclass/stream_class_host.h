// The host's stand-in for the stream class driver, as the minidriver and the camera class library see
// it: adapter registration, device extensions, SRB delivery and completion. Every SRB it sends is
// tracked; one completed twice, by both the driver and the library, or never, is recorded as a
// violation that tests assert on. SRBs come from any application thread and completions from any of the
// library's threads. Adapter and stream control SRBs must be complete when the routine they were
// delivered to returns; a data SRB may stay pending until the library completes it.
#pragma once

#include "host/streamclass/srb_records.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace streamclass {

// What the camera class library registers for its minidriver (from QRXUSBCAMD_DriverEntry).
struct AdapterRegistration {
    PHW_RECEIVE_DEVICE_SRB ReceivePacket = nullptr; // every adapter SRB goes here
    ULONG DeviceExtensionSize = 0;                  // zero-filled extension made per camera
    // PnP requests that reach the class device object (the interface query). Must complete the IRP or
    // return STATUS_PENDING as a dispatch routine does. Without one, requests complete unchanged.
    std::function<NTSTATUS(PVOID DeviceExtension, PDEVICE_OBJECT DeviceObject, PIRP Irp)> PnpHandler;
    // Called when a camera's device extension is about to be freed.
    std::function<void(PVOID DeviceExtension)> ExtensionReleased;
};
// Returns STATUS_SUCCESS, or STATUS_INVALID_PARAMETER for an unknown driver object or a bad registration.
NTSTATUS RegisterAdapter(PDRIVER_OBJECT DriverObject, const AdapterRegistration& Registration);

// ---- who completes ----------------------------------------------------------------------------------
// The library says that it is the one acting by holding a scope while it carries SRBs out (and a Driver
// scope around the driver hooks it calls). Outside any scope, completions count as the driver's.
class CompleterScope {
  public:
    explicit CompleterScope(Completer Who);
    ~CompleterScope();
    CompleterScope(const CompleterScope&) = delete;
    CompleterScope& operator=(const CompleterScope&) = delete;

  private:
    Completer saved_;
};

// Delivery to the adapter routine / to the stream object's routines. The result is the SRB's Status; an
// SRB left incomplete when the routine returns is recorded as a violation.
NTSTATUS DeliverAdapterSrb(PHW_RECEIVE_DEVICE_SRB Routine, Srb& Request);
NTSTATUS DeliverStreamControlSrb(Srb& Request);
// A data SRB is handed over and may complete later, in another thread; the Deliver form waits for it.
void SubmitStreamDataSrb(Srb& Request);
NTSTATUS DeliverStreamDataSrb(Srb& Request);

} // namespace streamclass
