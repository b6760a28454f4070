// Shared between the stream class stand-in's files; nothing outside host/streamclass uses it.
#pragma once

#include "host/streamclass/stream_class_host.h"

namespace streamclass {

struct LoadedDriver {
    PDRIVER_OBJECT Object = nullptr;
    AdapterRegistration Registration;
    bool Registered = false;
};

void AddLoadedDriver(LoadedDriver* Driver);
void RemoveLoadedDriver(LoadedDriver* Driver);
LoadedDriver* FindLoadedDriver(PDRIVER_OBJECT DriverObject);

} // namespace streamclass
