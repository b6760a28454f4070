#include "imaging/color.h"

#include "camera/frame_geometry.h"
#include "imaging/vector_paths.h"
#include "imaging/white_balance.h"
#include "platform/relaxed.h"

namespace {

inline UCHAR Saturate(ULONG Value) {
    return UCHAR(Value > 255 ? 255 : Value);
}

// Vertical part of a four-sample sum: 3 x the near row + 1 x the far row at one column. A full sum is
// 3 x this at the sample's own column + this at its partner column, i.e. 9, 3, 3, 1.
inline ULONG Vertical(const UCHAR* Near, const UCHAR* Far, LONG Column) {
    return 3u * Near[Column] + Far[Column];
}

inline VOID StorePixel(PUCHAR Out, ULONG Bs, ULONG E, ULONG Rs, const DemosaicGains& G) {
    Out[0] = Saturate((Bs * G.Blue) >> 11);
    Out[1] = Saturate((E * G.Green) >> 8);
    Out[2] = Saturate((Rs * G.Red) >> 11);
}

// One output row. BlueNear/BlueFar are the quad's blue row and the row two below or above it on the
// far side of the quad; RedNear/RedFar likewise. Pixel j is the quad of columns b = j + 1, b + 1.
// Two pixel kinds alternate along the row:
//
//   kind A (blue at b):      kind B (blue at b + 1):
//      b-1  b  b+1 b+2          b-1  b  b+1 b+2
//       .   B   G   B            B   G   B   .      blue row
//       R   G   R   .            .   R   G   R      red row
//
// (the far rows sit above or below and carry the same columns). Both kinds of a pair share their
// vertical sums, so a pair reads five columns once.
} // namespace

VOID DemosaicRowScalar(const UCHAR* BlueNear, const UCHAR* BlueFar, const UCHAR* RedNear, const UCHAR* RedFar,
                       PUCHAR Out, LONG Pixels, bool BlueAtFirstQuadColumn, const DemosaicGains& G) {
    LONG j = 0;
    if (!BlueAtFirstQuadColumn && Pixels > 0) {
        // A lone kind-B pixel first, so that the pairs below all start with kind A.
        const LONG b = 1;
        const ULONG bs = 3 * Vertical(BlueNear, BlueFar, b + 1) + Vertical(BlueNear, BlueFar, b - 1);
        const ULONG rs = 3 * Vertical(RedNear, RedFar, b) + Vertical(RedNear, RedFar, b + 2);
        StorePixel(Out, bs, ULONG(BlueNear[b]) + RedNear[b + 1], rs, G);
        j = 1;
    }
    for (; j + 1 < Pixels; j += 2) {
        const LONG b = j + 1; // kind A at b, kind B at b + 1
        const ULONG blue0 = Vertical(BlueNear, BlueFar, b);
        const ULONG blue2 = Vertical(BlueNear, BlueFar, b + 2);
        const ULONG redM = Vertical(RedNear, RedFar, b - 1);
        const ULONG red1 = Vertical(RedNear, RedFar, b + 1);
        const ULONG red3 = Vertical(RedNear, RedFar, b + 3);
        StorePixel(Out + 3 * j, 3 * blue0 + blue2, ULONG(BlueNear[b + 1]) + RedNear[b], 3 * red1 + redM, G);
        StorePixel(Out + 3 * j + 3, 3 * blue2 + blue0, ULONG(BlueNear[b + 1]) + RedNear[b + 2],
                   3 * red1 + red3, G);
    }
    if (j < Pixels) {
        // A trailing kind-A pixel when the count left is odd.
        const LONG b = j + 1;
        const ULONG bs = 3 * Vertical(BlueNear, BlueFar, b) + Vertical(BlueNear, BlueFar, b + 2);
        const ULONG rs = 3 * Vertical(RedNear, RedFar, b + 1) + Vertical(RedNear, RedFar, b - 1);
        StorePixel(Out + 3 * j, bs, ULONG(BlueNear[b + 1]) + RedNear[b], rs, G);
    }
}

namespace {

inline ULONG ClampGain(ULONG Gain, ULONG Saturating) {
    return Gain > Saturating ? Saturating : Gain;
}

} // namespace

LONG DemosaicBayer(ColorParams* Params) {
    const LONG width = Params->SourceWidth;
    const LONG height = Params->SourceHeight;
    // Formed in 64 bits: the count of a window the geometry accepts always fits, and no product may wrap.
    const LONG result = LONG((LONGLONG(width) - 2) * (LONGLONG(height) - 2) * 3);
    if (height <= 4)
        return result;

    const ULONG phase = Params->BayerPhase > 3 ? 0 : Params->BayerPhase;
    const ULONG rowPhase = phase & 1;
    // The blue column of the first quad (b = 1) is its left one when column 1 has the blue class.
    const bool blueAtFirstQuadColumn = ((1 + (phase >> 1)) & 1) == 1;
    const DemosaicGains gains = {ClampGain(Params->BlueGain, BLUE_RED_GAIN_SATURATING),
                                 ClampGain(Params->GreenGain, GREEN_GAIN_SATURATING),
                                 ClampGain(Params->RedGain, BLUE_RED_GAIN_SATURATING)};
    const LONG pixels = width > 4 ? width - 4 : 0;
    const SIZE_T stride = SIZE_T(Params->SourceStride);
    const SIZE_T pitch = 3 * SIZE_T(width);
    const UCHAR* window = Params->Scratch + SIZE_T(Params->SourceY) * stride + SIZE_T(Params->SourceX);

    // The sweep runs over quad rows H - 4 down to 1, as the columns run over quads 1 to W - 4: it reads
    // window rows 0 to H - 2 and columns 0 to W - 2, and the picture loses its last row as it loses its
    // last column. The four rows around the current quad row a are kept as addresses and rotate upward.
    LONG a = height - 4;
    const UCHAR* above = window + SIZE_T(a - 1) * stride; // row a - 1
    const UCHAR* top = above + stride;                    // row a
    const UCHAR* bottom = top + stride;                   // row a + 1
    const UCHAR* below = bottom + stride;                 // row a + 2
    PUCHAR out = Params->Output;

    // The row kernel is chosen once per frame: the vector one when the processor has it, the gains fit
    // its 16-bit lanes and the vector state could be saved; otherwise the scalar one, byte for byte the
    // same.
    DemosaicRowRoutine demosaicRow = DemosaicRowScalar;
    XSTATE_SAVE vectorState;
    BOOLEAN vector = FALSE;
#if defined(Z40K_VECTOR_PATHS)
    if (gains.Blue <= VECTOR_GAIN_LIMIT && gains.Green <= VECTOR_GAIN_LIMIT &&
        gains.Red <= VECTOR_GAIN_LIMIT && pixels >= VECTOR_MIN_PIXELS && BeginVectorWork(&vectorState)) {
        vector = TRUE;
        demosaicRow = DemosaicRowAvx2;
    }
#endif
    for (;;) {
        // The quad's blue sample lies in its top row when that row has the blue rows' parity.
        if (((ULONG(a) + rowPhase) & 1) == 0)
            demosaicRow(top, below, bottom, above, out, pixels, blueAtFirstQuadColumn, gains);
        else
            demosaicRow(bottom, above, top, below, out, pixels, blueAtFirstQuadColumn, gains);
        if (--a == 0)
            break;
        below = bottom;
        bottom = top;
        top = above;
        above -= stride;
        out += pitch;
    }
    if (vector)
        EndVectorWork(&vectorState);
    return result;
}

namespace {

// Bounds of the colour path against its two buffers; everything in 64 bits so nothing can wrap.
bool WindowFits(const ColorParams& P, SIZE_T ScratchBytes, SIZE_T FrameBytes) {
    const LONGLONG width = P.SourceWidth, height = P.SourceHeight, stride = P.SourceStride;
    if (width < 4 || height < 3 || P.SourceX < 0 || P.SourceY < 0 || stride < width)
        return false;
    // The white balance reads the whole window, the demosaic a part of it.
    const LONGLONG end = (P.SourceY + height - 1) * stride + P.SourceX + width;
    if (ULONGLONG(end) > ScratchBytes)
        return false;
    return ULONGLONG(3 * width * height) <= FrameBytes;
}

SIZE_T BufferBytes(const UCHAR* Start, const UCHAR* End) {
    return reinterpret_cast<ULONG_PTR>(End) > reinterpret_cast<ULONG_PTR>(Start)
               ? reinterpret_cast<ULONG_PTR>(End) - reinterpret_cast<ULONG_PTR>(Start)
               : 0;
}

} // namespace

ULONG ConvertColor(PDeviceContext Context, PUCHAR Scratch, PUCHAR ScratchEnd, PUCHAR FrameBuffer,
                   PUCHAR FrameEnd) {
    ColorParams params = {};
    params.SourceX = ReadRelaxed(FrameGeometry.SourceX);
    params.SourceWidth = ReadRelaxed(FrameGeometry.SourceWidth);
    params.SourceStride = ReadRelaxed(FrameGeometry.SourceStride);
    params.SourceY = ReadRelaxed(FrameGeometry.SourceY);
    params.SourceHeight = ReadRelaxed(FrameGeometry.SourceHeight);
    params.SourceLines = ReadRelaxed(FrameGeometry.SourceLines);
    params.BayerPhase = 0; // the sensor's pattern; ColorPhase is only what clients are told
    params.Scratch = Scratch;
    params.Output = FrameBuffer;
    params.BlueGain = ReadRelaxed(Context->BlueGain);
    params.GreenGain = ReadRelaxed(Context->GreenGain);
    params.RedGain = ReadRelaxed(Context->RedGain);

    // The geometry is driver-wide and the frame buffer is the library's: a window that the buffers
    // cannot hold (a short raw or request buffer) is dropped rather than read or written out of bounds.
    if (!WindowFits(params, BufferBytes(Scratch, ScratchEnd), BufferBytes(FrameBuffer, FrameEnd)))
        return 0;

    if (ReadRelaxed(Context->AutoWhiteBalance)) {
        params.StatsLeft = 0;
        params.StatsTop = 0;
        params.StatsRight = params.SourceWidth;
        params.StatsBottom = params.SourceHeight;
        ComputeWhiteBalance(&params);
        // All three, changed or not: these are the gains of this frame and the next one's start.
        WriteRelaxed(Context->BlueGain, params.BlueGain);
        WriteRelaxed(Context->GreenGain, params.GreenGain);
        WriteRelaxed(Context->RedGain, params.RedGain);
    }
    return ULONG(DemosaicBayer(&params));
}
