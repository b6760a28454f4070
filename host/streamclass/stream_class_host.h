// The host's stand-in for the stream class driver, as the minidriver and the camera class library see
// it: adapter registration, device extensions, SRB delivery and completion. Every SRB it sends is
// tracked; one completed twice, by both the driver and the library, or never, is recorded as a
// violation that tests assert on. SRBs come from any application thread and completions from any of the
// library's threads. Adapter and stream control SRBs must be complete when the routine they were
// delivered to returns; a data SRB may stay pending until the library completes it.
#pragma once

#include "platform/stream_class.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace streamclass {

typedef PDRIVER_INITIALIZE DriverEntryRoutine;

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

// ---- who completes --------------------------------------------------------------------------------------
// Both the driver and the library complete SRBs through the same two calls; the library says that it is
// the one acting by holding a scope while it carries SRBs out (and a Driver scope around the driver
// hooks it calls). Outside any scope, completions count as the driver's.
enum class Completer { Driver, Library };
const char* CompleterName(Completer Who); // "driver" / "library"
Completer CurrentCompleter();
class CompleterScope {
  public:
    explicit CompleterScope(Completer Who);
    ~CompleterScope();
    CompleterScope(const CompleterScope&) = delete;
    CompleterScope& operator=(const CompleterScope&) = delete;

  private:
    Completer saved_;
};

// ---- SRB records --------------------------------------------------------------------------------------
struct SrbEvent {
    uint64_t Number; // SRBs are numbered from 1 in the order they are built
    ULONG Command;
    bool StreamRequest; // delivered to a stream object rather than the adapter
    NTSTATUS Status;
    Completer CompletedBy;
    int64_t TimeUs; // host clock
};
// "SRB_OPEN_STREAM", "SRB_READ_DATA", ...; "SRB_0x..." for codes without a name.
std::string CommandName(ULONG Command);
// {"event":"srb","number":N,"command":"SRB_OPEN_STREAM","status":"0x00000000","completed_by":"library"}
std::string SrbEventJson(const SrbEvent& Event);
// Called at every completion the stream class accepts. One observer; pass nullptr to remove it.
using SrbObserver = std::function<void(const SrbEvent& Event)>;
void SetSrbObserver(SrbObserver Observer);

// Completions and deliveries that broke the rules, one line each, since the last ClearViolations.
std::vector<std::string> Violations();
void ClearViolations();
// Every completion accepted since the last ClearViolations, in order.
std::vector<SrbEvent> CompletedSrbs();

// ---- building and delivering --------------------------------------------------------------------------
// One SRB in host memory, zero-filled, numbered, with SizeOfThisPacket set. It stays tracked while it
// lives, so that a late second completion is still caught.
class Srb {
  public:
    Srb(ULONG Command, PVOID HwDeviceExtension, PHW_STREAM_OBJECT StreamObject = nullptr);
    ~Srb();
    Srb(const Srb&) = delete;
    Srb& operator=(const Srb&) = delete;
    HW_STREAM_REQUEST_BLOCK* operator->() { return &block_; }
    HW_STREAM_REQUEST_BLOCK* Get() { return &block_; }
    uint64_t Number() const { return number_; }
    int Completions() const;
    Completer CompletedBy() const;
    // Waits on the host clock until the SRB has been completed, or until the clock reaches Until100ns;
    // returns whether it was completed.
    bool WaitForCompletion(int64_t Until100ns = INT64_MAX);

  private:
    HW_STREAM_REQUEST_BLOCK block_;
    uint64_t number_;
};
// Delivery to the adapter routine / to the stream object's routines. The result is the SRB's Status; an
// SRB left incomplete when the routine returns is recorded as a violation.
NTSTATUS DeliverAdapterSrb(PHW_RECEIVE_DEVICE_SRB Routine, Srb& Request);
NTSTATUS DeliverStreamControlSrb(Srb& Request);
// A data SRB is handed over and may complete later, in another thread; the Deliver form waits for it.
void SubmitStreamDataSrb(Srb& Request);
NTSTATUS DeliverStreamDataSrb(Srb& Request);

} // namespace streamclass
