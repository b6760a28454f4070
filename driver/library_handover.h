// How the adapter routines reach the camera class library with an SRB, and how they complete the SRBs
// they carry out themselves.
#pragma once

#include "driver/callback_records.h"

// The library takes the version-1 record with every passed-on SRB; it never writes to it.
inline PUSBCAMD_DEVICE_DATA DeviceDataForLibrary() {
    return const_cast<PUSBCAMD_DEVICE_DATA>(&CamDeviceData);
}

// The library carries the SRB out and completes it; we never touch its completion afterwards.
inline PDeviceContext HandOver(PHW_STREAM_REQUEST_BLOCK Srb) {
    return static_cast<PDeviceContext>(
        QRXUSBCAMD_AdapterReceivePacket(Srb, DeviceDataForLibrary(), nullptr, TRUE));
}

// The camera's record alone, without handing the SRB over.
inline PDeviceContext LookUpContext(PHW_STREAM_REQUEST_BLOCK Srb) {
    return static_cast<PDeviceContext>(QRXUSBCAMD_AdapterReceivePacket(Srb, nullptr, nullptr, FALSE));
}

// The camera's record and the bus device object, without handing the SRB over.
inline PDeviceContext LookUpContext(PHW_STREAM_REQUEST_BLOCK Srb, PDEVICE_OBJECT* BusDeviceObject) {
    return static_cast<PDeviceContext>(
        QRXUSBCAMD_AdapterReceivePacket(Srb, DeviceDataForLibrary(), BusDeviceObject, FALSE));
}

// Completes an SRB the driver has carried out itself; its status is already set.
inline VOID Complete(PHW_STREAM_REQUEST_BLOCK Srb) {
    StreamClassDeviceNotification(DeviceRequestComplete, Srb->HwDeviceExtension, Srb);
}
