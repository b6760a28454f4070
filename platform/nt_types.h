// NT base types, status codes and the few kernel records the driver touches, with the field order and
// widths of the published headers. Every record has its i386 layout on a 32-bit build; 64-bit quantities
// are aligned to 8 bytes as the Windows compiler aligns them (gcc -m32 would use 4).
#pragma once

#include <cstddef>
#include <cstdint>

// Calling conventions of the platform's exports and callbacks. On i386 the kernel, the stream class and
// the camera class library call and are called with __stdcall (IofCallDriver with __fastcall); a routine
// of the wrong convention unbalances its caller's stack on its first return. Other targets have one
// convention and these are empty.
//
// On the 32-bit Linux host the same routines also realign the stack on entry: a driver built for
// Windows keeps it only 4-byte aligned, while System V i386 code assumes 16 at every call and spills
// SSE registers accordingly.
#if defined(__i386__) && defined(_WIN32)
#define NTAPI __attribute__((stdcall))
#define FASTCALL __attribute__((fastcall))
#define Z40K_CDECL __attribute__((cdecl))
#elif defined(__i386__)
#define NTAPI __attribute__((stdcall, force_align_arg_pointer))
#define FASTCALL __attribute__((fastcall, force_align_arg_pointer))
#define Z40K_CDECL __attribute__((cdecl, force_align_arg_pointer))
#else
#define NTAPI
#define FASTCALL
#define Z40K_CDECL
#endif
#define STREAMAPI NTAPI

// The platform exports and imports by unmangled name.
#define Z40K_EXTERN_C_BEGIN extern "C" {
#define Z40K_EXTERN_C_END }

typedef void VOID;
typedef void* PVOID;
typedef uint8_t UCHAR;
typedef UCHAR* PUCHAR;
typedef int8_t CHAR;
typedef uint16_t USHORT;
typedef USHORT* PUSHORT;
typedef int16_t SHORT;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef int32_t BOOL;
typedef uint8_t BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef uint64_t ULONG64;
typedef int64_t LONGLONG __attribute__((aligned(8))); // 8-aligned in records, as on Windows
typedef uint64_t ULONGLONG __attribute__((aligned(8)));
typedef LONGLONG REFERENCE_TIME;
typedef size_t SIZE_T;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef char16_t WCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef ULONG ACCESS_MASK;
typedef LONG NTSTATUS;
typedef CHAR KPROCESSOR_MODE;
typedef UCHAR KIRQL;
typedef char* PCHAR;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

union alignas(8) LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
typedef LARGE_INTEGER* PLARGE_INTEGER;

struct GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
};
typedef const GUID& REFGUID;

inline bool IsEqualGUID(const GUID& a, const GUID& b) {
    const UCHAR* pa = reinterpret_cast<const UCHAR*>(&a);
    const UCHAR* pb = reinterpret_cast<const UCHAR*>(&b);
    for (int i = 0; i < 16; ++i) {
        if (pa[i] != pb[i])
            return false;
    }
    return true;
}

struct UNICODE_STRING {
    USHORT Length;        // bytes, without the terminating zero
    USHORT MaximumLength; // bytes, with it
    PWSTR Buffer;
};
typedef UNICODE_STRING* PUNICODE_STRING;

struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};

struct SIZE {
    LONG cx;
    LONG cy;
};

// ---- status codes --------------------------------------------------------------------------------
constexpr NTSTATUS STATUS_SUCCESS = 0x00000000;
constexpr NTSTATUS STATUS_TIMEOUT = 0x00000102;
constexpr NTSTATUS STATUS_PENDING = 0x00000103;
constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = static_cast<NTSTATUS>(0x80000005);
constexpr NTSTATUS STATUS_NO_MORE_ENTRIES = static_cast<NTSTATUS>(0x8000001A);
constexpr NTSTATUS STATUS_UNSUCCESSFUL = static_cast<NTSTATUS>(0xC0000001);
constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = static_cast<NTSTATUS>(0xC0000002);
constexpr NTSTATUS STATUS_INVALID_HANDLE = static_cast<NTSTATUS>(0xC0000008);
constexpr NTSTATUS STATUS_INVALID_PARAMETER = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = static_cast<NTSTATUS>(0xC000000E);
constexpr NTSTATUS STATUS_ACCESS_DENIED = static_cast<NTSTATUS>(0xC0000022);
constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = static_cast<NTSTATUS>(0xC0000023);
constexpr NTSTATUS STATUS_OBJECT_NAME_INVALID = static_cast<NTSTATUS>(0xC0000033);
constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS STATUS_OBJECT_PATH_NOT_FOUND = static_cast<NTSTATUS>(0xC000003A);
constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = static_cast<NTSTATUS>(0xC000009A);
constexpr NTSTATUS STATUS_NOT_FOUND = static_cast<NTSTATUS>(0xC0000225);
constexpr NTSTATUS STATUS_INVALID_DEVICE_STATE = static_cast<NTSTATUS>(0xC0000184);
constexpr NTSTATUS STATUS_IO_DEVICE_ERROR = static_cast<NTSTATUS>(0xC0000185);
constexpr NTSTATUS STATUS_NOT_SUPPORTED = static_cast<NTSTATUS>(0xC00000BB);
constexpr NTSTATUS STATUS_DEVICE_NOT_READY = static_cast<NTSTATUS>(0xC00000A3);
constexpr NTSTATUS STATUS_NO_MATCH = static_cast<NTSTATUS>(0xC0000272);
constexpr NTSTATUS STATUS_DEVICE_DATA_ERROR = static_cast<NTSTATUS>(0xC000009C);
constexpr NTSTATUS STATUS_DEVICE_NOT_CONNECTED = static_cast<NTSTATUS>(0xC000009D);
constexpr NTSTATUS STATUS_CANCELLED = static_cast<NTSTATUS>(0xC0000120);

#define NT_SUCCESS(Status) (static_cast<NTSTATUS>(Status) >= 0)

// ---- pool ----------------------------------------------------------------------------------------
enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1 };

// ---- processor modes, waits, events --------------------------------------------------------------
constexpr KPROCESSOR_MODE KernelMode = 0;
constexpr KPROCESSOR_MODE UserMode = 1;

constexpr KIRQL PASSIVE_LEVEL = 0;
constexpr KIRQL APC_LEVEL = 1;
constexpr KIRQL DISPATCH_LEVEL = 2;

enum KWAIT_REASON { Executive = 0 };
enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };

struct LIST_ENTRY {
    LIST_ENTRY* Flink;
    LIST_ENTRY* Blink;
};

struct DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Absolute;
    UCHAR Size;
    UCHAR Inserted;
    LONG SignalState;
    LIST_ENTRY WaitListHead;
};

struct KEVENT {
    DISPATCHER_HEADER Header;
};
typedef KEVENT* PKEVENT;
typedef KEVENT* PRKEVENT;

// ---- device objects and I/O requests --------------------------------------------------------------
// The published records with every member up to the last one the driver or the platform's inline
// routines touch; the rest of each record is kept as opaque room so that its size is the published one.
// The driver never allocates or walks these records itself.
struct DRIVER_OBJECT;
struct IRP;
struct DEVICE_OBJECT;
typedef DEVICE_OBJECT* PDEVICE_OBJECT;
typedef DRIVER_OBJECT* PDRIVER_OBJECT;
typedef IRP* PIRP;
struct IO_STACK_LOCATION;
typedef IO_STACK_LOCATION* PIO_STACK_LOCATION;

typedef NTSTATUS(NTAPI* PDRIVER_DISPATCH)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef NTSTATUS(NTAPI* PDRIVER_INITIALIZE)(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
typedef VOID(NTAPI* PDRIVER_UNLOAD)(PDRIVER_OBJECT DriverObject);
typedef VOID(NTAPI* PDRIVER_STARTIO)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef VOID(NTAPI* PDRIVER_CANCEL)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef NTSTATUS(NTAPI* PIO_COMPLETION_ROUTINE)(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

constexpr SHORT IO_TYPE_DRIVER = 4; // DRIVER_OBJECT::Type
constexpr SHORT IO_TYPE_DEVICE = 3; // DEVICE_OBJECT::Type
constexpr SHORT IO_TYPE_IRP = 6;    // IRP::Type
constexpr ULONG IRP_MJ_MAXIMUM_FUNCTION = 0x1B;

struct DEVICE_OBJECT {
    SHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    DRIVER_OBJECT* DriverObject;
    DEVICE_OBJECT* NextDevice;
    DEVICE_OBJECT* AttachedDevice;
    IRP* CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVOID Vpb;
    PVOID DeviceExtension;
    ULONG DeviceType;
    CHAR StackSize; // stack locations a request sent to this device needs
    // Queue, AlignmentRequirement, DeviceQueue, Dpc, ActiveThreadCount, SecurityDescriptor, DeviceLock,
    // SectorSize, Spare1, DeviceObjectExtension, Reserved.
    ULONG_PTR Opaque[33];
};

struct DRIVER_OBJECT {
    SHORT Type;
    SHORT Size;
    PDEVICE_OBJECT DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PVOID DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PDRIVER_STARTIO DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

struct IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
};
typedef IO_STATUS_BLOCK* PIO_STATUS_BLOCK;

typedef VOID(NTAPI* PIO_APC_ROUTINE)(PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG Reserved);

typedef VOID(NTAPI* PINTERFACE_REFERENCE)(PVOID Context);
typedef VOID(NTAPI* PINTERFACE_DEREFERENCE)(PVOID Context);

// The standard interface header that every query-interface answer starts with.
struct INTERFACE {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
};
typedef INTERFACE* PINTERFACE;

constexpr UCHAR IRP_MJ_READ = 0x03;
constexpr UCHAR IRP_MJ_WRITE = 0x04;
constexpr UCHAR IRP_MJ_PNP = 0x1B;
constexpr UCHAR IRP_MN_QUERY_INTERFACE = 0x08;

// On i386 the stack location is packed to 4 bytes, so that the 64-bit offset of a read or write sits
// right after its length and key (GCC would otherwise say that packing loses the offset's alignment,
// which is the point).
#if defined(__i386__)
#pragma pack(push, 4)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpacked-not-aligned"
#endif
#endif
struct IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            const GUID* InterfaceType;
            USHORT Size;
            USHORT Version;
            PINTERFACE Interface;
            PVOID InterfaceSpecificData;
        } QueryInterface;
        struct {
            ULONG Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Write;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PVOID FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
};
#if defined(__i386__)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#pragma pack(pop)
#endif

// The request; its stack locations follow it in the same block, the first one last.
struct IRP {
    SHORT Type;
    USHORT Size;
    PVOID MdlAddress;
    ULONG Flags;
    PVOID AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation; // 1-based index of the current stack location, as the I/O manager counts
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    union {
        struct {
            PIO_APC_ROUTINE UserApcRoutine;
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    PDRIVER_CANCEL CancelRoutine;
    PVOID UserBuffer;
    union {
        struct {
            PVOID DriverContext[4];
            PVOID Thread;
            PCHAR AuxiliaryBuffer;
            LIST_ENTRY ListEntry;
            PIO_STACK_LOCATION CurrentStackLocation;
            PVOID OriginalFileObject;
        } Overlay;
        ULONG_PTR Apc[12]; // a KAPC, for completion at the requester's APC level
    } Tail;
};

// The stack location the next lower driver will see.
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation - 1;
}
inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation;
}

// ---- object attributes, files, registry ------------------------------------------------------------
constexpr ULONG OBJ_CASE_INSENSITIVE = 0x00000040;
constexpr ULONG OBJ_KERNEL_HANDLE = 0x00000200;

struct OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
};
typedef OBJECT_ATTRIBUTES* POBJECT_ATTRIBUTES;

inline void InitializeObjectAttributes(POBJECT_ATTRIBUTES p, PUNICODE_STRING n, ULONG a, HANDLE r, PVOID s) {
    p->Length = sizeof(OBJECT_ATTRIBUTES);
    p->RootDirectory = r;
    p->Attributes = a;
    p->ObjectName = n;
    p->SecurityDescriptor = s;
    p->SecurityQualityOfService = nullptr;
}

constexpr ACCESS_MASK GENERIC_ALL = 0x10000000;
constexpr ACCESS_MASK GENERIC_WRITE = 0x40000000;
constexpr ACCESS_MASK GENERIC_READ = 0x80000000;
constexpr ACCESS_MASK READ_CONTROL = 0x00020000;
constexpr ACCESS_MASK KEY_ALL_ACCESS = 0x000F003F;
constexpr ACCESS_MASK KEY_READ = 0x00020019;
constexpr ULONG FILE_ATTRIBUTE_NORMAL = 0x00000080;
constexpr ULONG FILE_OVERWRITE_IF = 5;
constexpr ULONG FILE_SYNCHRONOUS_IO_NONALERT = 0x00000020;
constexpr ULONG REG_OPTION_NON_VOLATILE = 0;

constexpr ULONG PLUGPLAY_REGKEY_DEVICE = 1;
constexpr ULONG PLUGPLAY_REGKEY_DRIVER = 2;

constexpr ULONG REG_NONE = 0;
constexpr ULONG REG_SZ = 1;
constexpr ULONG REG_EXPAND_SZ = 2;
constexpr ULONG REG_BINARY = 3;
constexpr ULONG REG_DWORD = 4;
constexpr ULONG REG_MULTI_SZ = 7;
constexpr ULONG REG_QWORD = 11;

enum KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2
};

struct KEY_VALUE_FULL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset;
    ULONG DataLength;
    ULONG NameLength;
    WCHAR Name[1];
};


// ---- processor state -------------------------------------------------------------------------------
struct KFLOATING_SAVE {
    ULONG ControlWord;
    ULONG StatusWord;
    ULONG ErrorOffset;
    ULONG ErrorSelector;
    ULONG DataOffset;
    ULONG DataSelector;
    ULONG Cr0NpxState;
    ULONG Spare1;
};
typedef KFLOATING_SAVE* PKFLOATING_SAVE;

constexpr ULONG64 XSTATE_MASK_LEGACY = 0x3;
constexpr ULONG64 XSTATE_MASK_AVX = 0x4;
constexpr ULONG64 XSTATE_MASK_AVX512 = 0xE0;

struct alignas(8) XSTATE_SAVE {
    LONGLONG Reserved1;
    ULONG Reserved2;
    PVOID Prev;
    PVOID Reserved3;
    PVOID Thread;
    PVOID Reserved4;
    UCHAR Level;
};
typedef XSTATE_SAVE* PXSTATE_SAVE;

// The published i386 layouts, member by member where the driver or the platform reads them.
#if defined(__i386__)
static_assert(sizeof(LARGE_INTEGER) == 8 && sizeof(UNICODE_STRING) == 8, "base records");
static_assert(sizeof(KEVENT) == 16 && sizeof(IO_STATUS_BLOCK) == 8 && sizeof(INTERFACE) == 16, "base records");
static_assert(sizeof(OBJECT_ATTRIBUTES) == 24 && sizeof(KFLOATING_SAVE) == 32, "base records");
static_assert(sizeof(DEVICE_OBJECT) == 0xB8, "DEVICE_OBJECT is 0xB8 bytes");
static_assert(offsetof(DEVICE_OBJECT, DriverObject) == 0x08 && offsetof(DEVICE_OBJECT, AttachedDevice) == 0x10,
              "DEVICE_OBJECT links");
static_assert(offsetof(DEVICE_OBJECT, Flags) == 0x1C && offsetof(DEVICE_OBJECT, DeviceExtension) == 0x28 &&
                  offsetof(DEVICE_OBJECT, DeviceType) == 0x2C && offsetof(DEVICE_OBJECT, StackSize) == 0x30,
              "DEVICE_OBJECT extension and stack size");
static_assert(sizeof(DRIVER_OBJECT) == 0xA8, "DRIVER_OBJECT is 0xA8 bytes");
static_assert(offsetof(DRIVER_OBJECT, DriverExtension) == 0x18 && offsetof(DRIVER_OBJECT, DriverName) == 0x1C &&
                  offsetof(DRIVER_OBJECT, DriverInit) == 0x2C && offsetof(DRIVER_OBJECT, DriverUnload) == 0x34 &&
                  offsetof(DRIVER_OBJECT, MajorFunction) == 0x38,
              "DRIVER_OBJECT members");
static_assert(sizeof(IO_STACK_LOCATION) == 0x24, "IO_STACK_LOCATION is 0x24 bytes");
static_assert(offsetof(IO_STACK_LOCATION, Parameters) == 0x04 &&
                  offsetof(IO_STACK_LOCATION, Parameters.QueryInterface.Size) == 0x08 &&
                  offsetof(IO_STACK_LOCATION, Parameters.QueryInterface.Interface) == 0x0C &&
                  offsetof(IO_STACK_LOCATION, Parameters.Write.ByteOffset) == 0x0C,
              "IO_STACK_LOCATION parameters");
static_assert(offsetof(IO_STACK_LOCATION, DeviceObject) == 0x14 &&
                  offsetof(IO_STACK_LOCATION, CompletionRoutine) == 0x1C &&
                  offsetof(IO_STACK_LOCATION, Context) == 0x20,
              "IO_STACK_LOCATION device and completion");
static_assert(sizeof(IRP) == 0x70, "IRP is 0x70 bytes");
static_assert(offsetof(IRP, IoStatus) == 0x18 && offsetof(IRP, RequestorMode) == 0x20 &&
                  offsetof(IRP, PendingReturned) == 0x21 && offsetof(IRP, StackCount) == 0x22 &&
                  offsetof(IRP, CurrentLocation) == 0x23,
              "IRP status and stack");
static_assert(offsetof(IRP, UserIosb) == 0x28 && offsetof(IRP, UserEvent) == 0x2C && offsetof(IRP, Overlay) == 0x30 &&
                  offsetof(IRP, CancelRoutine) == 0x38 && offsetof(IRP, UserBuffer) == 0x3C,
              "IRP requester");
static_assert(offsetof(IRP, Tail.Overlay.Thread) == 0x50 && offsetof(IRP, Tail.Overlay.ListEntry) == 0x58 &&
                  offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 0x60,
              "IRP tail");
#endif
