#include "host/rig/capture_pin.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace rig {

PinOutcome OpenCapturePin(streamclass::Filter& Filter, CapturePin* Out) {
    std::vector<const KS_DATARANGE_VIDEO*> ranges = Filter.Ranges(CAPTURE_STREAM);
    if (ranges.empty())
        return {PinFailure::NoFormat, STATUS_SUCCESS};
    std::vector<uint8_t> formatBytes;
    NTSTATUS status = Filter.Intersect(CAPTURE_STREAM, &ranges[0]->DataRange, &formatBytes);
    if (!NT_SUCCESS(status) || formatBytes.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER))
        return {PinFailure::NoAgreement, status};
    std::memcpy(&Out->Format, formatBytes.data(), sizeof Out->Format);
    Out->Width = Out->Format.VideoInfoHeader.bmiHeader.biWidth;
    Out->Height = std::abs(Out->Format.VideoInfoHeader.bmiHeader.biHeight);
    if (Out->Width <= 0 || Out->Height <= 0 ||
        Out->Format.DataFormat.SampleSize < size_t(Out->Width) * size_t(Out->Height) * 3)
        return {PinFailure::NoPictureSize, STATUS_SUCCESS};
    Out->Pin = Filter.OpenPin(CAPTURE_STREAM, formatBytes, &status);
    if (Out->Pin == nullptr)
        return {PinFailure::NotOpened, status};
    return {};
}

const char* PinFailureText(PinFailure Failure) {
    switch (Failure) {
    case PinFailure::None:
        return "the capture pin is open";
    case PinFailure::NoFormat:
        return "the camera offers no capture format";
    case PinFailure::NoAgreement:
        return "no capture format could be agreed";
    case PinFailure::NoPictureSize:
        return "the agreed format has no usable picture size";
    case PinFailure::NotOpened:
        return "the capture pin did not open";
    }
    return "the capture pin did not open";
}

} // namespace rig
