#include "tools/z40k/capture_pin.h"

#include "tools/z40k/device_properties_cli.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace z40k {

bool OpenCapturePin(streamclass::Filter& Filter, CapturePin* Out, std::string* Error) {
    std::vector<const KS_DATARANGE_VIDEO*> ranges = Filter.Ranges(CAPTURE_STREAM);
    if (ranges.empty()) {
        *Error = "the camera offers no capture format";
        return false;
    }
    std::vector<uint8_t> formatBytes;
    NTSTATUS status = Filter.Intersect(CAPTURE_STREAM, &ranges[0]->DataRange, &formatBytes);
    if (!NT_SUCCESS(status) || formatBytes.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
        *Error = "no capture format could be agreed (" + StatusName(status) + ")";
        return false;
    }
    std::memcpy(&Out->Format, formatBytes.data(), sizeof Out->Format);
    Out->Width = Out->Format.VideoInfoHeader.bmiHeader.biWidth;
    Out->Height = std::abs(Out->Format.VideoInfoHeader.bmiHeader.biHeight);
    if (Out->Width <= 0 || Out->Height <= 0 ||
        Out->Format.DataFormat.SampleSize < size_t(Out->Width) * size_t(Out->Height) * 3) {
        *Error = "the agreed format has no usable picture size";
        return false;
    }
    Out->Pin = Filter.OpenPin(CAPTURE_STREAM, formatBytes, &status);
    if (Out->Pin == nullptr) {
        *Error = "the capture pin did not open (" + StatusName(status) + ")";
        return false;
    }
    return true;
}

} // namespace z40k
