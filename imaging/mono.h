// The grey path: each sample of the window becomes one pixel with blue = green = red, bottom row first.
#pragma once

#include "imaging/raw_frame.h"

// Writes whole pixels only, at most FormatHeight rows of FormatWidth samples, never reading outside
// [Scratch, ScratchEnd) nor writing outside [FrameBuffer, FrameEnd). Returns 3 x the pixels written. The
// first call after load also writes the scratch frame to the dump file, once.
ULONG ConvertMono(PDeviceContext Context, PUCHAR Scratch, PUCHAR ScratchEnd, PUCHAR FrameBuffer,
                  PUCHAR FrameEnd);
// The same from a frame that may not be de-interlaced yet: the dump needs the scratch frame filled, the
// conversion reads the window wherever RowsOfWindow finds it.
ULONG ConvertMonoFrom(PDeviceContext Context, FrameInput* Input, PUCHAR FrameBuffer, PUCHAR FrameEnd);

// The dump file of the first grey frame after load.
#define RAW_DUMP_FILE_NAME u"\\DosDevices\\C:\\DS-test.raw"
