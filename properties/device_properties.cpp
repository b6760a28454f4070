// Device property routing and the camera property set: colour, white balance, exposure, gain, the three
// channel gains and the camera command.
#include "properties/device_properties.h"

#include "camera/vendor_requests.h"
#include "platform/kernel.h"
#include "platform/relaxed.h"
#include "properties/procamp_window.h"

namespace {

enum CameraPropertyId : ULONG {
    CameraPropertyDeviceInfo1 = 1,     // constant 2500
    CameraPropertyDeviceInfo2 = 2,     // constant 0
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

constexpr ULONG CAMERA_PROPERTY_COUNT = 14;
constexpr LONG CAMERA_DEVICE_INFO1 = 2500;
constexpr LONG CAMERA_DEVICE_INFO2 = 0;
constexpr ULONG CAMERA_RECORD_SIZE = sizeof(CameraPropertyRecord);

// Colour filter phase reported after colour is switched on: the flip changes which sample comes first.
constexpr ULONG COLOR_PHASE_FLIPPED = 3;
constexpr ULONG COLOR_PHASE_UPRIGHT = 2;

#define CAMERA_ITEM(Id, Get, Set)                                                                            \
    {                                                                                                        \
        .PropertyId = Id,              /* PropertyId */                                                      \
            .GetSupported = Get,       /* GetSupported */                                                    \
            .MinProperty = 32,         /* MinProperty */                                                     \
            .MinData = 32,             /* MinData: one CameraPropertyRecord */                               \
            .SetSupported = Set,       /* SetSupported */                                                    \
            .Values = nullptr,         /* Values */                                                          \
            .RelationsCount = 0,       /* RelationsCount */                                                  \
            .Relations = nullptr,      /* Relations */                                                       \
            .SupportHandler = nullptr, /* SupportHandler */                                                  \
            .SerializedSize = 0,       /* SerializedSize */                                                  \
    }

// IDs 1 to 4 are read-only, 14 is write-only, the rest read and write.
constexpr KSPROPERTY_ITEM CameraPropertyItems[CAMERA_PROPERTY_COUNT] = {
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

BOOLEAN SameGuid(const GUID& A, const GUID& B) {
    return RtlCompareMemory(&A, &B, sizeof(GUID)) == sizeof(GUID);
}

// Whether the request carries a whole property identifier (set, ID and flags) to act on.
BOOLEAN HasPropertyIdentifier(PHW_STREAM_REQUEST_BLOCK Srb) {
    const PSTREAM_PROPERTY_DESCRIPTOR Descriptor = Srb->CommandData.PropertyInfo;
    return Descriptor != nullptr && Descriptor->Property != nullptr &&
           Descriptor->PropertyInputSize >= sizeof(KSPROPERTY);
}

NTSTATUS CompleteProperty(PHW_STREAM_REQUEST_BLOCK Srb, NTSTATUS Status) {
    Srb->Status = Status;
    return Status;
}

// The camera set never fails on content: unknown IDs answer 0, and the results of the vendor requests
// are not looked at (the stored setting keeps the new value either way, and reaches the camera again
// at the next stream open).
NTSTATUS CameraPropertyHandler(BOOLEAN IsSet, PDeviceContext Context, PHW_STREAM_REQUEST_BLOCK Srb) {
    // The stream class checks the sizes the item table declares; a request that comes some other way is
    // still refused before a byte of it is touched.
    CameraPropertyRecord* Record =
        static_cast<CameraPropertyRecord*>(PropertyRecord(Srb, CAMERA_RECORD_SIZE));
    if (Record == nullptr) {
        Srb->ActualBytesTransferred = 0;
        return CompleteProperty(Srb, STATUS_BUFFER_TOO_SMALL);
    }
    // The ID comes from the request's identifier, not from the copy at the head of the data buffer.
    const ULONG Id = Srb->CommandData.PropertyInfo->Property->Id;

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
        break;
    case CameraPropertyAutoWhiteBalance:
        if (IsSet) {
            WriteRelaxed(Context->AutoWhiteBalance, static_cast<BOOLEAN>(Record->Value != 0));
        } else {
            Record->Value = ReadRelaxed(Context->AutoWhiteBalance) ? 1 : 0;
        }
        break;

    // Exposure and gain keep the low 16 bits of a set; only the register's bits reach the sensor, and a
    // get cuts the stored value to those bits in place so that it reports what the sensor holds.
    case CameraPropertyExposureTime:
        if (IsSet) {
            WriteRelaxed(Context->ExposureTime, static_cast<USHORT>(Record->Value));
            CamWriteRegister(Context, CamRegisterExposureTime,
                             static_cast<ULONG>(Record->Value) & CAM_EXPOSURE_MASK);
        } else {
            const USHORT Exposure =
                static_cast<USHORT>(ReadRelaxed(Context->ExposureTime) & CAM_EXPOSURE_MASK);
            WriteRelaxed(Context->ExposureTime, Exposure);
            Record->Value = Exposure;
        }
        break;
    case CameraPropertyGlobalGain:
        if (IsSet) {
            WriteRelaxed(Context->GlobalGain, static_cast<USHORT>(Record->Value));
            CamWriteRegister(Context, CamRegisterGlobalGain,
                             static_cast<ULONG>(Record->Value) & CAM_GAIN_MASK);
        } else {
            const USHORT Gain = static_cast<USHORT>(ReadRelaxed(Context->GlobalGain) & CAM_GAIN_MASK);
            WriteRelaxed(Context->GlobalGain, Gain);
            Record->Value = Gain;
        }
        break;

    // Channel gains are stored whole; the colour path reads them at every frame.
    case CameraPropertyRedGain:
        if (IsSet) {
            WriteRelaxed(Context->RedGain, static_cast<ULONG>(Record->Value));
        } else {
            Record->Value = static_cast<LONG>(ReadRelaxed(Context->RedGain));
        }
        break;
    case CameraPropertyGreenGain:
        if (IsSet) {
            WriteRelaxed(Context->GreenGain, static_cast<ULONG>(Record->Value));
        } else {
            Record->Value = static_cast<LONG>(ReadRelaxed(Context->GreenGain));
        }
        break;
    case CameraPropertyBlueGain:
        if (IsSet) {
            WriteRelaxed(Context->BlueGain, static_cast<ULONG>(Record->Value));
        } else {
            Record->Value = static_cast<LONG>(ReadRelaxed(Context->BlueGain));
        }
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

    if (!IsSet) {
        Srb->ActualBytesTransferred = CAMERA_RECORD_SIZE;
    }
    return CompleteProperty(Srb, STATUS_SUCCESS);
}

} // namespace

const KSPROPERTY_SET DevicePropertySets[1] = {
    {
        &CameraPropertySetGuid, // Set
        CAMERA_PROPERTY_COUNT,  // PropertiesCount
        CameraPropertyItems,    // PropertyItem
        0,                      // FastIoCount
        nullptr,                // FastIoTable
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

NTSTATUS AdapterDeviceProperty(BOOLEAN IsSet, PDEVICE_OBJECT BusDeviceObject, PDeviceContext Context,
                               PHW_STREAM_REQUEST_BLOCK Srb) {
    (void)BusDeviceObject;

    // Without a whole identifier there is no set to route by.
    if (!HasPropertyIdentifier(Srb)) {
        Srb->ActualBytesTransferred = 0;
        return CompleteProperty(Srb, STATUS_BUFFER_TOO_SMALL);
    }
    const GUID& Set = Srb->CommandData.PropertyInfo->Property->Set;

    if (SameGuid(Set, PROPSETID_VIDCAP_VIDEOPROCAMP)) {
        return IsSet ? ProcAmpSetProperty(Context, Srb) : ProcAmpGetProperty(Context, Srb);
    }
    if (SameGuid(Set, WindowPropertySetGuid)) {
        return IsSet ? WindowSetProperty(Context, Srb) : WindowGetProperty(Context, Srb);
    }
    // Capture applications probe these two standard sets; answering them with success and no data keeps
    // such applications going although the camera has none of their controls.
    if (SameGuid(Set, PROPSETID_VIDCAP_VIDEOCONTROL) || SameGuid(Set, PROPSETID_VIDCAP_CAMERACONTROL)) {
        return CompleteProperty(Srb, STATUS_SUCCESS);
    }
    if (SameGuid(Set, CameraPropertySetGuid)) {
        return CameraPropertyHandler(IsSet, Context, Srb);
    }
    return CompleteProperty(Srb, STATUS_NOT_SUPPORTED);
}
