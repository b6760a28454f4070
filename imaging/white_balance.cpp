#include "imaging/white_balance.h"

#include "imaging/vector_paths.h"
#include "platform/kernel.h"

namespace {

struct ClassSums {
    LONGLONG Green, Blue, Red;
    ULONG GreenCount, BlueCount, RedCount;
};

// Adds the samples of one region row, split by column parity, to their classes. Which class each parity
// holds follows from the row's parity (rho) and the column phase: on a blue row (rho 0) the columns of
// kappa 0 are green and those of kappa 1 blue; on a red row (rho 1) kappa 0 is red and kappa 1 green.
VOID AddRow(ClassSums* Sums, SumParitiesRoutine SumParities, const UCHAR* Row, LONG Columns, ULONG Rho,
            ULONG ColumnPhase) {
    ULONG even = 0, odd = 0; // a region row lies inside one scratch line, far below 2^32 / 255 samples
    SumParities(Row, Columns, &even, &odd);
    const ULONG evenCount = ULONG(Columns + 1) / 2, oddCount = ULONG(Columns) / 2;
    // kappa of the even columns is the column phase.
    const ULONG kappa0 = ColumnPhase ? odd : even, kappa0Count = ColumnPhase ? oddCount : evenCount;
    const ULONG kappa1 = ColumnPhase ? even : odd, kappa1Count = ColumnPhase ? evenCount : oddCount;
    if (Rho == 0) {
        Sums->Green += kappa0;
        Sums->GreenCount += kappa0Count;
        Sums->Blue += kappa1;
        Sums->BlueCount += kappa1Count;
    } else {
        Sums->Red += kappa0;
        Sums->RedCount += kappa0Count;
        Sums->Green += kappa1;
        Sums->GreenCount += kappa1Count;
    }
}

// Truncation toward zero with the limits of the balance: not a finite number (a zero mean, or a class
// without samples) gives 0, anything above the cap gives the cap. The cap is tested before converting,
// so a quotient beyond 32 bits never reaches the integer conversion.
ULONG GainFromDouble(double Gain) {
    if (!__builtin_isfinite(Gain) || Gain < 0.0)
        return 0;
    if (Gain > double(WHITE_BALANCE_GAIN_CAP))
        return WHITE_BALANCE_GAIN_CAP;
    return ULONG(Gain);
}

// The statistics add a machine word of samples at a time: eight on x86-64, four on i386, which has no
// 64-bit registers and would take every 64-bit mask, shift and addition in two halves.
typedef ULONG_PTR SampleWord;
constexpr SampleWord LOW_BYTES = SampleWord(0x00FF00FF00FF00FFull);
constexpr LONG WORD_SAMPLES = LONG(sizeof(SampleWord));

// Sum of the 16-bit lanes of Lanes.
inline ULONG FoldLanes(SampleWord Lanes) {
#if UINTPTR_MAX > 0xFFFFFFFFu
    const ULONGLONG pairs = (Lanes & 0x0000FFFF0000FFFFull) + ((Lanes >> 16) & 0x0000FFFF0000FFFFull);
    return ULONG(pairs) + ULONG(pairs >> 32);
#else
    return ULONG(Lanes & 0xFFFF) + ULONG(Lanes >> 16);
#endif
}

} // namespace

// A word at a time: in a little-endian word the even samples are its even bytes and the odd ones its odd
// bytes, so one mask spreads either set over 16-bit lanes and one addition adds a lane's worth of
// samples. A lane holds 257 samples of 255, so the lanes are folded into the totals every 256 words.
VOID SumParitiesScalar(const UCHAR* Row, LONG Columns, ULONG* Even, ULONG* Odd) {
    constexpr LONG WORDS_PER_FOLD = 256;
    ULONG even = 0, odd = 0;
    LONG c = 0;
    while (Columns - c >= WORD_SAMPLES) {
        LONG words = (Columns - c) / WORD_SAMPLES;
        if (words > WORDS_PER_FOLD)
            words = WORDS_PER_FOLD;
        SampleWord evenLanes = 0, oddLanes = 0;
        for (; words > 0; --words, c += WORD_SAMPLES) {
            SampleWord word;
            __builtin_memcpy(&word, Row + c, sizeof(word));
            evenLanes += word & LOW_BYTES;
            oddLanes += (word >> 8) & LOW_BYTES;
        }
        even += FoldLanes(evenLanes);
        odd += FoldLanes(oddLanes);
    }
    for (; c + 1 < Columns; c += 2) {
        even += Row[c];
        odd += Row[c + 1];
    }
    if (c < Columns)
        even += Row[c];
    *Even = even;
    *Odd = odd;
}

BOOLEAN ComputeWhiteBalance(ColorParams* Params) {
    return ComputeWhiteBalanceOf(
        Params, ScratchWindowRows(Params->Scratch, Params->SourceX, Params->SourceY, Params->SourceStride));
}

BOOLEAN ComputeWhiteBalanceOf(ColorParams* Params, const WindowRows& Rows) {
    // Statistics first, in integers only, outside the floating-point span.
    ClassSums sums = {};
    const ULONG phase = BayerPhaseOf(Params->BayerPhase);
    const LONG columns = Params->StatsRight - Params->StatsLeft;
    const LONG rows = Params->StatsBottom - Params->StatsTop;
    if (columns > 0 && rows > 0) {
        VectorStateSave vectorState;
        const ImagingKernels kernels = BeginImagingKernels(&vectorState);
        for (LONG r = 0; r < rows; ++r)
            AddRow(&sums, kernels.SumParities, WindowRow(Rows, Params->StatsTop + r) + Params->StatsLeft,
                   columns, (ULONG(r) + (phase & 1)) & 1, phase >> 1);
        EndImagingKernels(&vectorState, kernels);
    }

    KFLOATING_SAVE floatSave;
    if (!NT_SUCCESS(KeSaveFloatingPointState(&floatSave)))
        return TRUE; // no floating point, no new gains: the frame keeps the gains it came with

    // The order of these operations is part of the result: the gains are truncated, so a different but
    // mathematically equal order can land one below an integer.
    const double oneThird = 1.0 / 3.0;
    const double meanBlue = double(sums.Blue) / double(sums.BlueCount);
    const double meanGreen = double(sums.Green) / double(sums.GreenCount);
    const double meanRed = double(sums.Red) / double(sums.RedCount);
    const double total = (meanGreen + meanRed) + meanBlue;
    const double norm = 1.0 / ((total / meanGreen) * oneThird);
    const double blue = (((total / meanBlue) * oneThird) * norm) * 128.0;
    const double red = (((total / meanRed) * oneThird) * norm) * 128.0;
    Params->BlueGain = GainFromDouble(blue);
    Params->GreenGain = UNITY_GAIN;
    Params->RedGain = GainFromDouble(red);

    KeRestoreFloatingPointState(&floatSave);
    return TRUE;
}
