// Shared between the stream class stand-in's files; nothing outside host/streamclass uses it.
#pragma once

#include "host/streamclass/stream_class_host.h"

#include <cstdint>
#include <memory>

namespace streamclass {

// Room the stream class gives the stream information for stream entries.
constexpr ULONG DESCRIPTOR_ENTRIES = 2;

struct LoadedDriver {
    PDRIVER_OBJECT Object = nullptr;
    AdapterRegistration Registration;
    bool Registered = false;
    uint64_t PoolAllocationsAtLoad = 0; // what the pool had handed out before the driver's entry ran
};

// An input buffer of exactly the caller's size, so that a read past its end lands in a red zone.
std::unique_ptr<uint8_t[]> ExactCopy(const void* Data, size_t Size);
STREAM_PROPERTY_DESCRIPTOR PropertyDescriptor(void* PropertyBuffer, ULONG PropertySetIndex,
                                              ULONG PropertySize, void* Data, ULONG DataSize);

void AddLoadedDriver(LoadedDriver* Driver);
void RemoveLoadedDriver(LoadedDriver* Driver);
LoadedDriver* FindLoadedDriver(PDRIVER_OBJECT DriverObject);

} // namespace streamclass
