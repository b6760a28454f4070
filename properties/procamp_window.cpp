// The video proc-amp set (brightness, contrast, saturation, sharpness, colour enable, white balance) and
// the sensor window set.
//
// The proc-amp values are the camera's own image controls: each set is stored and passed to the firmware
// with request 2, and the request's status is the property's. Colour enable and automatic white balance
// have no firmware control: colour output and automatic white balance are done by this driver's image
// pipeline (ColorEnable, AutoWhiteBalance), not by the camera. So those two sets store what they store
// and send nothing; a control number made up for them could land on one the firmware does use (capture
// set-up, capture on/off, start-up).
//
// The window set touches stored numbers only. Its window items report the window that bandwidth
// allocation last applied; setting them is accepted and changes nothing, since the window follows the
// stream format.
#include "properties/procamp_window.h"

#include "camera/frame_geometry.h"
#include "camera/vendor_requests.h"
#include "driver/relaxed.h"
#include "properties/device_properties.h"

namespace {

constexpr ULONG PROCAMP_RECORD_SIZE = sizeof(KSPROPERTY_VIDEOPROCAMP_S);
constexpr ULONG WINDOW_RECORD_SIZE = sizeof(CameraPropertyRecord);
// A proc-amp get answers the stored value's low 16 bits, as the window set does.
constexpr ULONG LOW_16_BITS = 0xFFFF;

// Colour filter phase reported once proc-amp colour is switched on.
constexpr ULONG PROCAMP_COLOR_PHASE = 3;

enum ProcAmpKind {
    ProcAmpImage,        // 0..108, sent divided by 11
    ProcAmpColorEnable,  // 0 or 1, stored only
    ProcAmpWhiteBalance, // automatic, or manual 0..372 sent divided by 11
};

struct ProcAmpItem {
    ULONG Id;
    LONG DeviceContext::*Field;
    ULONG Flags; // reported as both Flags and Capabilities
    ProcAmpKind Kind;
    USHORT Control; // request 2 control of a manual value
};

constexpr ProcAmpItem ProcAmpItems[] = {
    {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, &DeviceContext::Brightness, KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL,
     ProcAmpImage, CamControlBrightness},
    {KSPROPERTY_VIDEOPROCAMP_CONTRAST, &DeviceContext::Contrast, KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL,
     ProcAmpImage, CamControlContrast},
    {KSPROPERTY_VIDEOPROCAMP_SATURATION, &DeviceContext::Saturation, KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL,
     ProcAmpImage, CamControlSaturation},
    {KSPROPERTY_VIDEOPROCAMP_SHARPNESS, &DeviceContext::Sharpness, KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL,
     ProcAmpImage, CamControlSharpness},
    {KSPROPERTY_VIDEOPROCAMP_COLORENABLE, &DeviceContext::ProcAmpColorEnable,
     KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL, ProcAmpColorEnable, 0},
    {KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, &DeviceContext::WhiteBalance, KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO,
     ProcAmpWhiteBalance, CamControlWhiteBalance},
};

const ProcAmpItem* FindProcAmpItem(ULONG Id) {
    for (const ProcAmpItem& Item : ProcAmpItems) {
        if (Item.Id == Id) {
            return &Item;
        }
    }
    return nullptr;
}

// Request 2 without a data stage: a null buffer and a length that reads 0. (CamSetControl passes no
// length at all; the library takes both forms as a request without data.)
NTSTATUS SendProcAmpControl(PDeviceContext Context, USHORT Control, LONG Value) {
    ULONG Length = 0;
    return QRXUSBCAMD_ControlVendorCommand(Context, CamRequestSetControl,
                                           static_cast<USHORT>(Value / PROCAMP_WIRE_DIVISOR), Control,
                                           nullptr, &Length, FALSE, nullptr, nullptr);
}

// Range check, store, and the request to the camera. Returns the property's status.
NTSTATUS ApplyProcAmp(PDeviceContext Context, const ProcAmpItem& Item, LONG Value, ULONG Flags) {
    LONG& Field = Context->*Item.Field;
    switch (Item.Kind) {
    case ProcAmpImage:
        if (Value < 0 || Value > PROCAMP_IMAGE_MAX) {
            return STATUS_INVALID_PARAMETER;
        }
        WriteRelaxed(Field, Value);
        return SendProcAmpControl(Context, Item.Control, Value);

    case ProcAmpColorEnable:
        if (Value != 0 && Value != 1) {
            return STATUS_INVALID_PARAMETER;
        }
        WriteRelaxed(Field, Value);
        if (Value == 1) {
            WriteRelaxed(Context->ColorPhase, PROCAMP_COLOR_PHASE);
        }
        return STATUS_SUCCESS;

    case ProcAmpWhiteBalance:
        if ((Flags & KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO) != 0) {
            // The grey-world balance of the image pipeline takes over; WhiteBalance keeps the last
            // manual setting for a later switch back.
            WriteRelaxed(Context->AutoWhiteBalance, static_cast<BOOLEAN>(TRUE));
            return STATUS_SUCCESS;
        }
        // Asking for manual white balance turns the automatic one off even when the value is refused:
        // the client has said it wants to steer the balance itself.
        WriteRelaxed(Context->AutoWhiteBalance, static_cast<BOOLEAN>(FALSE));
        if (Value < 0 || Value > PROCAMP_WHITEBALANCE_MAX) {
            return STATUS_INVALID_PARAMETER;
        }
        WriteRelaxed(Field, Value);
        return SendProcAmpControl(Context, Item.Control, Value);
    }
    return STATUS_NOT_SUPPORTED;
}

} // namespace

NTSTATUS ProcAmpGetProperty(PDeviceContext Context, PHW_STREAM_REQUEST_BLOCK Srb) {
    auto* Record = static_cast<KSPROPERTY_VIDEOPROCAMP_S*>(PropertyRecord(Srb, PROCAMP_RECORD_SIZE));
    if (Record == nullptr) {
        return StoreResult(Srb, STATUS_BUFFER_TOO_SMALL, 0);
    }
    const ProcAmpItem* Item = FindProcAmpItem(RequestedId(Srb));
    if (Item == nullptr) {
        return StoreResult(Srb, STATUS_NOT_SUPPORTED, 0);
    }
    Record->Value = static_cast<LONG>(static_cast<ULONG>(ReadRelaxed(Context->*Item->Field)) & LOW_16_BITS);
    Record->Flags = Item->Flags;
    Record->Capabilities = Item->Flags;
    Srb->CommandData.PropertyInfo->PropertyOutputSize = PROCAMP_RECORD_SIZE;
    return StoreResult(Srb, STATUS_SUCCESS, PROCAMP_RECORD_SIZE);
}

NTSTATUS ProcAmpSetProperty(PDeviceContext Context, PHW_STREAM_REQUEST_BLOCK Srb) {
    auto* Record = static_cast<KSPROPERTY_VIDEOPROCAMP_S*>(PropertyRecord(Srb, PROCAMP_RECORD_SIZE));
    if (Record == nullptr) {
        return StoreResult(Srb, STATUS_BUFFER_TOO_SMALL, 0);
    }
    const ProcAmpItem* Item = FindProcAmpItem(RequestedId(Srb));
    if (Item == nullptr) {
        return StoreResult(Srb, STATUS_NOT_SUPPORTED, 0);
    }
    // A failed request leaves the new value stored: the client sees the failure and may set it again.
    const NTSTATUS Status = ApplyProcAmp(Context, *Item, Record->Value, Record->Flags);
    return StoreResult(Srb, Status, Status == STATUS_SUCCESS ? PROCAMP_RECORD_SIZE : 0);
}

NTSTATUS WindowGetProperty(PDeviceContext Context, PHW_STREAM_REQUEST_BLOCK Srb) {
    auto* Record = static_cast<CameraPropertyRecord*>(PropertyRecord(Srb, WINDOW_RECORD_SIZE));
    if (Record == nullptr) {
        return StoreResult(Srb, STATUS_BUFFER_TOO_SMALL, 0);
    }
    ULONG Value = 0;
    switch (RequestedId(Srb)) {
    case WindowPropertyParam0:
        Value = ReadRelaxed(Context->WindowParam0);
        break;
    case WindowPropertyFlag1:
        Value = ReadRelaxed(Context->WindowFlag1);
        break;
    case WindowPropertyFlag2:
        Value = ReadRelaxed(Context->WindowFlag2);
        break;
    case WindowPropertyX:
        Value = static_cast<ULONG>(ReadRelaxed(FrameGeometry.WindowX));
        break;
    case WindowPropertyY:
        Value = static_cast<ULONG>(ReadRelaxed(FrameGeometry.WindowY));
        break;
    case WindowPropertyWidth:
        Value = static_cast<ULONG>(ReadRelaxed(FrameGeometry.WindowWidth));
        break;
    case WindowPropertyHeight:
        Value = static_cast<ULONG>(ReadRelaxed(FrameGeometry.WindowHeight));
        break;
    case WindowPropertyColorPhase:
        Value = ReadRelaxed(Context->ColorPhase);
        break;
    default:
        return StoreResult(Srb, STATUS_NOT_SUPPORTED, 0);
    }
    // The set's values are 16-bit numbers on the client's side.
    Record->Value = static_cast<LONG>(Value & WINDOW_VALUE_MASK);
    return StoreResult(Srb, STATUS_SUCCESS, WINDOW_RECORD_SIZE);
}

NTSTATUS WindowSetProperty(PDeviceContext Context, PHW_STREAM_REQUEST_BLOCK Srb) {
    auto* Record = static_cast<CameraPropertyRecord*>(PropertyRecord(Srb, WINDOW_RECORD_SIZE));
    if (Record == nullptr) {
        return StoreResult(Srb, STATUS_BUFFER_TOO_SMALL, 0);
    }
    const ULONG Value = static_cast<ULONG>(Record->Value);
    switch (RequestedId(Srb)) {
    case WindowPropertyParam0:
        WriteRelaxed(Context->WindowParam0, Value);
        break;
    case WindowPropertyFlag1:
        WriteRelaxed(Context->WindowFlag1, Value != 0 ? 1u : 0u);
        break;
    case WindowPropertyFlag2:
        WriteRelaxed(Context->WindowFlag2, Value != 0 ? 1u : 0u);
        break;
    case WindowPropertyX:
    case WindowPropertyY:
    case WindowPropertyWidth:
    case WindowPropertyHeight:
        break; // the window follows the stream format
    case WindowPropertyColorPhase:
        WriteRelaxed(Context->ColorPhase, Value);
        break;
    default:
        return StoreResult(Srb, STATUS_NOT_SUPPORTED, 0);
    }
    return StoreResult(Srb, STATUS_SUCCESS, WINDOW_RECORD_SIZE);
}
