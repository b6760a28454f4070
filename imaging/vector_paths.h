// The per-row kernels of the image pipeline, scalar and (on x86-64) AVX2, and the bracket that makes
// vector registers usable in the kernel. Each conversion picks its row kernel once per frame; the
// scalar kernels are always built, the vector ones are byte-identical replacements.
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

// The vector demosaic forms (sum x gain) >> shift as a high-half multiply in 16-bit lanes, which is
// exact while the gain fits 15 bits; larger gains take the scalar kernel.
constexpr ULONG VECTOR_GAIN_LIMIT = 32767;
// The vector demosaic converts 32 pixels per step and reads three columns beyond them; rows shorter than
// this are left to the scalar kernel without saving any state.
constexpr LONG VECTOR_MIN_PIXELS = 33;

#if defined(__x86_64__)
#define Z40K_VECTOR_PATHS 1
bool CpuHasAvx2();
VOID DemosaicRowAvx2(const UCHAR* BlueNear, const UCHAR* BlueFar, const UCHAR* RedNear, const UCHAR* RedFar,
                     PUCHAR Out, LONG Pixels, bool BlueAtFirstQuadColumn, const DemosaicGains& Gains);
VOID SumParitiesAvx2(const UCHAR* Row, LONG Columns, ULONG* Even, ULONG* Odd);
VOID ReplicateSamplesAvx2(const UCHAR* Source, PUCHAR Out, SIZE_T N);
#else
// No vector kernels on this target: ChooseKernel never picks a null one.
constexpr DemosaicRowRoutine DemosaicRowAvx2 = nullptr;
constexpr SumParitiesRoutine SumParitiesAvx2 = nullptr;
constexpr ReplicateRoutine ReplicateSamplesAvx2 = nullptr;
#endif

// In the kernel, vector registers may only be used between saving and restoring the extended processor
// state. TRUE when the processor has the vector paths and the AVX state was saved; the caller then runs
// its vector kernels and calls EndVectorWork. FALSE (nothing saved) means the scalar kernels.
BOOLEAN BeginVectorWork(PXSTATE_SAVE Save);
VOID EndVectorWork(PXSTATE_SAVE Save);

// A stage's kernel for one frame: Vector when there is one and BeginVectorWork succeeded (*Saved is
// then TRUE and the caller must call EndVectorWork when done), Scalar otherwise.
template <typename Routine>
Routine ChooseKernel(Routine Scalar, Routine Vector, PXSTATE_SAVE Save, BOOLEAN* Saved) {
    *Saved = Vector != nullptr && BeginVectorWork(Save);
    return *Saved ? Vector : Scalar;
}
