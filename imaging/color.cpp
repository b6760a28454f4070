#include "imaging/color.h"

#include "camera/frame_geometry.h"
#include "imaging/raw_frame.h"
#include "imaging/vector_paths.h"
#include "imaging/white_balance.h"
#include "driver/relaxed.h"

namespace {

// One channel's byte: its sum times its gain, shifted down by the sum's weight and the gain's unity
// (11 for blue and red, 8 for green), saturated at 255. Gains are clamped so the product fits.
constexpr ULONG BLUE_RED_SHIFT = 11;
constexpr ULONG GREEN_SHIFT = 8;
inline UCHAR Gained(ULONG Sum, ULONG Gain, ULONG Shift) {
    const ULONG value = (Sum * Gain) >> Shift;
    return UCHAR(value > 255 ? 255 : value);
}

// Vertical part of a four-sample sum: 3 x the near row + 1 x the far row at one column. A full sum is
// 3 x this at the sample's own column + this at its partner column, i.e. 9, 3, 3, 1.
inline ULONG Vertical(const UCHAR* Near, const UCHAR* Far, LONG Column) {
    return 3u * Near[Column] + Far[Column];
}

inline VOID StorePixel(PUCHAR Out, ULONG Bs, ULONG E, ULONG Rs, const DemosaicGains& G) {
    Out[0] = Gained(Bs, G.Blue, BLUE_RED_SHIFT);
    Out[1] = Gained(E, G.Green, GREEN_SHIFT);
    Out[2] = Gained(Rs, G.Red, BLUE_RED_SHIFT);
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

VOID BuildDemosaicTables(DemosaicTables* Tables, const DemosaicGains& G) {
    for (ULONG sum = 0; sum < sizeof(Tables->Blue); ++sum) {
        Tables->Blue[sum] = Gained(sum, G.Blue, BLUE_RED_SHIFT);
        Tables->Red[sum] = Gained(sum, G.Red, BLUE_RED_SHIFT);
    }
    for (ULONG sum = 0; sum < sizeof(Tables->Green); ++sum)
        Tables->Green[sum] = Gained(sum, G.Green, GREEN_SHIFT);
}

namespace {

// Where the lookup kernel reads: Q points into the quad's blue row, and the three other rows lie at fixed
// distances from it, so a single pointer moves along the row.
struct LookupRows {
    LONG_PTR BlueFar, RedNear, RedFar; // from the blue row
};

// Vertical part of a sum, Near[Column] x 3 + Far[Column], as a table index.
inline SIZE_T VerticalIndex(const UCHAR* Q, LONG_PTR Near, LONG_PTR Far, LONG_PTR Column) {
    return 3 * SIZE_T(Q[Near + Column]) + Q[Far + Column];
}

// What one pair of pixels hands to the next: its blue column b + 2 is the next pair's b, its red
// columns b + 1 and b + 3 are the next pair's b - 1 and b + 1, and its red row's sample at b + 2 is the
// next pair's at b.
struct LookupCarry {
    SIZE_T Blue0, RedM, Red1, GreenLeft;
};

// The pair of pixels whose kind-A quad starts at Q's column (b): kind A at b, kind B at b + 1.
inline VOID LookupPair(PUCHAR Out, const UCHAR* Q, const LookupRows& R, const DemosaicTables* T,
                       LookupCarry* C) {
    const SIZE_T blue2 = VerticalIndex(Q, 0, R.BlueFar, 2);
    const SIZE_T red3 = VerticalIndex(Q, R.RedNear, R.RedFar, 3);
    const SIZE_T green = Q[1];
    const SIZE_T greenRight = Q[R.RedNear + 2];
    Out[0] = T->Blue[3 * C->Blue0 + blue2];
    Out[1] = T->Green[green + C->GreenLeft];
    Out[2] = T->Red[3 * C->Red1 + C->RedM];
    Out[3] = T->Blue[3 * blue2 + C->Blue0];
    Out[4] = T->Green[green + greenRight];
    Out[5] = T->Red[3 * C->Red1 + red3];
    *C = {blue2, C->Red1, red3, greenRight};
}

#if defined(__i386__)
// i386 has seven general registers, and the pair loop below keeps eleven values live from pair to pair
// (the pointers, the three row distances, the tables and the carried sums): a third of its instructions
// are spills and reloads. The rows the driver converts lie at fixed distances from one another, set by
// the raw frame's two fields or by the scratch frame's lines, so for those the distances are constants
// of the instructions, and only the blue sum is carried: the red sums and the green samples are read
// again, which costs less than reloading them from the stack.
template <LONG_PTR BlueFar, LONG_PTR RedNear, LONG_PTR RedFar>
VOID LookupPairsAt(PUCHAR Out, const UCHAR* Q, const DemosaicTables* T, SIZE_T Pairs) {
    SIZE_T blue0 = VerticalIndex(Q, 0, BlueFar, 0);
    for (const PUCHAR end = Out + 6 * Pairs; Out != end; Out += 6, Q += 2) {
        const SIZE_T blue2 = VerticalIndex(Q, 0, BlueFar, 2);
        Out[0] = T->Blue[3 * blue0 + blue2];
        Out[3] = T->Blue[3 * blue2 + blue0];
        blue0 = blue2;
        const SIZE_T green = Q[1];
        Out[1] = T->Green[green + Q[RedNear]];
        Out[4] = T->Green[green + Q[RedNear + 2]];
        const SIZE_T red1 = 3 * VerticalIndex(Q, RedNear, RedFar, 1);
        Out[2] = T->Red[red1 + VerticalIndex(Q, RedNear, RedFar, -1)];
        Out[5] = T->Red[red1 + VerticalIndex(Q, RedNear, RedFar, 3)];
    }
}

typedef VOID (*LookupPairsRoutine)(PUCHAR Out, const UCHAR* Q, const DemosaicTables* T, SIZE_T Pairs);

struct KnownRows {
    LONG_PTR BlueFar, RedNear, RedFar;
    LookupPairsRoutine Routine;
};

// The distances of the rows of a quad from its blue row, blue row above or below the red one, for the
// two layouts the driver reads (see DemosaicWindow and RowsOfWindow): the raw frame's fields, a line
// apart within a field and the fields' distance apart, and the scratch frame, a line apart.
constexpr LONG_PTR LINE = RAW_LINE_DISTANCE;
constexpr LONG_PTR FIELDS = LONG_PTR(RAW_SECOND_FIELD_OFFSET) - LONG_PTR(RAW_FIRST_FIELD_OFFSET);
#define KNOWN_ROWS_AT(blueFar, redNear, redFar)                                                              \
    { blueFar, redNear, redFar, LookupPairsAt<blueFar, redNear, redFar> }
constexpr KnownRows KNOWN_ROWS[] = {
    KNOWN_ROWS_AT(LINE, FIELDS, FIELDS - LINE),   KNOWN_ROWS_AT(LINE, LINE - FIELDS, -FIELDS),
    KNOWN_ROWS_AT(-LINE, -FIELDS, LINE - FIELDS), KNOWN_ROWS_AT(-LINE, FIELDS - LINE, FIELDS),
    KNOWN_ROWS_AT(2 * LINE, LINE, -LINE),         KNOWN_ROWS_AT(-2 * LINE, -LINE, LINE),
};
#undef KNOWN_ROWS_AT

// The pairs done by the kernel for the rows' distances, when there is one; false when there is none.
bool LookupPairsAtKnownRows(PUCHAR Out, const UCHAR* Q, const LookupRows& R, const DemosaicTables* T,
                            SIZE_T Pairs) {
    for (const KnownRows& known : KNOWN_ROWS) {
        if (known.BlueFar == R.BlueFar && known.RedNear == R.RedNear && known.RedFar == R.RedFar) {
            known.Routine(Out, Q, T, Pairs);
            return true;
        }
    }
    return false;
}
#endif

} // namespace

// The pixels of DemosaicRowScalar in the same order, each byte looked up. Two pairs per step: the
// values one pair hands to the next then stay in registers.
VOID DemosaicRowLookup(const UCHAR* BlueNear, const UCHAR* BlueFar, const UCHAR* RedNear, const UCHAR* RedFar,
                       PUCHAR Out, LONG Pixels, bool BlueAtFirstQuadColumn, const DemosaicGains& G) {
    if (Pixels <= 0)
        return;
    const DemosaicTables* tables = G.Tables;
    const LookupRows rows = {BlueFar - BlueNear, RedNear - BlueNear, RedFar - BlueNear};
    SIZE_T left = SIZE_T(Pixels);
    const UCHAR* q = BlueNear + 1; // at b, the first quad column of the next pixel
    if (!BlueAtFirstQuadColumn) {
        // A lone kind-B pixel first, so that the pairs all start with kind A.
        const SIZE_T bs = 3 * VerticalIndex(q, 0, rows.BlueFar, 1) + VerticalIndex(q, 0, rows.BlueFar, -1);
        const SIZE_T rs = 3 * VerticalIndex(q, rows.RedNear, rows.RedFar, 0) +
                          VerticalIndex(q, rows.RedNear, rows.RedFar, 2);
        Out[0] = tables->Blue[bs];
        Out[1] = tables->Green[SIZE_T(q[0]) + q[rows.RedNear + 1]];
        Out[2] = tables->Red[rs];
        Out += 3;
        ++q;
        if (--left == 0)
            return;
    }
    SIZE_T pairs = left / 2;
#if defined(__i386__)
    if (LookupPairsAtKnownRows(Out, q, rows, tables, pairs)) {
        Out += 6 * pairs;
        q += 2 * pairs;
        pairs = 0;
    }
#endif
    LookupCarry carry = {VerticalIndex(q, 0, rows.BlueFar, 0),
                         VerticalIndex(q, rows.RedNear, rows.RedFar, -1),
                         VerticalIndex(q, rows.RedNear, rows.RedFar, 1), q[rows.RedNear]};
    for (const PUCHAR quadsEnd = Out + 6 * (pairs & ~SIZE_T(1)); Out != quadsEnd; Out += 12, q += 4) {
        LookupPair(Out, q, rows, tables, &carry);
        LookupPair(Out + 6, q + 2, rows, tables, &carry);
    }
    if (pairs & 1) {
        LookupPair(Out, q, rows, tables, &carry);
        Out += 6;
        q += 2;
    }
    if (left & 1) {
        // A trailing kind-A pixel.
        Out[0] = tables->Blue[3 * carry.Blue0 + VerticalIndex(q, 0, rows.BlueFar, 2)];
        Out[1] = tables->Green[SIZE_T(q[1]) + carry.GreenLeft];
        Out[2] = tables->Red[3 * carry.Red1 + carry.RedM];
    }
}

namespace {

inline ULONG ClampGain(ULONG Gain, ULONG Saturating) {
    return Gain > Saturating ? Saturating : Gain;
}

// A DemosaicTables inside [Space, Space + Bytes), started on a cache line; null when it does not fit.
DemosaicTables* TablesIn(PUCHAR Space, SIZE_T Bytes) {
    if (Space == nullptr)
        return nullptr;
    const SIZE_T skip = (0 - reinterpret_cast<ULONG_PTR>(Space)) & 63;
    if (Bytes < skip || Bytes - skip < sizeof(DemosaicTables))
        return nullptr;
    return reinterpret_cast<DemosaicTables*>(Space + skip);
}

// The row kernel of a frame, chosen once: a vector one when the gains fit its 16-bit lanes and the rows
// are long enough to be worth saving the vector state; otherwise the scalar one, from tables (built
// here, and named in *Gains) when the caller has room for them. All give the same bytes. *Kernels is what
// EndImagingKernels takes once the frame is done.
DemosaicRowRoutine BeginDemosaicRows(DemosaicGains* Gains, LONG Pixels, PUCHAR TableSpace,
                                     SIZE_T TableSpaceBytes, VectorStateSave* VectorState,
                                     ImagingKernels* Kernels) {
    *Kernels = ScalarImagingKernels();
    if (Gains->Blue <= VECTOR_GAIN_LIMIT && Gains->Green <= VECTOR_GAIN_LIMIT &&
        Gains->Red <= VECTOR_GAIN_LIMIT && Pixels >= VECTOR_MIN_PIXELS)
        *Kernels = BeginImagingKernels(VectorState);
    if (Kernels->Path != IMAGING_PATH_SCALAR)
        return Kernels->DemosaicRow;
    DemosaicTables* tables = TablesIn(TableSpace, TableSpaceBytes);
    if (tables == nullptr)
        return Kernels->DemosaicRow;
    BuildDemosaicTables(tables, *Gains);
    Gains->Tables = tables;
    return DemosaicRowLookup;
}

} // namespace

LONG DemosaicBayer(ColorParams* Params) {
    return DemosaicBayerWithTableSpace(Params, nullptr, 0);
}

LONG DemosaicBayerWithTableSpace(ColorParams* Params, PUCHAR TableSpace, SIZE_T TableSpaceBytes) {
    return DemosaicWindow(
        Params, ScratchWindowRows(Params->Scratch, Params->SourceX, Params->SourceY, Params->SourceStride),
        TableSpace, TableSpaceBytes);
}

LONG DemosaicWindow(const ColorParams* Params, const WindowRows& Rows, PUCHAR TableSpace,
                    SIZE_T TableSpaceBytes) {
    const LONG width = Params->SourceWidth;
    const LONG height = Params->SourceHeight;
    // Formed in 64 bits: the count of a window the geometry accepts always fits, and no product may wrap.
    const LONG result = LONG((LONGLONG(width) - 2) * (LONGLONG(height) - 2) * 3);
    if (height <= 4)
        return result;

    const ULONG phase = BayerPhaseOf(Params->BayerPhase);
    const ULONG rowPhase = phase & 1;
    // The blue column of the first quad (b = 1) is its left one when column 1 has the blue class.
    const bool blueAtFirstQuadColumn = ((1 + (phase >> 1)) & 1) == 1;
    DemosaicGains gains = {ClampGain(Params->BlueGain, BLUE_RED_GAIN_SATURATING),
                           ClampGain(Params->GreenGain, GREEN_GAIN_SATURATING),
                           ClampGain(Params->RedGain, BLUE_RED_GAIN_SATURATING), nullptr};
    const LONG pixels = width > 4 ? width - 4 : 0;
    const SIZE_T pitch = 3 * SIZE_T(width);

    // The sweep runs over quad rows H - 4 down to 1, as the columns run over quads 1 to W - 4: it reads
    // window rows 0 to H - 2 and columns 0 to W - 2, and the picture loses its last row as it loses its
    // last column. The four rows around the current quad row a are kept as addresses and rotate upward.
    LONG a = height - 4;
    const UCHAR* above = WindowRow(Rows, a - 1);  // row a - 1
    const UCHAR* top = WindowRow(Rows, a);        // row a
    const UCHAR* bottom = WindowRow(Rows, a + 1); // row a + 1
    const UCHAR* below = WindowRow(Rows, a + 2);  // row a + 2
    PUCHAR out = Params->Output;

    ImagingKernels kernels;
    VectorStateSave vectorState;
    const DemosaicRowRoutine demosaicRow =
        BeginDemosaicRows(&gains, pixels, TableSpace, TableSpaceBytes, &vectorState, &kernels);
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
        above = WindowRow(Rows, a - 1);
        out += pitch;
    }
    EndImagingKernels(&vectorState, kernels);
    return result;
}

namespace {

// Bounds of the colour path against its two buffers; everything in 64 bits so nothing can wrap. On
// success *WindowEnd is the scratch offset just past the window's last sample.
bool WindowFits(const ColorParams& P, SIZE_T ScratchBytes, SIZE_T FrameBytes, SIZE_T* WindowEnd) {
    const LONGLONG width = P.SourceWidth, height = P.SourceHeight, stride = P.SourceStride;
    if (width < 4 || height < 3 || P.SourceX < 0 || P.SourceY < 0 || stride < width)
        return false;
    // The white balance reads the whole window, the demosaic a part of it.
    const LONGLONG end = (P.SourceY + height - 1) * stride + P.SourceX + width;
    if (ULONGLONG(end) > ScratchBytes)
        return false;
    *WindowEnd = SIZE_T(end);
    return ULONGLONG(3 * width * height) <= FrameBytes;
}

} // namespace

ULONG ConvertColor(PDeviceContext Context, PUCHAR Scratch, PUCHAR ScratchEnd, PUCHAR FrameBuffer,
                   PUCHAR FrameEnd) {
    FrameInput input = {Scratch, ScratchEnd, nullptr};
    return ConvertColorFrom(Context, &input, FrameBuffer, FrameEnd);
}

ULONG ConvertColorFrom(PDeviceContext Context, FrameInput* Input, PUCHAR FrameBuffer, PUCHAR FrameEnd) {
    ColorParams params = {};
    params.SourceX = ReadRelaxed(FrameGeometry.SourceX);
    params.SourceWidth = ReadRelaxed(FrameGeometry.SourceWidth);
    params.SourceStride = ReadRelaxed(FrameGeometry.SourceStride);
    params.SourceY = ReadRelaxed(FrameGeometry.SourceY);
    params.SourceHeight = ReadRelaxed(FrameGeometry.SourceHeight);
    params.SourceLines = ReadRelaxed(FrameGeometry.SourceLines);
    params.BayerPhase = 0; // the sensor's pattern; ColorPhase is only what clients are told
    params.Scratch = Input->Scratch;
    params.Output = FrameBuffer;
    params.BlueGain = ReadRelaxed(Context->BlueGain);
    params.GreenGain = ReadRelaxed(Context->GreenGain);
    params.RedGain = ReadRelaxed(Context->RedGain);

    // The geometry is driver-wide and the frame buffer is the library's: a window that the buffers
    // cannot hold (a short raw or request buffer) is dropped rather than read or written out of bounds.
    const SIZE_T scratchBytes = BufferBytes(Input->Scratch, Input->ScratchEnd);
    SIZE_T windowEnd = 0;
    if (!WindowFits(params, scratchBytes, BufferBytes(FrameBuffer, FrameEnd), &windowEnd))
        return 0;
    const WindowRows rows = RowsOfWindow(Input, params.SourceX, params.SourceY, params.SourceStride,
                                         params.SourceWidth, params.SourceHeight);

    if (ReadRelaxed(Context->AutoWhiteBalance)) {
        params.StatsLeft = 0;
        params.StatsTop = 0;
        params.StatsRight = params.SourceWidth;
        params.StatsBottom = params.SourceHeight;
        ComputeWhiteBalanceOf(&params, rows);
        // All three, changed or not: these are the gains of this frame and the next one's start.
        WriteRelaxed(Context->BlueGain, params.BlueGain);
        WriteRelaxed(Context->GreenGain, params.GreenGain);
        WriteRelaxed(Context->RedGain, params.RedGain);
    }
    // Below the window the scratch frame holds nothing of the image (the capture window leaves 128 lines
    // there): room for the gain tables of the scalar demosaic.
    return ULONG(DemosaicWindow(&params, rows, Input->Scratch + windowEnd, scratchBytes - windowEnd));
}
