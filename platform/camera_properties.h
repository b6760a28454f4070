// The Z40K camera's property interface, as the driver publishes it for capture applications: the two
// property sets of its own and their IDs, the data record an application fills for them, the IDs it
// answers in the standard video proc-amp set, the value ranges and the values after initialise-device,
// and a catalogue of every property with its name, access, control and range.
//
// The driver takes its IDs and limits from here too, so what an application is told and what the
// handlers do cannot drift apart. The property items carry no value descriptions, so the platform's
// basic-support and default-value queries have nothing to report; the catalogue is where an application
// reads them instead.
#pragma once

#include "platform/ks_types.h"

// ---- sets -------------------------------------------------------------------------------------------
// The camera set is the one set the device advertises. The proc-amp set (PROPSETID_VIDCAP_VIDEOPROCAMP)
// and the window set are answered although not advertised, so a client that knows them can use them.
Z40K_GUID(CameraPropertySetGuid, 0x76BF9E14, 0x22F4, 0x4A02, 0xA0, 0xEB, 0x66, 0x5D, 0xE9, 0x62, 0xB5, 0x31);
Z40K_GUID(WindowPropertySetGuid, 0x3DC2E820, 0x4713, 0x11D2, 0xBA, 0x41, 0x00, 0xA0, 0xC9, 0x0D, 0x2B, 0x05);

// The camera set's property IDs. 12 and 13 are reserved: advertised, answered, without effect.
enum CameraPropertyId : ULONG {
    CameraPropertyDeviceInfo1 = 1,     // constant CAMERA_DEVICE_INFO1
    CameraPropertyDeviceInfo2 = 2,     // constant CAMERA_DEVICE_INFO2
    CameraPropertyExposureTimeMax = 3, // the largest exposure a set reaches the sensor with
    CameraPropertyGlobalGainMax = 4,   // the largest gain a set reaches the sensor with
    CameraPropertyColorEnable = 5,
    CameraPropertyAutoWhiteBalance = 6,
    CameraPropertyExposureTime = 7,
    CameraPropertyGlobalGain = 8,
    CameraPropertyRedGain = 9,
    CameraPropertyGreenGain = 10,
    CameraPropertyBlueGain = 11,
    CameraPropertyNoOp12 = 12,
    CameraPropertyNoOp13 = 13,
    CameraPropertyCameraCommand = 14, // Value 0 sends the camera its three-byte block
};

// The window set's property IDs.
enum WindowPropertyId : ULONG {
    WindowPropertyParam0 = 0,
    WindowPropertyFlag1 = 1,
    WindowPropertyFlag2 = 2,
    WindowPropertyX = 3,
    WindowPropertyY = 4,
    WindowPropertyWidth = 5,
    WindowPropertyHeight = 6,
    WindowPropertyColorPhase = 8, // 7 has no item
};

// The 32-byte data record of camera-set and window-set requests. Applications pass the whole record as
// both the property and the data buffer; a shorter data buffer is refused with STATUS_BUFFER_TOO_SMALL.
// The proc-amp set takes the platform's 40-byte KSPROPERTY_VIDEOPROCAMP_S.
struct CameraPropertyRecord {
    KSPROPERTY Property;
    LONG Value;
    ULONG Flags;
};
static_assert(sizeof(CameraPropertyRecord) == 32, "camera property record is 32 bytes");
static_assert(offsetof(CameraPropertyRecord, Value) == 24, "the value follows the 24-byte identifier");
static_assert(offsetof(CameraPropertyRecord, Flags) == 28, "the flags follow the value");

// ---- values -----------------------------------------------------------------------------------------
// The answers of device-info-1 and device-info-2.
constexpr LONG CAMERA_DEVICE_INFO1 = 2500;
constexpr LONG CAMERA_DEVICE_INFO2 = 0;

// Exposure and gain reach the sensor cut to their register widths (11 and 10 bits); the device reports
// these as exposure-max and gain-max.
constexpr ULONG CAM_EXPOSURE_MASK = 0x7FF;
constexpr ULONG CAM_GAIN_MASK = 0x3FF;

// The proc-amp image controls (brightness, contrast, saturation, sharpness) accept 0..108; manual white
// balance accepts 0..372.
constexpr LONG PROCAMP_IMAGE_MAX = 108;
constexpr LONG PROCAMP_WHITEBALANCE_MAX = 372;

// What every initialise-device starts from, before the stored settings are loaded.
constexpr BOOLEAN SETTING_INITIAL_COLOR_ENABLE = TRUE;
constexpr BOOLEAN SETTING_INITIAL_AUTO_WHITE_BALANCE = FALSE;
constexpr ULONG SETTING_INITIAL_CHANNEL_GAIN = 128; // 1.0 in the pipeline's fixed point
constexpr USHORT SETTING_INITIAL_EXPOSURE_TIME = 750;
constexpr USHORT SETTING_INITIAL_GLOBAL_GAIN = 0;

// A channel gain of four times unity already saturates any sample that is not near black, so a control
// needs no more; the handler itself stores any value.
constexpr LONG CHANNEL_GAIN_CONTROL_MAX = 4 * static_cast<LONG>(SETTING_INITIAL_CHANNEL_GAIN) - 1;

// The window set's values reach a client as their low 16 bits, whatever was stored: a set outside
// 0..WINDOW_VALUE_MAX would be kept and read back cut.
constexpr ULONG WINDOW_VALUE_MASK = 0xFFFF;
constexpr LONG WINDOW_VALUE_MAX = static_cast<LONG>(WINDOW_VALUE_MASK);

// ---- catalogue --------------------------------------------------------------------------------------
enum PropertySetId : ULONG {
    PropertySetCamera,  // CameraPropertySetGuid
    PropertySetProcAmp, // PROPSETID_VIDCAP_VIDEOPROCAMP
    PropertySetWindow,  // WindowPropertySetGuid
};

enum PropertyAccess : ULONG {
    PropertyAccessGet = 1,
    PropertyAccessSet = 2,
    PropertyAccessGetSet = 3,
};

// The control that fits the property's values.
enum PropertyControl : ULONG {
    PropertyControlNumber,  // a value in [Minimum, Maximum] (or any 32-bit value without a range)
    PropertyControlSwitch,  // 0 or 1
    PropertyControlCommand, // set-only; a set with Value 0 acts
};

enum PropertyFlags : ULONG {
    PropertyHasRange = 1,     // Minimum and Maximum hold
    PropertyHasDefault = 2,   // Default holds
    PropertyTakesAuto = 4,    // the proc-amp automatic flag is accepted (white balance)
    PropertyRangeChecked = 8, // the handler refuses a value outside the range (STATUS_INVALID_PARAMETER)
};

struct PublishedProperty {
    PropertySetId Set;
    ULONG Id;
    const char* Name; // lower-case words joined by '-'
    ULONG Access;     // PropertyAccess
    PropertyControl Control;
    ULONG Flags; // PropertyFlags
    LONG Minimum;
    LONG Maximum;
    // A property whose get answers the maximum in force (0: none, Maximum stands); the camera reports the
    // largest exposure and gain its sensor takes.
    ULONG MaximumFrom;
    LONG Default;
    const char* Description;
};

constexpr ULONG RANGED_DEFAULT = PropertyHasRange | PropertyHasDefault;
constexpr ULONG PROCAMP_CHECKED = RANGED_DEFAULT | PropertyRangeChecked;

// Camera set first, then proc-amp, then window; within a set in ID order. The camera set's reserved
// IDs 12 and 13 do nothing and are left out.
inline constexpr PublishedProperty PublishedProperties[] = {
    {PropertySetCamera, CameraPropertyDeviceInfo1, "device-info-1", PropertyAccessGet, PropertyControlNumber,
     0, 0, 0, 0, 0, "device information word 1"},
    {PropertySetCamera, CameraPropertyDeviceInfo2, "device-info-2", PropertyAccessGet, PropertyControlNumber,
     0, 0, 0, 0, 0, "device information word 2"},
    {PropertySetCamera, CameraPropertyExposureTimeMax, "exposure-max", PropertyAccessGet,
     PropertyControlNumber, 0, 0, 0, 0, 0, "largest exposure the sensor takes"},
    {PropertySetCamera, CameraPropertyGlobalGainMax, "gain-max", PropertyAccessGet, PropertyControlNumber, 0,
     0, 0, 0, 0, "largest gain the sensor takes"},
    {PropertySetCamera, CameraPropertyColorEnable, "color", PropertyAccessGetSet, PropertyControlSwitch,
     RANGED_DEFAULT, 0, 1, 0, SETTING_INITIAL_COLOR_ENABLE, "colour output (1) or grey (0)"},
    {PropertySetCamera, CameraPropertyAutoWhiteBalance, "awb", PropertyAccessGetSet, PropertyControlSwitch,
     RANGED_DEFAULT, 0, 1, 0, SETTING_INITIAL_AUTO_WHITE_BALANCE, "automatic white balance per frame"},
    {PropertySetCamera, CameraPropertyExposureTime, "exposure", PropertyAccessGetSet, PropertyControlNumber,
     RANGED_DEFAULT, 0, static_cast<LONG>(CAM_EXPOSURE_MASK), CameraPropertyExposureTimeMax,
     SETTING_INITIAL_EXPOSURE_TIME, "sensor exposure time"},
    {PropertySetCamera, CameraPropertyGlobalGain, "gain", PropertyAccessGetSet, PropertyControlNumber,
     RANGED_DEFAULT, 0, static_cast<LONG>(CAM_GAIN_MASK), CameraPropertyGlobalGainMax,
     SETTING_INITIAL_GLOBAL_GAIN, "sensor global gain"},
    {PropertySetCamera, CameraPropertyRedGain, "red-gain", PropertyAccessGetSet, PropertyControlNumber,
     RANGED_DEFAULT, 0, CHANNEL_GAIN_CONTROL_MAX, 0, SETTING_INITIAL_CHANNEL_GAIN,
     "red channel gain, 128 = 1.0"},
    {PropertySetCamera, CameraPropertyGreenGain, "green-gain", PropertyAccessGetSet, PropertyControlNumber,
     RANGED_DEFAULT, 0, CHANNEL_GAIN_CONTROL_MAX, 0, SETTING_INITIAL_CHANNEL_GAIN,
     "green channel gain, 128 = 1.0"},
    {PropertySetCamera, CameraPropertyBlueGain, "blue-gain", PropertyAccessGetSet, PropertyControlNumber,
     RANGED_DEFAULT, 0, CHANNEL_GAIN_CONTROL_MAX, 0, SETTING_INITIAL_CHANNEL_GAIN,
     "blue channel gain, 128 = 1.0"},
    // Only 0 acts; any other value is taken and does nothing.
    {PropertySetCamera, CameraPropertyCameraCommand, "camera-command", PropertyAccessSet,
     PropertyControlCommand, PropertyHasRange, 0, 0, 0, 0, "0 sends the camera its block command"},

    // The proc-amp values start at zero: the driver gives them no initial value.
    {PropertySetProcAmp, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, "brightness", PropertyAccessGetSet,
     PropertyControlNumber, PROCAMP_CHECKED, 0, PROCAMP_IMAGE_MAX, 0, 0, "camera brightness"},
    {PropertySetProcAmp, KSPROPERTY_VIDEOPROCAMP_CONTRAST, "contrast", PropertyAccessGetSet,
     PropertyControlNumber, PROCAMP_CHECKED, 0, PROCAMP_IMAGE_MAX, 0, 0, "camera contrast"},
    {PropertySetProcAmp, KSPROPERTY_VIDEOPROCAMP_SATURATION, "saturation", PropertyAccessGetSet,
     PropertyControlNumber, PROCAMP_CHECKED, 0, PROCAMP_IMAGE_MAX, 0, 0, "camera saturation"},
    {PropertySetProcAmp, KSPROPERTY_VIDEOPROCAMP_SHARPNESS, "sharpness", PropertyAccessGetSet,
     PropertyControlNumber, PROCAMP_CHECKED, 0, PROCAMP_IMAGE_MAX, 0, 0, "camera sharpness"},
    {PropertySetProcAmp, KSPROPERTY_VIDEOPROCAMP_COLORENABLE, "color-enable", PropertyAccessGetSet,
     PropertyControlSwitch, PROCAMP_CHECKED, 0, 1, 0, 0, "proc-amp colour enable"},
    {PropertySetProcAmp, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, "white-balance", PropertyAccessGetSet,
     PropertyControlNumber, PROCAMP_CHECKED | PropertyTakesAuto, 0, PROCAMP_WHITEBALANCE_MAX, 0, 0,
     "camera white balance, or auto"},

    // The window items follow the stream format; setting them is accepted and changes nothing, so they
    // are offered read-only. The stored numbers are offered as far as a client reads them back.
    {PropertySetWindow, WindowPropertyParam0, "window-param", PropertyAccessGetSet, PropertyControlNumber,
     PropertyHasRange, 0, WINDOW_VALUE_MAX, 0, 0, "window value 0"},
    {PropertySetWindow, WindowPropertyFlag1, "window-flag-1", PropertyAccessGetSet, PropertyControlSwitch,
     PropertyHasRange, 0, 1, 0, 0, "window flag 1"},
    {PropertySetWindow, WindowPropertyFlag2, "window-flag-2", PropertyAccessGetSet, PropertyControlSwitch,
     PropertyHasRange, 0, 1, 0, 0, "window flag 2"},
    {PropertySetWindow, WindowPropertyX, "window-x", PropertyAccessGet, PropertyControlNumber, 0, 0, 0, 0, 0,
     "sensor window left"},
    {PropertySetWindow, WindowPropertyY, "window-y", PropertyAccessGet, PropertyControlNumber, 0, 0, 0, 0, 0,
     "sensor window top"},
    {PropertySetWindow, WindowPropertyWidth, "window-width", PropertyAccessGet, PropertyControlNumber, 0, 0,
     0, 0, 0, "sensor window width"},
    {PropertySetWindow, WindowPropertyHeight, "window-height", PropertyAccessGet, PropertyControlNumber, 0, 0,
     0, 0, 0, "sensor window height"},
    {PropertySetWindow, WindowPropertyColorPhase, "color-phase", PropertyAccessGetSet, PropertyControlNumber,
     PropertyHasRange, 0, WINDOW_VALUE_MAX, 0, 0, "colour filter phase reported to clients"},
};
