// Stream class minidriver records and calls (strmini.h), as published.
#pragma once

#include "platform/ks_types.h"

enum SRB_COMMAND : ULONG {
    SRB_READ_DATA = 0,
    SRB_WRITE_DATA = 1,
    SRB_GET_STREAM_STATE = 2,
    SRB_SET_STREAM_STATE = 3,
    SRB_SET_STREAM_PROPERTY = 4,
    SRB_GET_STREAM_PROPERTY = 5,
    SRB_OPEN_MASTER_CLOCK = 6,
    SRB_INDICATE_MASTER_CLOCK = 7,
    SRB_UNKNOWN_STREAM_COMMAND = 8,
    SRB_SET_STREAM_RATE = 9,
    SRB_PROPOSE_DATA_FORMAT = 10,
    SRB_CLOSE_MASTER_CLOCK = 11,
    SRB_PROPOSE_STREAM_RATE = 12,
    SRB_SET_DATA_FORMAT = 13,
    SRB_GET_DATA_FORMAT = 14,
    SRB_BEGIN_FLUSH = 15,
    SRB_END_FLUSH = 16,

    SRB_GET_STREAM_INFO = 0x100,
    SRB_OPEN_STREAM = 0x101,
    SRB_CLOSE_STREAM = 0x102,
    SRB_OPEN_DEVICE_INSTANCE = 0x103,
    SRB_CLOSE_DEVICE_INSTANCE = 0x104,
    SRB_GET_DEVICE_PROPERTY = 0x105,
    SRB_SET_DEVICE_PROPERTY = 0x106,
    SRB_INITIALIZE_DEVICE = 0x107,
    SRB_CHANGE_POWER_STATE = 0x108,
    SRB_UNINITIALIZE_DEVICE = 0x109,
    SRB_UNKNOWN_DEVICE_COMMAND = 0x10A,
    SRB_PAGING_OUT_DRIVER = 0x10B,
    SRB_GET_DATA_INTERSECTION = 0x10C,
    SRB_INITIALIZATION_COMPLETE = 0x10D,
    SRB_SURPRISE_REMOVAL = 0x10E,
};

enum KSSTATE : ULONG { KSSTATE_STOP = 0, KSSTATE_ACQUIRE = 1, KSSTATE_PAUSE = 2, KSSTATE_RUN = 3 };
enum DEVICE_POWER_STATE : ULONG { PowerDeviceUnspecified = 0, PowerDeviceD0 = 1, PowerDeviceD3 = 4 };

struct HW_STREAM_REQUEST_BLOCK;
struct HW_STREAM_OBJECT;
struct HW_STREAM_DESCRIPTOR;
struct KSSTREAM_HEADER;
struct PORT_CONFIGURATION_INFORMATION;
struct KSTOPOLOGY;
struct KSMETHOD_SET;
typedef HW_STREAM_REQUEST_BLOCK* PHW_STREAM_REQUEST_BLOCK;
typedef HW_STREAM_OBJECT* PHW_STREAM_OBJECT;

typedef VOID(STREAMAPI* PHW_RECEIVE_DEVICE_SRB)(PHW_STREAM_REQUEST_BLOCK SRB);
typedef VOID(STREAMAPI* PHW_RECEIVE_STREAM_DATA_SRB)(PHW_STREAM_REQUEST_BLOCK SRB);
typedef VOID(STREAMAPI* PHW_RECEIVE_STREAM_CONTROL_SRB)(PHW_STREAM_REQUEST_BLOCK SRB);
typedef VOID(STREAMAPI* PHW_CLOCK_FUNCTION)(PVOID TimeContext);
typedef NTSTATUS(STREAMAPI* PHW_EVENT_ROUTINE)(PVOID EventContext);

struct alignas(8) KSTIME {
    LONGLONG Time;
    ULONG Numerator;
    ULONG Denominator;
};

struct alignas(8) KSSTREAM_HEADER {
    ULONG Size;
    ULONG TypeSpecificFlags;
    KSTIME PresentationTime;
    LONGLONG Duration;
    ULONG FrameExtent;
    ULONG DataUsed;
    PVOID Data;
    ULONG OptionsFlags;
#if UINTPTR_MAX > 0xFFFFFFFFu
    ULONG Reserved;
#endif
};
typedef KSSTREAM_HEADER* PKSSTREAM_HEADER;

struct STREAM_PROPERTY_DESCRIPTOR {
    PKSPROPERTY Property;
    ULONG PropertySetID;
    PVOID PropertyInfo;
    ULONG PropertyInputSize;
    ULONG PropertyOutputSize;
};
typedef STREAM_PROPERTY_DESCRIPTOR* PSTREAM_PROPERTY_DESCRIPTOR;

struct STREAM_DATA_INTERSECT_INFO {
    ULONG StreamNumber;
    PKSDATARANGE DataRange;
    PVOID DataFormatBuffer;
    ULONG SizeOfDataFormatBuffer;
};
typedef STREAM_DATA_INTERSECT_INFO* PSTREAM_DATA_INTERSECT_INFO;

struct HW_STREAM_REQUEST_BLOCK {
    ULONG SizeOfThisPacket;
    SRB_COMMAND Command;
    NTSTATUS Status;
    PHW_STREAM_OBJECT StreamObject;
    PVOID HwDeviceExtension;
    PVOID SRBExtension;
    union {
        PKSSTREAM_HEADER DataBufferArray;
        HW_STREAM_DESCRIPTOR* StreamBuffer;
        KSSTATE StreamState;
        PVOID TimeReference;
        PSTREAM_PROPERTY_DESCRIPTOR PropertyInfo;
        PKSDATAFORMAT OpenFormat;
        PORT_CONFIGURATION_INFORMATION* ConfigInfo;
        HANDLE MasterClockHandle;
        DEVICE_POWER_STATE DeviceState;
        PSTREAM_DATA_INTERSECT_INFO IntersectInfo;
    } CommandData;
    ULONG NumberOfBuffers;
    ULONG TimeoutCounter;
    ULONG TimeoutOriginal;
    HW_STREAM_REQUEST_BLOCK* NextSRB;
    PIRP Irp;
    ULONG Flags;
    PVOID HwInstanceExtension;
    union {
        ULONG NumberOfBytesToTransfer;
        ULONG ActualBytesTransferred;
    };
    PVOID ScatterGatherBuffer;
    ULONG NumberOfPhysicalPages;
    ULONG NumberOfScatterGatherElements;
    ULONG Reserved[1];
};

struct HW_CLOCK_OBJECT {
    PHW_CLOCK_FUNCTION HwClockFunction;
    ULONG ClockSupportFlags;
    ULONG Reserved[2];
};

struct HW_STREAM_OBJECT {
    ULONG SizeOfThisPacket;
    ULONG StreamNumber;
    PVOID HwStreamExtension;
    PHW_RECEIVE_STREAM_DATA_SRB ReceiveDataPacket;
    PHW_RECEIVE_STREAM_CONTROL_SRB ReceiveControlPacket;
    HW_CLOCK_OBJECT HwClockObject;
    BOOLEAN Dma;
    BOOLEAN Pio;
    PVOID HwDeviceExtension;
    ULONG StreamHeaderMediaSpecific;
    ULONG StreamHeaderWorkspace;
    BOOLEAN Allocator;
    PHW_EVENT_ROUTINE HwEventRoutine;
    ULONG Reserved[2];
};

struct HW_STREAM_HEADER {
    ULONG NumberOfStreams;
    ULONG SizeOfHwStreamInformation;
    ULONG NumDevPropArrayEntries;
    const KSPROPERTY_SET* DevicePropertiesArray;
    ULONG NumDevEventArrayEntries;
    PKSEVENT_SET DeviceEventsArray;
    KSTOPOLOGY* Topology;
    PHW_EVENT_ROUTINE DeviceEventRoutine;
    LONG NumDevMethodArrayEntries;
    KSMETHOD_SET* DeviceMethodsArray;
};

struct HW_STREAM_INFORMATION {
    ULONG NumberOfPossibleInstances;
    KSPIN_DATAFLOW DataFlow;
    BOOLEAN DataAccessible;
    ULONG NumberOfFormatArrayEntries;
    const PKSDATAFORMAT* StreamFormatsArray;
    PVOID ClassReserved[4];
    ULONG NumStreamPropArrayEntries;
    const KSPROPERTY_SET* StreamPropertiesArray;
    ULONG NumStreamEventArrayEntries;
    PKSEVENT_SET StreamEventsArray;
    const GUID* Category;
    const GUID* Name;
    ULONG MediumsCount;
    const KSPIN_MEDIUM* Mediums;
    BOOLEAN BridgeStream;
    ULONG Reserved[2];
};

struct HW_STREAM_DESCRIPTOR {
    HW_STREAM_HEADER StreamHeader;
    HW_STREAM_INFORMATION StreamInfo; // the first of StreamHeader.NumberOfStreams entries
};

enum INTERFACE_TYPE : LONG { InterfaceTypeUndefined = -1, Internal = 0, PNPBus = 15 };
enum KINTERRUPT_MODE : ULONG { LevelSensitive = 0, Latched = 1 };

struct PORT_CONFIGURATION_INFORMATION {
    ULONG SizeOfThisPacket;
    PVOID HwDeviceExtension;
    PDEVICE_OBJECT ClassDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    ULONG SystemIoBusNumber;
    INTERFACE_TYPE AdapterInterfaceType;
    ULONG BusInterruptLevel;
    ULONG BusInterruptVector;
    KINTERRUPT_MODE InterruptMode;
    ULONG DmaChannel;
    ULONG NumberOfAccessRanges;
    PVOID AccessRanges;
    ULONG StreamDescriptorSize;
    PIRP Irp;
    PVOID InterruptObject;
    PVOID DmaAdapterObject;
    PDEVICE_OBJECT RealPhysicalDeviceObject;
    ULONG Reserved[1];
};
typedef PORT_CONFIGURATION_INFORMATION* PPORT_CONFIGURATION_INFORMATION;

enum STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE : ULONG {
    ReadyForNextDeviceRequest = 0,
    DeviceRequestComplete = 1,
};

enum STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE : ULONG {
    ReadyForNextStreamDataRequest = 0,
    ReadyForNextStreamControlRequest = 1,
    HardwareStarved = 2,
    StreamRequestComplete = 3,
};

// Completion of a device (adapter) request and of a stream request. The stream class exports these two
// as __cdecl (their published forms take further arguments for events, which this driver never sends).
Z40K_EXTERN_C_BEGIN
VOID Z40K_CDECL StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType,
                                              PVOID HwDeviceExtension, PHW_STREAM_REQUEST_BLOCK pSrb);
VOID Z40K_CDECL StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE NotificationType,
                                              PHW_STREAM_OBJECT StreamObject, PHW_STREAM_REQUEST_BLOCK pSrb);
Z40K_EXTERN_C_END
