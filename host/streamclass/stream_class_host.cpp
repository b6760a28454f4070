// SRB bookkeeping of the stream class stand-in: numbering, delivery, completion and its rules.
#include "host/streamclass/stream_class_host.h"

#include "host/kernel/kernel_host.h"
#include "host/streamclass/stream_class_internal.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

namespace streamclass {
namespace {

struct Tracked {
    uint64_t Number;
    int Completions = 0;
    Completer CompletedBy = Completer::Driver;
    bool Delivered = false;
};

struct State {
    host::RecursiveMutex Mutex;
    uint64_t NextNumber = 1;
    std::map<const HW_STREAM_REQUEST_BLOCK*, Tracked> Live;
    std::vector<std::string> Violations;
    std::vector<SrbEvent> Completed;
    SrbObserver Observer;
    std::vector<LoadedDriver*> Drivers;
};

State& S() {
    static State* state = new State;
    return *state;
}

thread_local Completer currentCompleter = Completer::Driver;

std::string Hex32(uint32_t Value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", Value);
    return text;
}

std::string Describe(const HW_STREAM_REQUEST_BLOCK* Srb, const Tracked& T) {
    return "SRB #" + std::to_string(T.Number) + " " + CommandName(Srb->Command);
}

// Owner: the extension or stream object the completion call named; it must be the SRB's own.
void Complete(const char* Call, PHW_STREAM_REQUEST_BLOCK Srb, bool StreamRequest, const void* Owner) {
    SrbEvent event{};
    SrbObserver observer;
    // Read before the lock: a caller waiting for its SRB looks at the records under the clock's lock.
    const int64_t nowUs = host::ClockNowMicroseconds();
    {
        State& s = S();
        std::lock_guard<host::RecursiveMutex> lock(s.Mutex);
        auto it = s.Live.find(Srb);
        const Completer who = currentCompleter;
        if (it == s.Live.end()) {
            s.Violations.push_back(std::string(Call) + " for an SRB the stream class did not send (by the " +
                                   CompleterName(who) + ")");
            return;
        }
        // Only an SRB known to be alive is looked into.
        const void* own =
            StreamRequest ? static_cast<const void*>(Srb->StreamObject) : Srb->HwDeviceExtension;
        if (own != Owner)
            s.Violations.push_back(std::string(Call) + " names another " +
                                   (StreamRequest ? "stream object" : "device extension") + " than " +
                                   Describe(Srb, it->second) + " carries");
        Tracked& t = it->second;
        ++t.Completions;
        if (t.Completions > 1) {
            const bool both = t.CompletedBy != who;
            s.Violations.push_back(Describe(Srb, t) +
                                   (both ? " completed by both the " : " completed twice by the ") +
                                   CompleterName(t.CompletedBy) +
                                   (both ? std::string(" and the ") + CompleterName(who) : std::string()));
            return;
        }
        t.CompletedBy = who;
        event.Number = t.Number;
        event.Command = Srb->Command;
        event.StreamRequest = StreamRequest;
        event.Status = Srb->Status;
        event.CompletedBy = who;
        event.TimeUs = nowUs;
        s.Completed.push_back(event);
        observer = s.Observer;
    }
    if (observer)
        observer(event);
    // Whoever waits for this SRB looks again.
    host::ClockNotify();
}

} // namespace

// ---- drivers ---------------------------------------------------------------------------------------------

void AddLoadedDriver(LoadedDriver* Driver) {
    std::lock_guard<host::RecursiveMutex> lock(S().Mutex);
    S().Drivers.push_back(Driver);
}

void RemoveLoadedDriver(LoadedDriver* Driver) {
    std::lock_guard<host::RecursiveMutex> lock(S().Mutex);
    auto& drivers = S().Drivers;
    for (auto it = drivers.begin(); it != drivers.end(); ++it) {
        if (*it == Driver) {
            drivers.erase(it);
            return;
        }
    }
}

LoadedDriver* FindLoadedDriver(PDRIVER_OBJECT DriverObject) {
    std::lock_guard<host::RecursiveMutex> lock(S().Mutex);
    for (LoadedDriver* driver : S().Drivers) {
        if (driver->Object == DriverObject)
            return driver;
    }
    return nullptr;
}

NTSTATUS RegisterAdapter(PDRIVER_OBJECT DriverObject, const AdapterRegistration& Registration) {
    LoadedDriver* driver = FindLoadedDriver(DriverObject);
    if (driver == nullptr || Registration.ReceivePacket == nullptr || Registration.DeviceExtensionSize == 0)
        return STATUS_INVALID_PARAMETER;
    driver->Registration = Registration;
    driver->Registered = true;
    // The stream class takes every request that reaches the minidriver's devices; each class device
    // object's own handler (the filter's) answers it.
    for (PDRIVER_DISPATCH& slot : DriverObject->MajorFunction)
        slot = host::DispatchToDeviceHandler;
    return STATUS_SUCCESS;
}

// ---- completers ------------------------------------------------------------------------------------------

const char* CompleterName(Completer Who) {
    return Who == Completer::Library ? "library" : "driver";
}

Completer CurrentCompleter() {
    return currentCompleter;
}

CompleterScope::CompleterScope(Completer Who) : saved_(currentCompleter) {
    currentCompleter = Who;
}

CompleterScope::~CompleterScope() {
    currentCompleter = saved_;
}

// ---- names and events ------------------------------------------------------------------------------------

std::string CommandName(ULONG Command) {
    switch (Command) {
#define Z40K_SRB_NAME(name)                                                                                  \
    case name:                                                                                               \
        return #name;
        Z40K_SRB_NAME(SRB_READ_DATA)
        Z40K_SRB_NAME(SRB_WRITE_DATA)
        Z40K_SRB_NAME(SRB_GET_STREAM_STATE)
        Z40K_SRB_NAME(SRB_SET_STREAM_STATE)
        Z40K_SRB_NAME(SRB_SET_STREAM_PROPERTY)
        Z40K_SRB_NAME(SRB_GET_STREAM_PROPERTY)
        Z40K_SRB_NAME(SRB_OPEN_MASTER_CLOCK)
        Z40K_SRB_NAME(SRB_INDICATE_MASTER_CLOCK)
        Z40K_SRB_NAME(SRB_UNKNOWN_STREAM_COMMAND)
        Z40K_SRB_NAME(SRB_SET_STREAM_RATE)
        Z40K_SRB_NAME(SRB_PROPOSE_DATA_FORMAT)
        Z40K_SRB_NAME(SRB_CLOSE_MASTER_CLOCK)
        Z40K_SRB_NAME(SRB_PROPOSE_STREAM_RATE)
        Z40K_SRB_NAME(SRB_SET_DATA_FORMAT)
        Z40K_SRB_NAME(SRB_GET_DATA_FORMAT)
        Z40K_SRB_NAME(SRB_BEGIN_FLUSH)
        Z40K_SRB_NAME(SRB_END_FLUSH)
        Z40K_SRB_NAME(SRB_GET_STREAM_INFO)
        Z40K_SRB_NAME(SRB_OPEN_STREAM)
        Z40K_SRB_NAME(SRB_CLOSE_STREAM)
        Z40K_SRB_NAME(SRB_OPEN_DEVICE_INSTANCE)
        Z40K_SRB_NAME(SRB_CLOSE_DEVICE_INSTANCE)
        Z40K_SRB_NAME(SRB_GET_DEVICE_PROPERTY)
        Z40K_SRB_NAME(SRB_SET_DEVICE_PROPERTY)
        Z40K_SRB_NAME(SRB_INITIALIZE_DEVICE)
        Z40K_SRB_NAME(SRB_CHANGE_POWER_STATE)
        Z40K_SRB_NAME(SRB_UNINITIALIZE_DEVICE)
        Z40K_SRB_NAME(SRB_UNKNOWN_DEVICE_COMMAND)
        Z40K_SRB_NAME(SRB_PAGING_OUT_DRIVER)
        Z40K_SRB_NAME(SRB_GET_DATA_INTERSECTION)
        Z40K_SRB_NAME(SRB_INITIALIZATION_COMPLETE)
        Z40K_SRB_NAME(SRB_SURPRISE_REMOVAL)
#undef Z40K_SRB_NAME
    default:
        return "SRB_" + Hex32(Command);
    }
}

std::string SrbEventJson(const SrbEvent& Event) {
    return "{\"event\":\"srb\",\"number\":" + std::to_string(Event.Number) + ",\"command\":\"" +
           CommandName(Event.Command) + "\",\"status\":\"" + Hex32(static_cast<uint32_t>(Event.Status)) +
           "\",\"completed_by\":\"" + CompleterName(Event.CompletedBy) + "\"}";
}

void SetSrbObserver(SrbObserver Observer) {
    std::lock_guard<host::RecursiveMutex> lock(S().Mutex);
    S().Observer = std::move(Observer);
}

std::vector<std::string> Violations() {
    std::lock_guard<host::RecursiveMutex> lock(S().Mutex);
    return S().Violations;
}

void ClearViolations() {
    std::lock_guard<host::RecursiveMutex> lock(S().Mutex);
    S().Violations.clear();
    S().Completed.clear();
}

std::vector<SrbEvent> CompletedSrbs() {
    std::lock_guard<host::RecursiveMutex> lock(S().Mutex);
    return S().Completed;
}

// ---- SRBs ------------------------------------------------------------------------------------------------

Srb::Srb(ULONG Command, PVOID HwDeviceExtension, PHW_STREAM_OBJECT StreamObject) {
    std::memset(&block_, 0, sizeof block_);
    block_.SizeOfThisPacket = sizeof block_;
    block_.Command = static_cast<SRB_COMMAND>(Command);
    block_.HwDeviceExtension = HwDeviceExtension;
    block_.StreamObject = StreamObject;
    std::lock_guard<host::RecursiveMutex> lock(S().Mutex);
    number_ = S().NextNumber++;
    Tracked t;
    t.Number = number_;
    S().Live[&block_] = t;
}

Srb::~Srb() {
    std::lock_guard<host::RecursiveMutex> lock(S().Mutex);
    auto it = S().Live.find(&block_);
    if (it == S().Live.end())
        return;
    // A request handed over and let go of without a completion was lost by whoever held it.
    if (it->second.Delivered && it->second.Completions == 0)
        S().Violations.push_back(Describe(&block_, it->second) + " never completed");
    S().Live.erase(it);
}

bool Srb::WaitForCompletion(int64_t Until100ns) {
    return host::ClockWait([this]() { return Completions() != 0; }, Until100ns);
}

int Srb::Completions() const {
    std::lock_guard<host::RecursiveMutex> lock(S().Mutex);
    auto it = S().Live.find(&block_);
    return it == S().Live.end() ? 0 : it->second.Completions;
}

Completer Srb::CompletedBy() const {
    std::lock_guard<host::RecursiveMutex> lock(S().Mutex);
    auto it = S().Live.find(&block_);
    return it == S().Live.end() ? Completer::Driver : it->second.CompletedBy;
}

namespace {

// Each SRB starts out pending, as the stream class hands it over.
void BeforeDelivery(Srb& Request) {
    Request->Status = STATUS_PENDING;
    std::lock_guard<host::RecursiveMutex> lock(S().Mutex);
    auto it = S().Live.find(Request.Get());
    if (it != S().Live.end())
        it->second.Delivered = true;
}

NTSTATUS AfterDelivery(Srb& Request) {
    if (Request.Completions() == 0) {
        std::lock_guard<host::RecursiveMutex> lock(S().Mutex);
        auto it = S().Live.find(Request.Get());
        S().Violations.push_back(Describe(Request.Get(), it->second) + " never completed");
        // Reported once.
        it->second.Delivered = false;
    }
    return Request->Status;
}

} // namespace

NTSTATUS DeliverAdapterSrb(PHW_RECEIVE_DEVICE_SRB Routine, Srb& Request) {
    BeforeDelivery(Request);
    host::SchedulePoint(); // an SRB reaches the driver: another thread may go first
    CompleterScope outside(Completer::Driver);
    Routine(Request.Get());
    return AfterDelivery(Request);
}

NTSTATUS DeliverStreamControlSrb(Srb& Request) {
    BeforeDelivery(Request);
    host::SchedulePoint();
    CompleterScope outside(Completer::Driver);
    Request->StreamObject->ReceiveControlPacket(Request.Get());
    return AfterDelivery(Request);
}

void SubmitStreamDataSrb(Srb& Request) {
    BeforeDelivery(Request);
    host::SchedulePoint();
    CompleterScope outside(Completer::Driver);
    Request->StreamObject->ReceiveDataPacket(Request.Get());
}

NTSTATUS DeliverStreamDataSrb(Srb& Request) {
    SubmitStreamDataSrb(Request);
    Request.WaitForCompletion();
    return Request->Status;
}

} // namespace streamclass

// ---- the two completion calls ----------------------------------------------------------------------------

VOID Z40K_CDECL StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType,
                                              PVOID HwDeviceExtension, PHW_STREAM_REQUEST_BLOCK pSrb) {
    if (NotificationType != DeviceRequestComplete)
        return; // ready-for-next: nothing is queued in a synchronous host
    streamclass::Complete("StreamClassDeviceNotification", pSrb, false, HwDeviceExtension);
}

VOID Z40K_CDECL StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE NotificationType,
                                              PHW_STREAM_OBJECT StreamObject, PHW_STREAM_REQUEST_BLOCK pSrb) {
    if (NotificationType != StreamRequestComplete)
        return;
    streamclass::Complete("StreamClassStreamNotification", pSrb, true, StreamObject);
}
