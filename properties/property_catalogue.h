// What a capture application needs to show this device's properties as controls: for every property the
// driver handles, in the three sets it answers, the name it is known by, what a client may do with it,
// its range and its value after initialise-device. The items carry no value descriptions, so the
// platform's basic-support and default-value queries have nothing to report; this table is where an
// application reads them instead. It is built from the same IDs, limits and initial values the handlers
// and the settings use, so it cannot drift from what they do.
#pragma once

#include "camera/vendor_requests.h"
#include "properties/device_properties.h"
#include "properties/procamp_window.h"
#include "properties/settings.h"

enum PropertySetId : ULONG {
    PropertySetCamera,  // CameraPropertySetGuid, the one set the device advertises
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

// A channel gain of four times unity already saturates any sample that is not near black, so a control
// needs no more; the handler itself stores any value.
constexpr LONG CHANNEL_GAIN_CONTROL_MAX = 4 * static_cast<LONG>(SETTING_INITIAL_CHANNEL_GAIN) - 1;

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
    {PropertySetCamera, CameraPropertyCameraCommand, "camera-command", PropertyAccessSet,
     PropertyControlCommand, 0, 0, 0, 0, 0, "0 sends the camera its block command"},

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
    // are offered read-only. The stored numbers take any value.
    {PropertySetWindow, WindowPropertyParam0, "window-param", PropertyAccessGetSet, PropertyControlNumber, 0,
     0, 0, 0, 0, "window value 0"},
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
     0, 0, 0, 0, 0, "colour filter phase reported to clients"},
};
