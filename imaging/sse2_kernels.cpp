// The SSE2 row kernels, and the SSSE3 ones where a byte shuffle pays: the machines this camera was sold
// with have SSE2 and seldom AVX, and an i386 kernel gives SSE2 code only eight XMM registers. They run
// between KeSaveFloatingPointState and KeRestoreFloatingPointState, which on i386 save the XMM state.
#include "imaging/vector_paths.h"

#if defined(Z40K_VECTOR_PATHS)
#include "imaging/byte_shuffles.h"

#include <immintrin.h> // compiler intrinsics only; no library code

#define SSE2_TARGET __attribute__((target("sse2")))
#define SSSE3_TARGET __attribute__((target("ssse3")))

namespace {

// ---- writing pixel pairs ----------------------------------------------------------------------------
//
// Without a byte shuffle, three channels interleave most cheaply as 16-bit words: pixel pair m (pixels 2m
// and 2m + 1) is the six bytes B G | R B | G R, i.e. the words X[m], Y[m], Z[m]. Two word unpacks put
// X Y Z 0 into a 64-bit lane, and each lane is stored whole, six bytes after the previous one: a step's
// last store writes two bytes past its 48, which the next pixel's bytes then overwrite, so a step may only
// run while at least one pixel follows it.

SSE2_TARGET inline VOID StorePairLanes(PUCHAR Out, __m128i Lanes) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(Out), Lanes);
    _mm_storeh_pd(reinterpret_cast<double*>(Out + 6), _mm_castsi128_pd(Lanes));
}

// Pairs 0 to 7 of X, Y and Z: 48 bytes from Out, and two more that the next pixel owns.
SSE2_TARGET inline VOID StorePixelPairs(PUCHAR Out, __m128i X, __m128i Y, __m128i Z) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i xyLow = _mm_unpacklo_epi16(X, Y), xyHigh = _mm_unpackhi_epi16(X, Y);
    const __m128i zLow = _mm_unpacklo_epi16(Z, zero), zHigh = _mm_unpackhi_epi16(Z, zero);
    StorePairLanes(Out, _mm_unpacklo_epi32(xyLow, zLow));
    StorePairLanes(Out + 12, _mm_unpackhi_epi32(xyLow, zLow));
    StorePairLanes(Out + 24, _mm_unpacklo_epi32(xyHigh, zHigh));
    StorePairLanes(Out + 36, _mm_unpackhi_epi32(xyHigh, zHigh));
}

// Words from two byte-valued 16-bit lanes: Low | High << 8.
SSE2_TARGET inline __m128i Word(__m128i Low, __m128i High) {
    return _mm_or_si128(Low, _mm_slli_epi16(High, 8));
}

// ---- the demosaic ----------------------------------------------------------------------------------
//
// Sixteen pixels per step, split by parity as in the AVX2 kernel: pixel j + i reads columns j + i to
// j + i + 3, and three loads of each row at j, j + 2 and j + 4 hold those columns in their even (e) and
// odd (o) bytes. With P the rows whose colour sits at the quad's odd-byte columns (the blue rows when the
// step starts with kind A, else the red rows) and Q the others, every pixel of the step reads:
//
//   P channel:  even pixel 3 V(P, o0) + V(P, o2)    odd pixel 3 V(P, o2) + V(P, o0)
//   Q channel:  even pixel 3 V(Q, e2) + V(Q, e0)    odd pixel 3 V(Q, e2) + V(Q, e4)
//   green:      even pixel Pn e2 + Qn o0             odd pixel Pn e2 + Qn o2
//
// where V(R, c) = 3 x near + far of rows R at byte set c. P needs two loads of each of its rows and Q
// three, so the step keeps few registers live.

SSE2_TARGET inline __m128i Load(const UCHAR* P) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(P));
}
SSE2_TARGET inline __m128i EvenBytes(__m128i V) {
    return _mm_and_si128(V, _mm_set1_epi16(0x00FF));
}
SSE2_TARGET inline __m128i OddBytes(__m128i V) {
    return _mm_srli_epi16(V, 8);
}
SSE2_TARGET inline __m128i Times3(__m128i V) {
    return _mm_add_epi16(V, _mm_add_epi16(V, V));
}
// 3 x Near + Far of one byte set.
SSE2_TARGET inline __m128i Vertical(__m128i Near, __m128i Far) {
    return _mm_add_epi16(Times3(Near), Far);
}

// (Sum x gain) >> shift saturated at 255, as the high half of (Sum << (15 - shift)) x (2 x gain) (exact
// while the gain fits 15 bits); SSE2 has no unsigned 16-bit minimum, so x - max(x - 255, 0) stands in.
template <int Shift> SSE2_TARGET inline __m128i Scale(__m128i Sum, __m128i TwiceGain) {
    const __m128i product = _mm_mulhi_epu16(_mm_slli_epi16(Sum, 15 - Shift), TwiceGain);
    return _mm_sub_epi16(product, _mm_subs_epu16(product, _mm_set1_epi16(255)));
}

// One step's channels in 16-bit lanes, one value per pixel pair and parity.
struct StepChannels {
    __m128i EvenP, OddP, EvenQ, OddQ, EvenGreen, OddGreen;
};

struct StepGains {
    __m128i P, Green, Q;
};

SSE2_TARGET inline StepChannels DemosaicStep(const UCHAR* Pn, const UCHAR* Pf, const UCHAR* Qn,
                                             const UCHAR* Qf, const StepGains& G) {
    StepChannels c;
    const __m128i pn2 = Load(Pn + 2);
    const __m128i p0 = Vertical(OddBytes(Load(Pn)), OddBytes(Load(Pf)));
    const __m128i p2 = Vertical(OddBytes(pn2), OddBytes(Load(Pf + 2)));
    c.EvenP = Scale<11>(_mm_add_epi16(Times3(p0), p2), G.P);
    c.OddP = Scale<11>(_mm_add_epi16(Times3(p2), p0), G.P);
    const __m128i qn0 = Load(Qn), qn2 = Load(Qn + 2);
    const __m128i q2 = Times3(Vertical(EvenBytes(qn2), EvenBytes(Load(Qf + 2))));
    c.EvenQ = Scale<11>(_mm_add_epi16(q2, Vertical(EvenBytes(qn0), EvenBytes(Load(Qf)))), G.Q);
    c.OddQ = Scale<11>(_mm_add_epi16(q2, Vertical(EvenBytes(Load(Qn + 4)), EvenBytes(Load(Qf + 4)))), G.Q);
    const __m128i greenP = EvenBytes(pn2);
    c.EvenGreen = Scale<8>(_mm_add_epi16(greenP, OddBytes(qn0)), G.Green);
    c.OddGreen = Scale<8>(_mm_add_epi16(greenP, OddBytes(qn2)), G.Green);
    return c;
}

// The step's pixels as words X, Y, Z of StorePixelPairs: B G | R B | G R, with blue the P channel when
// the step starts with kind A.
template <bool KindAFirst> SSE2_TARGET inline VOID StoreStepWords(PUCHAR Out, const StepChannels& C) {
    const __m128i evenBlue = KindAFirst ? C.EvenP : C.EvenQ, oddBlue = KindAFirst ? C.OddP : C.OddQ;
    const __m128i evenRed = KindAFirst ? C.EvenQ : C.EvenP, oddRed = KindAFirst ? C.OddQ : C.OddP;
    StorePixelPairs(Out, Word(evenBlue, C.EvenGreen), Word(evenRed, oddBlue), Word(C.OddGreen, oddRed));
}

// The same through byte shuffles: each channel's sixteen bytes in pixel order, then interleaved as the
// AVX2 kernel does per 128-bit half, in three whole stores.
SSSE3_TARGET inline __m128i Chunk(int K, __m128i Blue, __m128i Green, __m128i Red) {
    const __m128i* masks = reinterpret_cast<const __m128i*>(INTERLEAVE);
    return _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(Blue, _mm_load_si128(masks + K)),
                                     _mm_shuffle_epi8(Green, _mm_load_si128(masks + 3 + K))),
                        _mm_shuffle_epi8(Red, _mm_load_si128(masks + 6 + K)));
}

template <bool KindAFirst> SSSE3_TARGET inline VOID StoreStepShuffled(PUCHAR Out, const StepChannels& C) {
    const __m128i p = Word(C.EvenP, C.OddP), q = Word(C.EvenQ, C.OddQ);
    const __m128i blue = KindAFirst ? p : q, red = KindAFirst ? q : p;
    const __m128i green = Word(C.EvenGreen, C.OddGreen);
    for (int k = 0; k < 3; ++k)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(Out + 16 * k), Chunk(k, blue, green, red));
}

// A step reads columns up to j + 19 and writes two bytes into pixel j + 16, so it runs only while
// j + 17 <= Pixels: every read stays at or before column Pixels + 2, as the scalar kernel's.
constexpr LONG STEP_PIXELS = 16;

// The row loop and its routine, once per store: a function compiled for SSE2 must not take SSSE3 code
// inline, nor may the SSE2 kernel be compiled where the compiler could pick SSSE3 instructions of its
// own.
#define Z40K_DEMOSAIC_ROW(Name, Target, Store)                                                               \
    namespace {                                                                                              \
    template <bool KindAFirst>                                                                               \
    Target VOID Name##Steps(const UCHAR* BlueNear, const UCHAR* BlueFar, const UCHAR* RedNear,               \
                            const UCHAR* RedFar, PUCHAR Out, LONG Pixels, const DemosaicGains& Gains) {      \
        const UCHAR* pn = KindAFirst ? BlueNear : RedNear;                                                   \
        const UCHAR* pf = KindAFirst ? BlueFar : RedFar;                                                     \
        const UCHAR* qn = KindAFirst ? RedNear : BlueNear;                                                   \
        const UCHAR* qf = KindAFirst ? RedFar : BlueFar;                                                     \
        const ULONG pGain = KindAFirst ? Gains.Blue : Gains.Red,                                             \
                    qGain = KindAFirst ? Gains.Red : Gains.Blue;                                             \
        const StepGains gains = {_mm_set1_epi16(short(2 * pGain)), _mm_set1_epi16(short(2 * Gains.Green)),   \
                                 _mm_set1_epi16(short(2 * qGain))};                                          \
        LONG j = 0;                                                                                          \
        for (; j + STEP_PIXELS + 1 <= Pixels; j += STEP_PIXELS)                                              \
            Store<KindAFirst>(Out + 3 * j, DemosaicStep(pn + j, pf + j, qn + j, qf + j, gains));             \
        /* The rest one by one; j is even, so the pixel kinds continue as they began. */                     \
        if (j < Pixels)                                                                                      \
            DemosaicRowScalar(BlueNear + j, BlueFar + j, RedNear + j, RedFar + j, Out + 3 * j, Pixels - j,   \
                              KindAFirst, Gains);                                                            \
    }                                                                                                        \
    }                                                                                                        \
    VOID Name(const UCHAR* BlueNear, const UCHAR* BlueFar, const UCHAR* RedNear, const UCHAR* RedFar,        \
              PUCHAR Out, LONG Pixels, bool BlueAtFirstQuadColumn, const DemosaicGains& Gains) {             \
        (BlueAtFirstQuadColumn ? Name##Steps<true> : Name##Steps<false>)(BlueNear, BlueFar, RedNear, RedFar, \
                                                                         Out, Pixels, Gains);                \
    }

} // namespace

Z40K_DEMOSAIC_ROW(DemosaicRowSse2, SSE2_TARGET, StoreStepWords)
Z40K_DEMOSAIC_ROW(DemosaicRowSsse3, SSSE3_TARGET, StoreStepShuffled)
#undef Z40K_DEMOSAIC_ROW

// Bytes at even offsets are the low bytes of 16-bit lanes; a sum of absolute differences against zero
// adds eight of them into a 64-bit lane, once for all the bytes and once for the even ones alone.
SSE2_TARGET VOID SumParitiesSse2(const UCHAR* Row, LONG Columns, ULONG* Even, ULONG* Odd) {
    const __m128i zero = _mm_setzero_si128();
    __m128i all = zero, even = zero;
    LONG c = 0;
    for (; c + 16 <= Columns; c += 16) {
        const __m128i v = Load(Row + c);
        all = _mm_add_epi64(all, _mm_sad_epu8(v, zero));
        even = _mm_add_epi64(even, _mm_sad_epu8(EvenBytes(v), zero));
    }
    // The lanes hold at most a row's sum, far below 2^32: their low words are the totals.
    const __m128i allTotal = _mm_add_epi32(all, _mm_srli_si128(all, 8));
    const __m128i evenTotal = _mm_add_epi32(even, _mm_srli_si128(even, 8));
    ULONG tailEven = 0, tailOdd = 0;
    SumParitiesScalar(Row + c, Columns - c, &tailEven, &tailOdd); // c is even: parities carry on
    const ULONG evenSum = ULONG(_mm_cvtsi128_si32(evenTotal));
    *Even = evenSum + tailEven;
    *Odd = ULONG(_mm_cvtsi128_si32(allTotal)) - evenSum + tailOdd;
}

// Sample pair m (samples 2m and 2m + 1, s and t) becomes s s | s t | t t: the words s x 0x0101, the pair
// itself, t x 0x0101.
SSE2_TARGET VOID ReplicateSamplesSse2(const UCHAR* Source, PUCHAR Out, SIZE_T N) {
    SIZE_T i = 0;
    for (; i + 17 <= N; i += 16) { // a pixel must follow: see StorePixelPairs
        const __m128i v = Load(Source + i);
        const __m128i even = EvenBytes(v), odd = OddBytes(v);
        StorePixelPairs(Out + 3 * i, Word(even, even), v, Word(odd, odd));
    }
    ReplicateSamplesScalar(Source + i, Out + 3 * i, N - i);
}

SSSE3_TARGET VOID ReplicateSamplesSsse3(const UCHAR* Source, PUCHAR Out, SIZE_T N) {
    const __m128i* masks = reinterpret_cast<const __m128i*>(REPLICATE);
    SIZE_T i = 0;
    for (; i + 16 <= N; i += 16) {
        const __m128i v = Load(Source + i);
        for (int k = 0; k < 3; ++k)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(Out + 3 * i + 16 * k),
                             _mm_shuffle_epi8(v, _mm_load_si128(masks + k)));
    }
    ReplicateSamplesScalar(Source + i, Out + 3 * i, N - i);
}

#endif
