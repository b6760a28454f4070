// The vendor requests that command the camera's firmware. Each goes out synchronously through the
// camera class library: no completion routine, and the call's status is the whole result.
#include "camera/vendor_requests.h"

NTSTATUS CamWriteRegister(PDeviceContext Context, UCHAR Register, ULONG Value) {
    // The value travels as a 32-bit little-endian word (i386 is little-endian). The library knows this
    // request and carries the word although the length we pass is 0.
    ULONG registerValue = Value;
    ULONG length = 0;
    return QRXUSBCAMD_ControlVendorCommand(Context, CamRequestWriteRegister, 0, Register, &registerValue,
                                           &length, FALSE, nullptr, nullptr);
}

NTSTATUS CamSetControl(PDeviceContext Context, USHORT Control, USHORT Value) {
    // No buffer and no length: a request without a data stage.
    return QRXUSBCAMD_ControlVendorCommand(Context, CamRequestSetControl, Value, Control, nullptr, nullptr,
                                           FALSE, nullptr, nullptr);
}

NTSTATUS CamReadStatusWord(PDeviceContext Context, USHORT* Status) {
    // Zero-filled so that a reply shorter than two bytes reads as "not ready" rather than as whatever
    // the stack held.
    UCHAR reply[2] = {0, 0};
    ULONG length = sizeof(reply);
    NTSTATUS status = QRXUSBCAMD_ControlVendorCommand(Context, CamRequestGetStatus, 0, CamStatusWord, reply,
                                                      &length, TRUE, nullptr, nullptr);
    if (NT_SUCCESS(status))
        *Status = static_cast<USHORT>(reply[0] | (reply[1] << 8));
    return status;
}

NTSTATUS CamSendBlock(PDeviceContext Context) {
    UCHAR block[3] = {0x20, 0x03, 0x20};
    ULONG length = 0; // the library carries this request's three bytes itself
    return QRXUSBCAMD_ControlVendorCommand(Context, CamRequestSendBlock, 0, 0, block, &length, FALSE, nullptr,
                                           nullptr);
}
