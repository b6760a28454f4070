// The colour path: white balance (when enabled) and the bilinear demosaic with per-channel gains.
#pragma once

#include "imaging/raw_frame.h"

// The work record of one colour frame, on the stack of ConvertColor.
struct ColorParams {
    LONG SourceX;      // window's first column in the scratch frame
    LONG SourceWidth;  // window width W, in samples
    LONG SourceStride; // bytes from one scratch line to the next
    LONG SourceY;      // window's first row
    LONG SourceHeight; // window height H, in rows
    LONG SourceLines;  // lines of the scratch frame (carried, not used)
    ULONG BayerPhase;  // 0 to 3: class of the window's top-left sample; above 3 acts as 0
    PUCHAR Scratch;    // start of the scratch frame
    PUCHAR Output;     // start of the output image
    LONG StatsLeft;    // white-balance region, window-relative, right and bottom exclusive
    LONG StatsTop;
    LONG StatsRight;
    LONG StatsBottom;
    ULONG BlueGain; // gains of output bytes 0, 1, 2; 128 = 1.0
    ULONG GreenGain;
    ULONG RedGain;
};

// Gains at or above these saturate every nonzero sum, so the demosaic may clamp to them and keep its
// products inside 32 bits: 4080 x 2^19 and 510 x 2^16 both fit.
constexpr ULONG BLUE_RED_GAIN_SATURATING = 1u << 19;
constexpr ULONG GREEN_GAIN_SATURATING = 1u << 16;

// Fills the record from FrameGeometry and the device's gains, balances when AutoWhiteBalance is set, and
// demosaics into FrameBuffer. A frame whose window does not lie inside the scratch frame, or whose frame
// buffer is shorter than 3 x W x H bytes, is not converted: nothing is written, the gains are left
// alone, and 0 is returned.
ULONG ConvertColor(PDeviceContext Context, PUCHAR Scratch, PUCHAR ScratchEnd, PUCHAR FrameBuffer,
                   PUCHAR FrameEnd);

// The same from a frame that may not be de-interlaced yet: the window is read wherever RowsOfWindow finds
// it.
ULONG ConvertColorFrom(PDeviceContext Context, FrameInput* Input, PUCHAR FrameBuffer, PUCHAR FrameEnd);

// Writes H - 4 rows of W - 4 pixels (bottom row first, row pitch 3 x W) and returns (W - 2) x (H - 2) x 3.
// The caller guarantees that window rows 0 to H - 2, columns 0 to W - 2 lie in the scratch frame and
// that Output holds 3 x W x (H - 4) bytes.
LONG DemosaicBayer(ColorParams* Params);

// DemosaicBayer given TableSpaceBytes of memory at TableSpace that it may overwrite: when the scalar
// kernel runs and the gain tables fit there, it looks its bytes up instead of multiplying. The output
// is the same either way. TableSpace must not overlap the window or the output.
LONG DemosaicBayerWithTableSpace(ColorParams* Params, PUCHAR TableSpace, SIZE_T TableSpaceBytes);

// DemosaicBayerWithTableSpace reading the window's rows from Rows instead of Params' scratch frame.
LONG DemosaicWindow(const ColorParams* Params, const WindowRows& Rows, PUCHAR TableSpace,
                    SIZE_T TableSpaceBytes);

// The same conversion written pixel by pixel straight from the class rule, without any hoisting: the
// oracle the fast demosaic is tested against.
LONG DemosaicBayerReference(const ColorParams* Params);

// The phase a BayerPhase value stands for: values above 3 act as 0.
inline ULONG BayerPhaseOf(ULONG BayerPhase) {
    return BayerPhase > 3 ? 0 : BayerPhase;
}

// Sample classes of the colour filter mosaic.
enum SampleClass { SAMPLE_GREEN, SAMPLE_BLUE, SAMPLE_RED };

// The class of window sample (Row, Column): classes follow the window's coordinates alone, so every
// row, of any width, starts with the class of column 0.
inline SampleClass BayerClass(ULONG BayerPhase, LONG Row, LONG Column) {
    const ULONG phase = BayerPhaseOf(BayerPhase);
    const ULONG rho = (ULONG(Row) + (phase & 1)) & 1;
    const ULONG kappa = (ULONG(Column) + (phase >> 1)) & 1;
    if (rho == kappa)
        return SAMPLE_GREEN;
    return rho == 0 ? SAMPLE_BLUE : SAMPLE_RED;
}
