// The per-row kernels of the image pipeline, scalar, SSE2, SSSE3, AVX2 and AVX-512, and the one place that
// picks among them and makes vector registers usable in the kernel. Each conversion picks its row kernels
// once per frame; the scalar kernels are always built, the vector ones are byte-identical replacements.
#pragma once

#include "imaging/color.h"

// Every output byte a channel can take, by the sum it comes from: blue and red sums run from 0 to 4080,
// green sums from 0 to 510. Filled for one frame's gains, the tables turn a channel's multiply, shift
// and saturation into one load.
struct DemosaicTables {
    UCHAR Blue[4096];
    UCHAR Green[512];
    UCHAR Red[4096];
};

// Gains as the demosaic applies them: clamped to the saturating values (see color.h). Tables, when
// set, holds the same gains as tables for the lookup kernel.
struct DemosaicGains {
    ULONG Blue, Green, Red;
    const DemosaicTables* Tables;
};

// One output row of the demosaic from the quad's blue row, the blue row on the far side, the red row and
// the red row on the far side; Pixels pixels, pixel j reading columns j to j + 3 of each row.
typedef VOID (*DemosaicRowRoutine)(const UCHAR* BlueNear, const UCHAR* BlueFar, const UCHAR* RedNear,
                                   const UCHAR* RedFar, PUCHAR Out, LONG Pixels, bool BlueAtFirstQuadColumn,
                                   const DemosaicGains& Gains);
VOID DemosaicRowScalar(const UCHAR* BlueNear, const UCHAR* BlueFar, const UCHAR* RedNear, const UCHAR* RedFar,
                       PUCHAR Out, LONG Pixels, bool BlueAtFirstQuadColumn, const DemosaicGains& Gains);
// The scalar row again, each byte looked up in Gains.Tables (which must be set) instead of computed.
VOID DemosaicRowLookup(const UCHAR* BlueNear, const UCHAR* BlueFar, const UCHAR* RedNear, const UCHAR* RedFar,
                       PUCHAR Out, LONG Pixels, bool BlueAtFirstQuadColumn, const DemosaicGains& Gains);
// Fills Tables with what DemosaicRowScalar computes for every sum under the gains Blue, Green and Red.
VOID BuildDemosaicTables(DemosaicTables* Tables, const DemosaicGains& Gains);

// Sums of the samples at even and at odd offsets of Row[0 .. Columns - 1].
typedef VOID (*SumParitiesRoutine)(const UCHAR* Row, LONG Columns, ULONG* Even, ULONG* Odd);
VOID SumParitiesScalar(const UCHAR* Row, LONG Columns, ULONG* Even, ULONG* Odd);

// N grey pixels: each sample written three times.
typedef VOID (*ReplicateRoutine)(const UCHAR* Source, PUCHAR Out, SIZE_T N);
VOID ReplicateSamplesScalar(const UCHAR* Source, PUCHAR Out, SIZE_T N);

// The vector demosaics form (sum x gain) >> shift as a high-half multiply in 16-bit lanes, which is
// exact while the gain fits 15 bits; larger gains take the scalar kernel.
constexpr ULONG VECTOR_GAIN_LIMIT = 32767;
// The AVX2 demosaic converts 32 pixels per step and reads three columns beyond them; rows shorter than
// this are left to the scalar kernel without saving any state.
constexpr LONG VECTOR_MIN_PIXELS = 33;

// The kernel families, slowest first. Every one writes the same bytes.
enum ImagingPath : LONG {
    IMAGING_PATH_SCALAR = 1,
    IMAGING_PATH_SSE2 = 2,
    IMAGING_PATH_SSSE3 = 3, // SSE2 with the byte shuffle and the byte multiply-add
    IMAGING_PATH_AVX2 = 4,
    IMAGING_PATH_AVX512 = 5, // AVX-512 F, BW, VL and VBMI
};

// Looks up, once per driver load (DriverEntry, at passive level), the routines that save the AVX and
// AVX-512 register state and tell which of those states the system has enabled. They exist from Windows 7
// on; where they are missing the AVX paths are never taken. Detection starts over afterwards.
VOID FindExtendedStateRoutines();

// The fastest path the processor offers (cpuid) and the system lets the driver use: the SSE paths under
// the floating-point save every target has, the AVX ones only with the extended-state routines and the
// states enabled both in XCR0 and by the system. Read at the first call after FindExtendedStateRoutines;
// every conversion takes it, unless its state cannot be saved.
ImagingPath SupportedImagingPath();

// The row kernels of one span of work.
struct ImagingKernels {
    ImagingPath Path;
    DemosaicRowRoutine DemosaicRow;
    SumParitiesRoutine SumParities;
    ReplicateRoutine Replicate;
};

// The scalar kernels: nothing to save.
ImagingKernels ScalarImagingKernels();

// Where the state of a span of vector work is saved: the floating-point save for the SSE paths, the
// extended one for the AVX paths.
union VectorStateSave {
    KFLOATING_SAVE Float;
    XSTATE_SAVE Extended;
};

// In the kernel, vector registers may only be used between saving and restoring their state. Takes the
// supported path, saves the state its registers need (the floating-point state, which holds the XMM
// registers, for SSE2 and SSSE3; AVX, plus the 512-bit state for AVX-512) and returns that path's kernels;
// when the path is scalar or the save fails nothing is saved and the kernels are the scalar ones. Every call
// is paired with EndImagingKernels.
ImagingKernels BeginImagingKernels(VectorStateSave* Save);
VOID EndImagingKernels(VectorStateSave* Save, const ImagingKernels& Kernels);

#if defined(__x86_64__) || defined(__i386__)
#define Z40K_VECTOR_PATHS 1
VOID DemosaicRowSse2(const UCHAR* BlueNear, const UCHAR* BlueFar, const UCHAR* RedNear, const UCHAR* RedFar,
                     PUCHAR Out, LONG Pixels, bool BlueAtFirstQuadColumn, const DemosaicGains& Gains);
VOID DemosaicRowSsse3(const UCHAR* BlueNear, const UCHAR* BlueFar, const UCHAR* RedNear, const UCHAR* RedFar,
                      PUCHAR Out, LONG Pixels, bool BlueAtFirstQuadColumn, const DemosaicGains& Gains);
VOID SumParitiesSse2(const UCHAR* Row, LONG Columns, ULONG* Even, ULONG* Odd);
VOID ReplicateSamplesSse2(const UCHAR* Source, PUCHAR Out, SIZE_T N);
VOID ReplicateSamplesSsse3(const UCHAR* Source, PUCHAR Out, SIZE_T N);
VOID DemosaicRowAvx2(const UCHAR* BlueNear, const UCHAR* BlueFar, const UCHAR* RedNear, const UCHAR* RedFar,
                     PUCHAR Out, LONG Pixels, bool BlueAtFirstQuadColumn, const DemosaicGains& Gains);
VOID SumParitiesAvx2(const UCHAR* Row, LONG Columns, ULONG* Even, ULONG* Odd);
VOID DemosaicRowAvx512(const UCHAR* BlueNear, const UCHAR* BlueFar, const UCHAR* RedNear, const UCHAR* RedFar,
                       PUCHAR Out, LONG Pixels, bool BlueAtFirstQuadColumn, const DemosaicGains& Gains);
VOID SumParitiesAvx512(const UCHAR* Row, LONG Columns, ULONG* Even, ULONG* Odd);
VOID ReplicateSamplesAvx512(const UCHAR* Source, PUCHAR Out, SIZE_T N);
// Orders the streaming (non-temporal) stores of the vector kernels before whatever the caller does
// next: the finished frame is handed to another thread.
VOID FenceStreamingStores();
#endif
