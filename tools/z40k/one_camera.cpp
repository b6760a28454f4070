#include "tools/z40k/one_camera.h"

#include "tools/z40k/device_properties_cli.h"
#include "tools/z40k/messages.h"

namespace z40k {

streamclass::Filter* BringUpOneCamera(rig::Session& Session, rig::SessionOptions Options) {
    Options.VirtualClock = true;
    std::string error;
    if (!Session.Open(Options, &error)) {
        PrintError(error);
        return nullptr;
    }
    size_t index = 0;
    const NTSTATUS status = Session.Plug(rig::CameraOptions(), &index);
    if (!NT_SUCCESS(status)) {
        PrintError("the camera", "did not come up: " + StatusName(status));
        return nullptr;
    }
    return &Session.FilterOf(index);
}

} // namespace z40k
