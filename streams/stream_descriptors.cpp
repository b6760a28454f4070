// The constant tables that describe our two streams to the stream class. Both streams deliver the same
// picture: 2560 x 1920 RGB24, bottom-up, one frame per sample. Nothing here is written at run time.
#include "streams/stream_descriptors.h"

#include "driver/type_helpers.h"
#include "properties/device_properties.h"

namespace {

constexpr LONG IMAGE_WIDTH = 2560;
constexpr LONG IMAGE_HEIGHT = 1920;
constexpr USHORT IMAGE_BIT_COUNT = 24;
// Rows of 7,680 bytes are already a multiple of four, so the image is exactly width x 3 x height.
constexpr ULONG IMAGE_SIZE = IMAGE_WIDTH * (IMAGE_BIT_COUNT / 8) * IMAGE_HEIGHT; // 14,745,600
constexpr ULONG IMAGE_BITS = IMAGE_SIZE * 8;                                     // 117,964,800

// Frame intervals in 100 ns units: 1/15 s rounded to a whole unit, and one second.
constexpr LONGLONG CAPTURE_FRAME_INTERVAL = 666667;
constexpr LONGLONG STILL_FRAME_INTERVAL = 10000000;
constexpr ULONG CAPTURE_FRAMES_PER_SECOND = 15;

constexpr LONG CAPTURE_BITS_PER_SECOND =
    static_cast<LONG>(IMAGE_BITS * CAPTURE_FRAMES_PER_SECOND); // 1,769,472,000
// Applications have always been shown the byte rate here, not the bit rate; keep it.
constexpr ULONG CAPTURE_DW_BIT_RATE = IMAGE_SIZE * CAPTURE_FRAMES_PER_SECOND; // 221,184,000
constexpr LONG STILL_BITS_PER_SECOND = static_cast<LONG>(IMAGE_BITS);         // 117,964,800

static_assert(IMAGE_SIZE == 14745600, "one RGB24 frame");
static_assert(CAPTURE_BITS_PER_SECOND == 1769472000, "capture bit rate");
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296, "data range size");

} // namespace

// ---- data ranges ---------------------------------------------------------------------------------------

const KS_DATARANGE_VIDEO VideoCaptureRange = {
    {
        sizeof(KS_DATARANGE_VIDEO),       // FormatSize
        0,                                // Flags
        IMAGE_SIZE,                       // SampleSize
        0,                                // Reserved
        KSDATAFORMAT_TYPE_VIDEO,          // MajorFormat
        KSDATAFORMAT_SUBTYPE_RGB24,       // SubFormat
        KSDATAFORMAT_SPECIFIER_VIDEOINFO, // Specifier
    },
    TRUE, // bFixedSizeSamples
    TRUE, // bTemporalCompression (as the camera has always reported it)
    0,    // StreamDescriptionFlags
    0,    // MemoryAllocationFlags
    {
        KSDATAFORMAT_SPECIFIER_VIDEOINFO, // guid
        KS_AnalogVideo_None,              // VideoStandard
        {IMAGE_WIDTH, IMAGE_HEIGHT},      // InputSize
        {IMAGE_WIDTH, IMAGE_HEIGHT},      // MinCroppingSize
        {IMAGE_WIDTH, IMAGE_HEIGHT},      // MaxCroppingSize
        16,                               // CropGranularityX
        16,                               // CropGranularityY
        1,                                // CropAlignX
        1,                                // CropAlignY
        {IMAGE_WIDTH, IMAGE_HEIGHT},      // MinOutputSize
        {IMAGE_WIDTH, IMAGE_HEIGHT},      // MaxOutputSize
        1,                                // OutputGranularityX
        1,                                // OutputGranularityY
        0,                                // StretchTapsX
        0,                                // StretchTapsY
        0,                                // ShrinkTapsX
        0,                                // ShrinkTapsY
        CAPTURE_FRAME_INTERVAL,           // MinFrameInterval
        CAPTURE_FRAME_INTERVAL,           // MaxFrameInterval
        CAPTURE_BITS_PER_SECOND,          // MinBitsPerSecond
        CAPTURE_BITS_PER_SECOND,          // MaxBitsPerSecond
    },
    {
        {0, 0, 0, 0},           // rcSource
        {0, 0, 0, 0},           // rcTarget
        CAPTURE_DW_BIT_RATE,    // dwBitRate
        0,                      // dwBitErrorRate
        CAPTURE_FRAME_INTERVAL, // AvgTimePerFrame
        {
            sizeof(KS_BITMAPINFOHEADER), // biSize
            IMAGE_WIDTH,                 // biWidth
            IMAGE_HEIGHT,                // biHeight (positive: bottom row first)
            1,                           // biPlanes
            IMAGE_BIT_COUNT,             // biBitCount
            KS_BI_RGB,                   // biCompression
            IMAGE_SIZE,                  // biSizeImage
            0,                           // biXPelsPerMeter
            0,                           // biYPelsPerMeter
            0,                           // biClrUsed
            0,                           // biClrImportant
        },
    },
};

const KS_DATARANGE_VIDEO VideoStillRange = {
    {
        sizeof(KS_DATARANGE_VIDEO),       // FormatSize
        0,                                // Flags
        IMAGE_SIZE,                       // SampleSize
        0,                                // Reserved
        KSDATAFORMAT_TYPE_VIDEO,          // MajorFormat
        KSDATAFORMAT_SUBTYPE_RGB24,       // SubFormat
        KSDATAFORMAT_SPECIFIER_VIDEOINFO, // Specifier
    },
    TRUE,                 // bFixedSizeSamples
    TRUE,                 // bTemporalCompression
    KS_VIDEOSTREAM_STILL, // StreamDescriptionFlags
    0,                    // MemoryAllocationFlags
    {
        KSDATAFORMAT_SPECIFIER_VIDEOINFO, // guid
        KS_AnalogVideo_None,              // VideoStandard
        {IMAGE_WIDTH, IMAGE_HEIGHT},      // InputSize
        {IMAGE_WIDTH, IMAGE_HEIGHT},      // MinCroppingSize
        {IMAGE_WIDTH, IMAGE_HEIGHT},      // MaxCroppingSize
        1,                                // CropGranularityX
        1,                                // CropGranularityY
        1,                                // CropAlignX
        1,                                // CropAlignY
        {IMAGE_WIDTH, IMAGE_HEIGHT},      // MinOutputSize
        {IMAGE_WIDTH, IMAGE_HEIGHT},      // MaxOutputSize
        1,                                // OutputGranularityX
        1,                                // OutputGranularityY
        0,                                // StretchTapsX
        0,                                // StretchTapsY
        0,                                // ShrinkTapsX
        0,                                // ShrinkTapsY
        STILL_FRAME_INTERVAL,             // MinFrameInterval
        STILL_FRAME_INTERVAL,             // MaxFrameInterval
        STILL_BITS_PER_SECOND,            // MinBitsPerSecond
        STILL_BITS_PER_SECOND,            // MaxBitsPerSecond
    },
    {
        {0, 0, 0, 0},         // rcSource
        {0, 0, 0, 0},         // rcTarget
        IMAGE_BITS,           // dwBitRate
        0,                    // dwBitErrorRate
        STILL_FRAME_INTERVAL, // AvgTimePerFrame
        {
            sizeof(KS_BITMAPINFOHEADER), // biSize
            IMAGE_WIDTH,                 // biWidth
            IMAGE_HEIGHT,                // biHeight
            1,                           // biPlanes
            IMAGE_BIT_COUNT,             // biBitCount
            KS_BI_RGB,                   // biCompression
            IMAGE_SIZE,                  // biSizeImage
            0,                           // biXPelsPerMeter
            0,                           // biYPelsPerMeter
            0,                           // biClrUsed
            0,                           // biClrImportant
        },
    },
};

// The stream class wants non-const format pointers; nothing behind them is ever written.
const PKSDATAFORMAT VideoCaptureFormats[FORMATS_PER_STREAM] = {
    const_cast<PKSDATAFORMAT>(&VideoCaptureRange.DataRange),
};
const PKSDATAFORMAT VideoStillFormats[FORMATS_PER_STREAM] = {
    const_cast<PKSDATAFORMAT>(&VideoStillRange.DataRange),
};

// ---- stream property sets: answered by the camera class library --------------------------------------

namespace {

const KSPROPERTY_ITEM AllocatorFramingItems[] = {
    {
        KSPROPERTY_CONNECTION_ALLOCATORFRAMING, // PropertyId
        {TRUE},                                 // GetSupported
        sizeof(KSPROPERTY),                     // MinProperty
        sizeof(KSALLOCATOR_FRAMING),            // MinData
        {FALSE},                                // SetSupported
        nullptr,                                // Values
        0,                                      // RelationsCount
        nullptr,                                // Relations
        nullptr,                                // SupportHandler
        sizeof(ULONG),                          // SerializedSize
    },
};

const KSPROPERTY_ITEM DroppedFramesItems[] = {
    {
        KSPROPERTY_DROPPEDFRAMES_CURRENT,           // PropertyId
        {TRUE},                                     // GetSupported
        sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S), // MinProperty
        sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S), // MinData
        {FALSE},                                    // SetSupported
        nullptr,                                    // Values
        0,                                          // RelationsCount
        nullptr,                                    // Relations
        nullptr,                                    // SupportHandler
        0,                                          // SerializedSize
    },
};

} // namespace

const KSPROPERTY_SET StreamPropertySets[STREAM_PROPERTY_SET_COUNT] = {
    {
        &KSPROPSETID_Connection,           // Set
        ArrayCount(AllocatorFramingItems), // PropertiesCount
        AllocatorFramingItems,             // PropertyItem
        0,                                 // FastIoCount
        nullptr,                           // FastIoTable
    },
    {
        &PROPSETID_VIDCAP_DROPPEDFRAMES, // Set
        ArrayCount(DroppedFramesItems),  // PropertiesCount
        DroppedFramesItems,              // PropertyItem
        0,                               // FastIoCount
        nullptr,                         // FastIoTable
    },
};

// Declared for the stream entries; no medium is advertised (MediumsCount 0).
const KSPIN_MEDIUM StandardMedium = {
    KSMEDIUMSETID_Standard, // Set
    0,                      // Id
    0,                      // Flags
};

// ---- the stream table, indexed by stream number --------------------------------------------------------

const HW_STREAM_INFORMATION StreamInfoTable[STREAM_TABLE_ENTRIES] = {
    {
        1,                                    // NumberOfPossibleInstances
        KSPIN_DATAFLOW_OUT,                   // DataFlow
        TRUE,                                 // DataAccessible
        FORMATS_PER_STREAM,                   // NumberOfFormatArrayEntries
        VideoCaptureFormats,                  // StreamFormatsArray
        {nullptr, nullptr, nullptr, nullptr}, // ClassReserved
        STREAM_PROPERTY_SET_COUNT,            // NumStreamPropArrayEntries
        StreamPropertySets,                   // StreamPropertiesArray
        0,                                    // NumStreamEventArrayEntries
        nullptr,                              // StreamEventsArray
        &PINNAME_VIDEO_CAPTURE,               // Category
        &PINNAME_VIDEO_CAPTURE,               // Name
        0,                                    // MediumsCount
        &StandardMedium,                      // Mediums
        FALSE,                                // BridgeStream
        {0, 0},                               // Reserved
    },
    {
        1,                                    // NumberOfPossibleInstances
        KSPIN_DATAFLOW_OUT,                   // DataFlow
        TRUE,                                 // DataAccessible
        FORMATS_PER_STREAM,                   // NumberOfFormatArrayEntries
        VideoStillFormats,                    // StreamFormatsArray
        {nullptr, nullptr, nullptr, nullptr}, // ClassReserved
        STREAM_PROPERTY_SET_COUNT,            // NumStreamPropArrayEntries
        StreamPropertySets,                   // StreamPropertiesArray
        0,                                    // NumStreamEventArrayEntries
        nullptr,                              // StreamEventsArray
        &PINNAME_VIDEO_STILL,                 // Category
        &PINNAME_VIDEO_STILL,                 // Name
        0,                                    // MediumsCount
        &StandardMedium,                      // Mediums
        FALSE,                                // BridgeStream
        {0, 0},                               // Reserved
    },
};
