// Data intersection, format verification and the per-stream hooks.
#pragma once

#include "driver/device_context.h"

bool CompareFormatHeader(const KSDATAFORMAT* A, const KSDATAFORMAT* B);
// FormatSize bounds what is read: a format too short to hold what is compared is refused.
bool VerifyStreamFormat(const KSDATAFORMAT* Format, LONG StreamNumber);
NTSTATUS IntersectStreamFormat(PHW_STREAM_REQUEST_BLOCK Srb);
VOID STREAMAPI CamReceiveCtrlPacket(PHW_STREAM_REQUEST_BLOCK Srb, PVOID DeviceContext, PBOOLEAN Completed);
VOID STREAMAPI CamReceiveDataPacket(PHW_STREAM_REQUEST_BLOCK Srb, PVOID DeviceContext, PBOOLEAN Completed);
