#include "tools/z40k/one_camera.h"

#include "tools/z40k/device_properties_cli.h"

#include <cstdio>

namespace z40k {

streamclass::Filter* BringUpOneCamera(rig::Session& Session, rig::SessionOptions Options, const char* Command) {
    Options.VirtualClock = true;
    std::string error;
    if (!Session.Open(Options, &error)) {
        std::fprintf(stderr, "z40k %s: %s\n", Command, error.c_str());
        return nullptr;
    }
    size_t index = 0;
    const NTSTATUS status = Session.Plug(rig::CameraOptions(), &index);
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "z40k %s: the camera did not come up: %s\n", Command, StatusName(status).c_str());
        return nullptr;
    }
    return &Session.FilterOf(index);
}

} // namespace z40k
