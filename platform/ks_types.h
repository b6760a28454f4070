// Kernel-streaming records and identifiers (ks.h, ksmedia.h), as published.
#pragma once

#include "platform/nt_types.h"

#define Z40K_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                                           \
    inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

// ---- identifiers ------------------------------------------------------------------------------------
Z40K_GUID(KSDATAFORMAT_TYPE_VIDEO, 0x73646976, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B,
          0x71);
Z40K_GUID(KSDATAFORMAT_SUBTYPE_RGB24, 0xE436EB7D, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7,
          0x70);
Z40K_GUID(KSDATAFORMAT_SPECIFIER_VIDEOINFO, 0x05589F80, 0xC356, 0x11CE, 0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55,
          0x59, 0x5A);
Z40K_GUID(KSPROPSETID_Connection, 0x1D58C920, 0xAC9B, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
Z40K_GUID(PROPSETID_VIDCAP_DROPPEDFRAMES, 0xC6E13344, 0x30AC, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11,
          0x89, 0x56);
Z40K_GUID(PROPSETID_VIDCAP_VIDEOPROCAMP, 0xC6E13360, 0x30AC, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89,
          0x56);
Z40K_GUID(PROPSETID_VIDCAP_CAMERACONTROL, 0xC6E13370, 0x30AC, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11,
          0x89, 0x56);
Z40K_GUID(PROPSETID_VIDCAP_VIDEOCONTROL, 0x6A2E0670, 0x28E4, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89,
          0x56);
Z40K_GUID(KSMEDIUMSETID_Standard, 0x4747B320, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
Z40K_GUID(PINNAME_VIDEO_CAPTURE, 0xFB6C4281, 0x0353, 0x11D1, 0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA);
Z40K_GUID(PINNAME_VIDEO_STILL, 0xFB6C428A, 0x0353, 0x11D1, 0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA);

// ---- identifiers, properties, media -------------------------------------------------------------------
struct alignas(8) KSIDENTIFIER {
    GUID Set;
    ULONG Id;
    ULONG Flags;
};
typedef KSIDENTIFIER* PKSIDENTIFIER;
typedef KSIDENTIFIER KSPROPERTY;
typedef KSPROPERTY* PKSPROPERTY;
typedef KSIDENTIFIER KSPIN_MEDIUM;
typedef KSIDENTIFIER KSEVENT;

constexpr ULONG KSPROPERTY_TYPE_GET = 0x00000001;
constexpr ULONG KSPROPERTY_TYPE_SET = 0x00000002;

constexpr ULONG KSPROPERTY_CONNECTION_ALLOCATORFRAMING = 3;
constexpr ULONG KSPROPERTY_DROPPEDFRAMES_CURRENT = 0;

struct IRP;
typedef NTSTATUS(NTAPI* PFNKSHANDLER)(IRP* Irp, PKSIDENTIFIER Request, PVOID Data);

struct KSPROPERTY_MEMBERSHEADER;
struct KSPROPERTY_VALUES {
    KSIDENTIFIER PropTypeSet;
    ULONG MembersListCount;
    const KSPROPERTY_MEMBERSHEADER* MembersList;
};

// The published record puts each handler first in its union; here the flag comes first, so that a
// constant table can set it by aggregate initialisation (a handler is never set by this driver). The
// layout is the same: a flag fills the low byte of a zeroed pointer-sized slot.
struct KSPROPERTY_ITEM {
    ULONG PropertyId;
    union {
        BOOLEAN GetSupported;
        PFNKSHANDLER GetPropertyHandler;
    };
    ULONG MinProperty;
    ULONG MinData;
    union {
        BOOLEAN SetSupported;
        PFNKSHANDLER SetPropertyHandler;
    };
    const KSPROPERTY_VALUES* Values;
    ULONG RelationsCount;
    const KSPROPERTY* Relations;
    PFNKSHANDLER SupportHandler;
    ULONG SerializedSize;
};

struct KSFASTPROPERTY_ITEM;
struct KSPROPERTY_SET {
    const GUID* Set;
    ULONG PropertiesCount;
    const KSPROPERTY_ITEM* PropertyItem;
    ULONG FastIoCount;
    const KSFASTPROPERTY_ITEM* FastIoTable;
};
typedef KSPROPERTY_SET* PKSPROPERTY_SET;

struct KSEVENT_SET;
typedef KSEVENT_SET* PKSEVENT_SET;

struct KSALLOCATOR_FRAMING {
    ULONG OptionsFlags;
    ULONG PoolType;
    ULONG Frames;
    ULONG FrameSize;
    ULONG FileAlignment;
    ULONG Reserved;
};

struct alignas(8) KSPROPERTY_DROPPEDFRAMES_CURRENT_S {
    KSPROPERTY Property;
    LONGLONG PictureNumber;
    LONGLONG DropCount;
    ULONG AverageFrameSize;
};

// ---- the extended header of a video frame --------------------------------------------------------------
// It follows the KSSTREAM_HEADER of a capture read; Size of the stream header counts both.
struct alignas(8) KS_FRAME_INFO {
    ULONG ExtendedHeaderSize;
    ULONG dwFrameFlags;
    LONGLONG PictureNumber;
    LONGLONG DropCount;
    HANDLE hDirectDraw;
    HANDLE hSurfaceHandle;
    RECT DirectDrawRect;
    LONG lSurfacePitch;
    ULONG Reserved2;
    ULONGLONG FrameCompletionNumber;
};
constexpr ULONG KS_VIDEO_FLAG_FRAME = 0x0000;

// OptionsFlags of a stream header
constexpr ULONG KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY = 0x00000004;
constexpr ULONG KSSTREAM_HEADER_OPTIONSF_TIMEVALID = 0x00000080;
constexpr ULONG KSSTREAM_HEADER_OPTIONSF_DURATIONVALID = 0x00000100;

// ---- video proc-amp ---------------------------------------------------------------------------------
enum {
    KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS = 0,
    KSPROPERTY_VIDEOPROCAMP_CONTRAST = 1,
    KSPROPERTY_VIDEOPROCAMP_HUE = 2,
    KSPROPERTY_VIDEOPROCAMP_SATURATION = 3,
    KSPROPERTY_VIDEOPROCAMP_SHARPNESS = 4,
    KSPROPERTY_VIDEOPROCAMP_GAMMA = 5,
    KSPROPERTY_VIDEOPROCAMP_COLORENABLE = 6,
    KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE = 7,
};
constexpr ULONG KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO = 0x0001;
constexpr ULONG KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL = 0x0002;

struct KSPROPERTY_VIDEOPROCAMP_S {
    KSPROPERTY Property;
    LONG Value;
    ULONG Flags;
    ULONG Capabilities;
};

// ---- data formats and ranges ------------------------------------------------------------------------
struct alignas(8) KSDATAFORMAT {
    ULONG FormatSize;
    ULONG Flags;
    ULONG SampleSize;
    ULONG Reserved;
    GUID MajorFormat;
    GUID SubFormat;
    GUID Specifier;
};
typedef KSDATAFORMAT KSDATARANGE;
typedef KSDATAFORMAT* PKSDATAFORMAT;
typedef KSDATARANGE* PKSDATARANGE;

constexpr ULONG KS_VIDEOSTREAM_STILL = 0x1000;
constexpr ULONG KS_AnalogVideo_None = 0;
constexpr ULONG KS_BI_RGB = 0;
constexpr ULONG KSPIN_DATAFLOW_IN = 1;
constexpr ULONG KSPIN_DATAFLOW_OUT = 2;
typedef ULONG KSPIN_DATAFLOW;

struct alignas(8) KS_VIDEO_STREAM_CONFIG_CAPS {
    GUID guid;
    ULONG VideoStandard;
    SIZE InputSize;
    SIZE MinCroppingSize;
    SIZE MaxCroppingSize;
    LONG CropGranularityX;
    LONG CropGranularityY;
    LONG CropAlignX;
    LONG CropAlignY;
    SIZE MinOutputSize;
    SIZE MaxOutputSize;
    LONG OutputGranularityX;
    LONG OutputGranularityY;
    LONG StretchTapsX;
    LONG StretchTapsY;
    LONG ShrinkTapsX;
    LONG ShrinkTapsY;
    LONGLONG MinFrameInterval;
    LONGLONG MaxFrameInterval;
    LONG MinBitsPerSecond;
    LONG MaxBitsPerSecond;
};

struct KS_BITMAPINFOHEADER {
    ULONG biSize;
    LONG biWidth;
    LONG biHeight;
    USHORT biPlanes;
    USHORT biBitCount;
    ULONG biCompression;
    ULONG biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    ULONG biClrUsed;
    ULONG biClrImportant;
};

struct alignas(8) KS_VIDEOINFOHEADER {
    RECT rcSource;
    RECT rcTarget;
    ULONG dwBitRate;
    ULONG dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    KS_BITMAPINFOHEADER bmiHeader;
};

struct alignas(8) KS_DATARANGE_VIDEO {
    KSDATARANGE DataRange;
    BOOL bFixedSizeSamples;
    BOOL bTemporalCompression;
    ULONG StreamDescriptionFlags;
    ULONG MemoryAllocationFlags;
    KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
    KS_VIDEOINFOHEADER VideoInfoHeader;
};

struct alignas(8) KS_DATAFORMAT_VIDEOINFOHEADER {
    KSDATAFORMAT DataFormat;
    KS_VIDEOINFOHEADER VideoInfoHeader;
};

// Offsets of the video-info header and of its bitmap header inside a format; what a verification may
// read of a format follows from these.
constexpr ULONG KS_VIDEOINFOHEADER_BMI_OFFSET = offsetof(KS_VIDEOINFOHEADER, bmiHeader);

static_assert(sizeof(KSDATAFORMAT) == 64, "KSDATAFORMAT is 64 bytes");
static_assert(sizeof(KSIDENTIFIER) == 24, "KSIDENTIFIER is 24 bytes");
static_assert(sizeof(KS_BITMAPINFOHEADER) == 40, "KS_BITMAPINFOHEADER is 40 bytes");
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88, "KS_VIDEOINFOHEADER is 88 bytes");
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128, "KS_VIDEO_STREAM_CONFIG_CAPS is 128 bytes");
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296, "KS_DATARANGE_VIDEO is 296 bytes");
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152, "video-info format is 152 bytes");
static_assert(sizeof(KSPROPERTY_VIDEOPROCAMP_S) == 40, "proc-amp record is 40 bytes");
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(KS_FRAME_INFO) == 64, "frame information is 64 bytes");
#endif
