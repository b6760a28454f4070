// The capture pin as an application opens it on any camera's filter: the format the driver offers for
// its first data range, agreed through intersection, checked to hold a whole picture, then the pin.
#pragma once

#include "host/streamclass/client.h"

#include <memory>

namespace rig {

constexpr ULONG CAPTURE_STREAM = 0;

struct CapturePin {
    std::unique_ptr<streamclass::Pin> Pin;
    KS_DATAFORMAT_VIDEOINFOHEADER Format;
    int Width = 0;
    int Height = 0; // rows of the picture, whichever way up the format stores them
};

// The step at which opening the pin failed, with the status the stream class answered where there is one.
enum class PinFailure { None, NoFormat, NoAgreement, NoPictureSize, NotOpened };
struct PinOutcome {
    PinFailure Failure = PinFailure::None;
    NTSTATUS Status = STATUS_SUCCESS;
    bool HasStatus() const { return Failure == PinFailure::NoAgreement || Failure == PinFailure::NotOpened; }
};
PinOutcome OpenCapturePin(streamclass::Filter& Filter, CapturePin* Out);
// What went wrong, as one line without the status: "the capture pin did not open".
const char* PinFailureText(PinFailure Failure);

} // namespace rig
