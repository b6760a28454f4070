// The capture pin as the program opens it on any camera's filter: the format the driver offers for its
// first data range, agreed through intersection, checked to hold a whole picture, then the pin.
#pragma once

#include "host/streamclass/client.h"

#include <memory>
#include <string>

namespace z40k {

constexpr ULONG CAPTURE_STREAM = 0;

struct CapturePin {
    std::unique_ptr<streamclass::Pin> Pin;
    KS_DATAFORMAT_VIDEOINFOHEADER Format;
    int Width = 0;
    int Height = 0; // rows of the picture, whichever way up the format stores them
};

// False with *Error set (one line, without the program's name) when no pin could be opened.
bool OpenCapturePin(streamclass::Filter& Filter, CapturePin* Out, std::string* Error);

} // namespace z40k
