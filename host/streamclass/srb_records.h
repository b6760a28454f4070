// What the stream class stand-in records of the SRBs it builds, as an application may observe them:
// each completion with who made it, the rules a completion broke, and the SRB object itself, which
// the client API builds for every request it sends.
#pragma once

#include "platform/stream_class.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace streamclass {

typedef PDRIVER_INITIALIZE DriverEntryRoutine;

// Both the driver and the library complete SRBs through the same two calls (see CompleterScope in
// stream_class_host.h).
enum class Completer { Driver, Library };
const char* CompleterName(Completer Who); // "driver" / "library"
Completer CurrentCompleter();

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

// ---- the request ---------------------------------------------------------------------------------------
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

} // namespace streamclass
