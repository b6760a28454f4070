// Device property routing and the camera property set: colour, white balance, exposure, gain, the three
// channel gains and the camera command.
#include "properties/device_properties.h"

#include "camera/vendor_requests.h"
#include "driver/relaxed.h"
#include "driver/type_helpers.h"
#include "properties/procamp_window.h"

namespace {

constexpr ULONG CAMERA_RECORD_SIZE = sizeof(CameraPropertyRecord);

// Colour filter phase reported after colour is switched on.
constexpr ULONG COLOR_PHASE_FLIPPED = 3;
constexpr ULONG COLOR_PHASE_UPRIGHT = 2;

// Applications pass the whole record as the property as well as the data, so both are at least one
// CameraPropertyRecord.
#define CAMERA_ITEM(Id, Get, Set)                                                                            \
    {                                                                                                        \
        Id,                     /* PropertyId */                                                             \
            {Get},              /* GetSupported */                                                           \
            CAMERA_RECORD_SIZE, /* MinProperty */                                                            \
            CAMERA_RECORD_SIZE, /* MinData */                                                                \
            {Set},              /* SetSupported */                                                           \
            nullptr,            /* Values */                                                                 \
            0,                  /* RelationsCount */                                                         \
            nullptr,            /* Relations */                                                              \
            nullptr,            /* SupportHandler */                                                         \
            0,                  /* SerializedSize */                                                         \
    }

// IDs 1 to 4 are read-only, 14 is write-only, the rest read and write.
constexpr KSPROPERTY_ITEM CameraPropertyItems[] = {
    CAMERA_ITEM(CameraPropertyDeviceInfo1, TRUE, FALSE),
    CAMERA_ITEM(CameraPropertyDeviceInfo2, TRUE, FALSE),
    CAMERA_ITEM(CameraPropertyExposureTimeMax, TRUE, FALSE),
    CAMERA_ITEM(CameraPropertyGlobalGainMax, TRUE, FALSE),
    CAMERA_ITEM(CameraPropertyColorEnable, TRUE, TRUE),
    CAMERA_ITEM(CameraPropertyAutoWhiteBalance, TRUE, TRUE),
    CAMERA_ITEM(CameraPropertyExposureTime, TRUE, TRUE),
    CAMERA_ITEM(CameraPropertyGlobalGain, TRUE, TRUE),
    CAMERA_ITEM(CameraPropertyRedGain, TRUE, TRUE),
    CAMERA_ITEM(CameraPropertyGreenGain, TRUE, TRUE),
    CAMERA_ITEM(CameraPropertyBlueGain, TRUE, TRUE),
    CAMERA_ITEM(CameraPropertyNoOp12, TRUE, TRUE),
    CAMERA_ITEM(CameraPropertyNoOp13, TRUE, TRUE),
    CAMERA_ITEM(CameraPropertyCameraCommand, FALSE, TRUE),
};

#undef CAMERA_ITEM

// Whether the request carries a whole property identifier (set, ID and flags) to act on.
BOOLEAN HasPropertyIdentifier(PHW_STREAM_REQUEST_BLOCK Srb) {
    const PSTREAM_PROPERTY_DESCRIPTOR Descriptor = Srb->CommandData.PropertyInfo;
    return Descriptor != nullptr && Descriptor->Property != nullptr &&
           Descriptor->PropertyInputSize >= sizeof(KSPROPERTY);
}

// Stores the status in the SRB, leaving the bytes transferred as they are; returns the status. The adapter
// routine completes the SRB once the handler has returned.
NTSTATUS StoreStatus(PHW_STREAM_REQUEST_BLOCK Srb, NTSTATUS Status) {
    Srb->Status = Status;
    return Status;
}

// Exposure and gain keep the low 16 bits of a set; only the register's bits reach the sensor, and a get
// cuts the stored value to those bits in place so that it reports what the sensor holds.
VOID TransferRegister(BOOLEAN IsSet, PDeviceContext Context, USHORT& Field, CamRegister Register, ULONG Mask,
                      CameraPropertyRecord* Record) {
    if (IsSet) {
        WriteRelaxed(Field, static_cast<USHORT>(Record->Value));
        CamWriteRegister(Context, Register, static_cast<ULONG>(Record->Value) & Mask);
    } else {
        const USHORT Value = static_cast<USHORT>(ReadRelaxed(Field) & Mask);
        WriteRelaxed(Field, Value);
        Record->Value = Value;
    }
}

// Channel gains are stored whole; the colour path reads them at every frame.
VOID TransferGain(BOOLEAN IsSet, ULONG& Field, CameraPropertyRecord* Record) {
    if (IsSet) {
        WriteRelaxed(Field, static_cast<ULONG>(Record->Value));
    } else {
        Record->Value = static_cast<LONG>(ReadRelaxed(Field));
    }
}

// Colour output on or off. Switching it on also reports the colour filter phase that follows the flip,
// since the flip changes which sample comes first.
VOID TransferColorEnable(BOOLEAN IsSet, PDeviceContext Context, CameraPropertyRecord* Record) {
    if (IsSet) {
        const BOOLEAN Enable = Record->Value != 0;
        WriteRelaxed(Context->ColorEnable, Enable);
        if (Enable) {
            WriteRelaxed(Context->ColorPhase,
                         ReadRelaxed(Context->VerticalFlip) ? COLOR_PHASE_FLIPPED : COLOR_PHASE_UPRIGHT);
        }
    } else {
        Record->Value = ReadRelaxed(Context->ColorEnable) ? 1 : 0;
    }
}

VOID TransferSwitch(BOOLEAN IsSet, BOOLEAN& Field, CameraPropertyRecord* Record) {
    if (IsSet) {
        WriteRelaxed(Field, static_cast<BOOLEAN>(Record->Value != 0));
    } else {
        Record->Value = ReadRelaxed(Field) ? 1 : 0;
    }
}

// Carries out one camera-set request on its record. Unknown IDs answer 0, and the results of the vendor
// requests are not looked at (the stored setting keeps the new value either way, and reaches the camera
// again at the next stream open).
VOID TransferCameraProperty(BOOLEAN IsSet, PDeviceContext Context, ULONG Id, CameraPropertyRecord* Record) {
    switch (Id) {
    // Constants answer on either direction; the stream class lets only gets through.
    case CameraPropertyDeviceInfo1:
        Record->Value = CAMERA_DEVICE_INFO1;
        break;
    case CameraPropertyDeviceInfo2:
        Record->Value = CAMERA_DEVICE_INFO2;
        break;
    case CameraPropertyExposureTimeMax:
        Record->Value = static_cast<LONG>(CAM_EXPOSURE_MASK);
        break;
    case CameraPropertyGlobalGainMax:
        Record->Value = static_cast<LONG>(CAM_GAIN_MASK);
        break;

    case CameraPropertyColorEnable:
        TransferColorEnable(IsSet, Context, Record);
        break;
    case CameraPropertyAutoWhiteBalance:
        TransferSwitch(IsSet, Context->AutoWhiteBalance, Record);
        break;

    case CameraPropertyExposureTime:
        TransferRegister(IsSet, Context, Context->ExposureTime, CamRegisterExposureTime, CAM_EXPOSURE_MASK,
                         Record);
        break;
    case CameraPropertyGlobalGain:
        TransferRegister(IsSet, Context, Context->GlobalGain, CamRegisterGlobalGain, CAM_GAIN_MASK, Record);
        break;

    case CameraPropertyRedGain:
        TransferGain(IsSet, Context->RedGain, Record);
        break;
    case CameraPropertyGreenGain:
        TransferGain(IsSet, Context->GreenGain, Record);
        break;
    case CameraPropertyBlueGain:
        TransferGain(IsSet, Context->BlueGain, Record);
        break;

    case CameraPropertyNoOp12:
    case CameraPropertyNoOp13:
        break;

    case CameraPropertyCameraCommand:
        if (Record->Value == 0) {
            CamSendBlock(Context);
        }
        break;

    default:
        Record->Value = 0;
        break;
    }
}

// The camera set never fails on content; only a request too short for its record is refused.
NTSTATUS CameraPropertyHandler(BOOLEAN IsSet, PDeviceContext Context, PHW_STREAM_REQUEST_BLOCK Srb) {
    // The stream class checks the sizes the item table declares; a request that comes some other way is
    // still refused before a byte of it is touched.
    CameraPropertyRecord* Record =
        static_cast<CameraPropertyRecord*>(PropertyRecord(Srb, CAMERA_RECORD_SIZE));
    if (Record == nullptr) {
        return StoreResult(Srb, STATUS_BUFFER_TOO_SMALL, 0);
    }
    // The ID comes from the request's identifier, not from the copy at the head of the data buffer.
    TransferCameraProperty(IsSet, Context, RequestedId(Srb), Record);
    if (!IsSet) {
        Srb->ActualBytesTransferred = CAMERA_RECORD_SIZE;
    }
    return StoreStatus(Srb, STATUS_SUCCESS);
}

} // namespace

const KSPROPERTY_SET DevicePropertySets[1] = {
    {
        &CameraPropertySetGuid,          // Set
        ArrayCount(CameraPropertyItems), // PropertiesCount
        CameraPropertyItems,             // PropertyItem
        0,                               // FastIoCount
        nullptr,                         // FastIoTable
    },
};

PVOID PropertyRecord(PHW_STREAM_REQUEST_BLOCK Srb, ULONG DataSize) {
    if (!HasPropertyIdentifier(Srb)) {
        return nullptr;
    }
    const PSTREAM_PROPERTY_DESCRIPTOR Descriptor = Srb->CommandData.PropertyInfo;
    if (Descriptor->PropertyInfo == nullptr || Descriptor->PropertyOutputSize < DataSize) {
        return nullptr;
    }
    return Descriptor->PropertyInfo;
}

ULONG RequestedId(PHW_STREAM_REQUEST_BLOCK Srb) {
    return Srb->CommandData.PropertyInfo->Property->Id;
}

NTSTATUS StoreResult(PHW_STREAM_REQUEST_BLOCK Srb, NTSTATUS Status, ULONG Transferred) {
    Srb->ActualBytesTransferred = Transferred;
    Srb->Status = Status;
    return Status;
}

NTSTATUS AdapterDeviceProperty(BOOLEAN IsSet, PDEVICE_OBJECT BusDeviceObject, PDeviceContext Context,
                               PHW_STREAM_REQUEST_BLOCK Srb) {
    (void)BusDeviceObject;

    // Without a whole identifier there is no set to route by.
    if (!HasPropertyIdentifier(Srb)) {
        return StoreResult(Srb, STATUS_BUFFER_TOO_SMALL, 0);
    }
    const GUID& Set = Srb->CommandData.PropertyInfo->Property->Set;

    if (IsEqualGUID(Set, PROPSETID_VIDCAP_VIDEOPROCAMP)) {
        return IsSet ? ProcAmpSetProperty(Context, Srb) : ProcAmpGetProperty(Context, Srb);
    }
    if (IsEqualGUID(Set, WindowPropertySetGuid)) {
        return IsSet ? WindowSetProperty(Context, Srb) : WindowGetProperty(Context, Srb);
    }
    // Capture applications probe these two standard sets; answering them with success and no data keeps
    // such applications going although the camera has none of their controls.
    if (IsEqualGUID(Set, PROPSETID_VIDCAP_VIDEOCONTROL) || IsEqualGUID(Set, PROPSETID_VIDCAP_CAMERACONTROL)) {
        return StoreStatus(Srb, STATUS_SUCCESS);
    }
    if (IsEqualGUID(Set, CameraPropertySetGuid)) {
        return CameraPropertyHandler(IsSet, Context, Srb);
    }
    return StoreStatus(Srb, STATUS_NOT_SUPPORTED);
}
