// The AVX-512 row kernels (F, BW, VL, VBMI): 64 pixels per step, the rows' ends done by masked steps
// rather than scalar code, and the output written with streaming stores once a row reaches a 64-byte
// boundary: the 14.7 MB frame is far larger than the caches and nothing reads it back here.
#include "imaging/vector_paths.h"

#if defined(Z40K_VECTOR_PATHS)
#include <immintrin.h> // compiler intrinsics only; no library code

#define AVX512_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi")))

namespace {

// ---- interleaving three channels into B, G, R bytes -------------------------------------------------

// Where pixel P's byte lies in a channel vector packed from its even- and odd-pixel halves: the 16-bit
// to 8-bit pack works within 128-bit lanes, each lane taking eight even pixels, then eight odd ones.
constexpr int PackedIndex(int Pixel) {
    return 16 * (Pixel / 16) + (Pixel % 2 ? 8 : 0) + (Pixel % 16) / 2;
}

// Output vector V (bytes 64V to 64V + 63 of 64 pixels' B, G, R) is one two-source byte permute of the
// blue and green vectors, then the red bytes permuted in under a mask.
struct InterleaveTables {
    signed char BlueGreen[3][64]; // index into blue (0-63) or green (64-127)
    signed char Red[3][64];
    unsigned long long RedBytes[3];
    signed char Replicate[3][64]; // grey: output byte k of 192 is sample k / 3
};

constexpr InterleaveTables MakeInterleaveTables() {
    InterleaveTables t = {};
    for (int k = 0; k < 192; ++k) {
        const int v = k / 64, at = k % 64, from = PackedIndex(k / 3);
        switch (k % 3) {
        case 0:
            t.BlueGreen[v][at] = static_cast<signed char>(from);
            break;
        case 1:
            t.BlueGreen[v][at] = static_cast<signed char>(64 + from);
            break;
        default:
            t.Red[v][at] = static_cast<signed char>(from);
            t.RedBytes[v] |= 1ull << at;
            break;
        }
        t.Replicate[v][at] = static_cast<signed char>(k / 3);
    }
    return t;
}

alignas(64) constexpr InterleaveTables TABLES = MakeInterleaveTables();

// A 64-bit byte mask. On i386 there is no 64-bit register to move it from: the compiler writes its two
// halves to the stack and reads them back as one, a store the load cannot be forwarded from, at every
// step. Joining two 32-bit masks in mask registers costs two moves and an unpack instead; the empty asm
// keeps the compiler from folding the join back into the 64-bit constant.
AVX512_TARGET inline __mmask64 Mask64(unsigned long long Mask) {
#if defined(__i386__)
    unsigned low = unsigned(Mask), high = unsigned(Mask >> 32);
    __asm__("" : "+r"(low), "+r"(high));
    return _mm512_kunpackd(_cvtu32_mask32(high), _cvtu32_mask32(low));
#else
    return Mask;
#endif
}

AVX512_TARGET inline __m512i Table(const signed char* T) {
    return _mm512_loadu_si512(T);
}

// The first Count bytes of a vector (none for Count <= 0, all for Count >= 64).
inline unsigned long long FirstBytes(LONG Count) {
    if (Count <= 0)
        return 0;
    return Count >= 64 ? ~0ull : (1ull << Count) - 1;
}

// Pixels before the first one whose three bytes start on a 64-byte boundary: 3 x that count is
// -Out mod 64, and 43 is the inverse of 3 mod 64.
inline LONG PixelsToAlignment(const UCHAR* Out) {
    return LONG(((0 - reinterpret_cast<ULONG_PTR>(Out)) * 43) & 63);
}

// How a step's 192 bytes are written: whole and aligned with streaming stores, whole, or its first
// 3 x N bytes only.
enum StepStore { STORE_STREAM, STORE_WHOLE, STORE_FIRST };

template <StepStore Store>
AVX512_TARGET inline VOID Store3(PUCHAR Out, LONG N, __m512i V0, __m512i V1, __m512i V2) {
    if (Store == STORE_STREAM) {
        _mm512_stream_si512(reinterpret_cast<__m512i*>(Out), V0);
        _mm512_stream_si512(reinterpret_cast<__m512i*>(Out + 64), V1);
        _mm512_stream_si512(reinterpret_cast<__m512i*>(Out + 128), V2);
    } else if (Store == STORE_WHOLE) {
        _mm512_storeu_si512(Out, V0);
        _mm512_storeu_si512(Out + 64, V1);
        _mm512_storeu_si512(Out + 128, V2);
    } else {
        _mm512_mask_storeu_epi8(Out, Mask64(FirstBytes(3 * N)), V0);
        _mm512_mask_storeu_epi8(Out + 64, Mask64(FirstBytes(3 * N - 64)), V1);
        _mm512_mask_storeu_epi8(Out + 128, Mask64(FirstBytes(3 * N - 128)), V2);
    }
}

template <StepStore Store>
AVX512_TARGET inline VOID StoreBgr64(PUCHAR Out, LONG N, __m512i Blue, __m512i Green, __m512i Red,
                                     const __mmask64* RedBytes) {
    __m512i v[3];
    for (int k = 0; k < 3; ++k)
        v[k] = _mm512_mask_permutexvar_epi8(_mm512_permutex2var_epi8(Blue, Table(TABLES.BlueGreen[k]), Green),
                                            RedBytes[k], Table(TABLES.Red[k]), Red);
    Store3<Store>(Out, N, v[0], v[1], v[2]);
}

// ---- the demosaic ----------------------------------------------------------------------------------
//
// Two pixel kinds alternate along a row (see the scalar kernel). In a step that starts with kind A,
// pixel pair i (pixels 2i and 2i + 1, b = 1 + 2i from the step's first column) reads:
//
//   P rows (blue): near/far at b and b + 2     even pixel 9, 3 / 3, 1     odd pixel 3, 9 / 1, 3
//   Q rows (red):  near/far at b - 1 and b + 1 (even pixel 3, 9 / 1, 3), at b + 1 and b + 3 (odd 9, 3 / 3, 1)
//   green:         P near at b + 1 with Q near at b (even) or at b + 2 (odd)
//
// A step that starts with kind B reads the same with blue and red rows swapped, so one kernel serves
// both: P and Q are whichever rows play those parts, and the channels are swapped back on output.
//
// Each weighted sum is two multiply-adds of byte pairs (a sample and its partner two columns on), the
// pairs put side by side by blending two loads one byte apart. The weights are scaled so the sums come
// out as 8 x Bs and 64 x E, which turns (sum x gain) >> shift into the high half of sum x 4 x gain.

// Weights of a byte pair (low byte first) as 16-bit lanes for the multiply-add.
constexpr short PairWeights(int Low, int High) {
    return short(Low | High << 8);
}
constexpr int BLUE_RED_SCALE = 8; // 9 x 8 = 72 and 3 x 8 = 24 stay inside a signed byte
constexpr int GREEN_SCALE = 64;   // 510 x 64 = 32,640 stays inside a signed 16-bit lane
constexpr unsigned long long ODD_BYTES = 0xAAAAAAAAAAAAAAAAull;

// The gains while each fits 14 bits: 4 x gain is then a 16-bit lane and the product's high half stays
// below 2^15, which the signed saturating pack clamps to 255 as required. A larger gain (up to 15 bits)
// takes the wide form: the sum doubled, 2 x gain, and an explicit clamp before the pack.
constexpr ULONG NARROW_GAIN_LIMIT = 16383;

template <bool Wide> AVX512_TARGET inline __m512i Scale(__m512i ScaledSum, __m512i GainVector) {
    if (!Wide)
        return _mm512_mulhi_epu16(ScaledSum, GainVector);
    return _mm512_min_epu16(_mm512_mulhi_epu16(_mm512_add_epi16(ScaledSum, ScaledSum), GainVector),
                            _mm512_set1_epi16(255));
}

template <bool Wide> AVX512_TARGET inline __m512i GainVector(ULONG Gain) {
    return _mm512_set1_epi16(short(Wide ? 2 * Gain : 4 * Gain));
}

// Two weighted sums from a pair of near-row and far-row byte pairs: Near with (9, 3) and Far with
// (3, 1) for the first, the mirror weights for the second.
AVX512_TARGET inline __m512i Weighted(__m512i Near, __m512i Far, short NearWeights, short FarWeights) {
    return _mm512_add_epi16(_mm512_maddubs_epi16(Near, _mm512_set1_epi16(NearWeights)),
                            _mm512_maddubs_epi16(Far, _mm512_set1_epi16(FarWeights)));
}

AVX512_TARGET inline __m512i Pairs(__m512i Low, __m512i High, __mmask64 OddBytes) {
    return _mm512_mask_blend_epi8(OddBytes, Low, High);
}

// What every step of a row uses: the gains, and the masks, made once per row.
struct StepGains {
    __m512i Blue, Green, Red;
    __mmask64 OddBytes;
    __mmask64 RedBytes[3];
};

// Row bytes from P: in a step of the first N pixels only, the bytes past the first Valid read as 0 (they
// only reach pixels that are not stored), so no read passes column J + N + 2.
template <StepStore Store> AVX512_TARGET inline __m512i LoadRow(const UCHAR* P, LONG Valid) {
    if (Store == STORE_FIRST)
        return _mm512_maskz_loadu_epi8(Mask64(FirstBytes(Valid)), P);
    return _mm512_loadu_si512(P);
}

// One step of N pixels (64 unless Store is STORE_FIRST) from column J: pixel J + i reads columns J + i
// to J + i + 3, so the step reads columns J to J + N + 2 and no further. Each channel is finished before
// the next one's rows are read: an i386 kernel has eight vector registers, and twelve rows loaded at once
// would go to the stack and back.
template <bool Wide, StepStore Store>
AVX512_TARGET inline VOID DemosaicStep(const UCHAR* BlueNear, const UCHAR* BlueFar, const UCHAR* RedNear,
                                       const UCHAR* RedFar, PUCHAR Out, LONG J, LONG N, bool KindAFirst,
                                       const StepGains& G) {
    const UCHAR* pn = (KindAFirst ? BlueNear : RedNear) + J;
    const UCHAR* pf = (KindAFirst ? BlueFar : RedFar) + J;
    const UCHAR* qn = (KindAFirst ? RedNear : BlueNear) + J;
    const UCHAR* qf = (KindAFirst ? RedFar : BlueFar) + J;
    constexpr short NEAR_FIRST = PairWeights(9 * BLUE_RED_SCALE, 3 * BLUE_RED_SCALE);
    constexpr short FAR_FIRST = PairWeights(3 * BLUE_RED_SCALE, 1 * BLUE_RED_SCALE);
    constexpr short NEAR_SECOND = PairWeights(3 * BLUE_RED_SCALE, 9 * BLUE_RED_SCALE);
    constexpr short FAR_SECOND = PairWeights(1 * BLUE_RED_SCALE, 3 * BLUE_RED_SCALE);
    constexpr short GREEN = PairWeights(GREEN_SCALE, GREEN_SCALE);
    const __m512i pGain = KindAFirst ? G.Blue : G.Red, qGain = KindAFirst ? G.Red : G.Blue;
    const __mmask64 odd = G.OddBytes;

    // P: columns b and b + 2.
    const __m512i pn2 = LoadRow<Store>(pn + 2, N + 1);
    const __m512i pNear = Pairs(LoadRow<Store>(pn + 1, N + 2), pn2, odd);
    const __m512i pFar = Pairs(LoadRow<Store>(pf + 1, N + 2), LoadRow<Store>(pf + 2, N + 1), odd);
    const __m512i p = _mm512_packus_epi16(Scale<Wide>(Weighted(pNear, pFar, NEAR_FIRST, FAR_FIRST), pGain),
                                          Scale<Wide>(Weighted(pNear, pFar, NEAR_SECOND, FAR_SECOND), pGain));
    // Q of the even pixels (b - 1, b + 1) and the green beside them.
    const __m512i qn0 = LoadRow<Store>(qn, N + 3);
    const __m512i gEven = _mm512_maddubs_epi16(Pairs(pn2, qn0, odd), _mm512_set1_epi16(GREEN));
    const __m512i qEven = Weighted(Pairs(qn0, LoadRow<Store>(qn + 1, N + 2), odd),
                                   Pairs(LoadRow<Store>(qf, N + 3), LoadRow<Store>(qf + 1, N + 2), odd),
                                   NEAR_SECOND, FAR_SECOND);
    // Q of the odd pixels (b + 1, b + 3) and theirs.
    const __m512i qn2 = LoadRow<Store>(qn + 2, N + 1);
    const __m512i gOdd = _mm512_maddubs_epi16(Pairs(pn2, qn2, odd), _mm512_set1_epi16(GREEN));
    const __m512i qOdd =
        Weighted(Pairs(qn2, LoadRow<Store>(qn + 3, N), odd),
                 Pairs(LoadRow<Store>(qf + 2, N + 1), LoadRow<Store>(qf + 3, N), odd), NEAR_FIRST, FAR_FIRST);
    const __m512i q = _mm512_packus_epi16(Scale<Wide>(qEven, qGain), Scale<Wide>(qOdd, qGain));
    const __m512i green = _mm512_packus_epi16(Scale<Wide>(gEven, G.Green), Scale<Wide>(gOdd, G.Green));
    if (KindAFirst)
        StoreBgr64<Store>(Out + 3 * J, N, p, green, q, G.RedBytes);
    else
        StoreBgr64<Store>(Out + 3 * J, N, q, green, p, G.RedBytes);
}

template <bool Wide>
AVX512_TARGET VOID DemosaicRow512(const UCHAR* BlueNear, const UCHAR* BlueFar, const UCHAR* RedNear,
                                  const UCHAR* RedFar, PUCHAR Out, LONG Pixels, bool BlueAtFirstQuadColumn,
                                  const DemosaicGains& Gains) {
    const StepGains g = {
        GainVector<Wide>(Gains.Blue),
        GainVector<Wide>(Gains.Green),
        GainVector<Wide>(Gains.Red),
        Mask64(ODD_BYTES),
        {Mask64(TABLES.RedBytes[0]), Mask64(TABLES.RedBytes[1]), Mask64(TABLES.RedBytes[2])}};
    // The kinds alternate, so a step that starts at an odd pixel starts with the other kind.
    LONG j = 0;
    const LONG head = PixelsToAlignment(Out);
    if (head > 0 && Pixels >= head + 64) {
        DemosaicStep<Wide, STORE_FIRST>(BlueNear, BlueFar, RedNear, RedFar, Out, 0, head,
                                        BlueAtFirstQuadColumn, g);
        j = head;
    }
    const bool kindAFirst = BlueAtFirstQuadColumn != bool(j & 1);
    if (((reinterpret_cast<ULONG_PTR>(Out) + 3 * j) & 63) == 0) {
        for (; j + 64 <= Pixels; j += 64)
            DemosaicStep<Wide, STORE_STREAM>(BlueNear, BlueFar, RedNear, RedFar, Out, j, 64, kindAFirst, g);
    } else {
        for (; j + 64 <= Pixels; j += 64)
            DemosaicStep<Wide, STORE_WHOLE>(BlueNear, BlueFar, RedNear, RedFar, Out, j, 64, kindAFirst, g);
    }
    if (j < Pixels)
        DemosaicStep<Wide, STORE_FIRST>(BlueNear, BlueFar, RedNear, RedFar, Out, j, Pixels - j, kindAFirst,
                                        g);
}

} // namespace

VOID DemosaicRowAvx512(const UCHAR* BlueNear, const UCHAR* BlueFar, const UCHAR* RedNear, const UCHAR* RedFar,
                       PUCHAR Out, LONG Pixels, bool BlueAtFirstQuadColumn, const DemosaicGains& Gains) {
    if (Gains.Blue <= NARROW_GAIN_LIMIT && Gains.Green <= NARROW_GAIN_LIMIT && Gains.Red <= NARROW_GAIN_LIMIT)
        DemosaicRow512<false>(BlueNear, BlueFar, RedNear, RedFar, Out, Pixels, BlueAtFirstQuadColumn, Gains);
    else
        DemosaicRow512<true>(BlueNear, BlueFar, RedNear, RedFar, Out, Pixels, BlueAtFirstQuadColumn, Gains);
}

// ---- white-balance statistics ---------------------------------------------------------------------

AVX512_TARGET VOID SumParitiesAvx512(const UCHAR* Row, LONG Columns, ULONG* Even, ULONG* Odd) {
    // A sum of absolute differences against zero adds eight bytes into a 64-bit lane: once for all the
    // bytes, once for the even ones alone; the odd ones are the difference.
    const __m512i zero = _mm512_setzero_si512();
    const __m512i lowBytes = _mm512_set1_epi16(0x00FF);
    __m512i all = zero, even = zero;
    LONG c = 0;
    for (; c + 64 <= Columns; c += 64) {
        const __m512i v = _mm512_loadu_si512(Row + c);
        all = _mm512_add_epi64(all, _mm512_sad_epu8(v, zero));
        even = _mm512_add_epi64(even, _mm512_sad_epu8(_mm512_and_si512(v, lowBytes), zero));
    }
    if (c < Columns) { // c is even: the parities carry on; bytes past the row read as 0
        const __m512i v = _mm512_maskz_loadu_epi8(Mask64(FirstBytes(Columns - c)), Row + c);
        all = _mm512_add_epi64(all, _mm512_sad_epu8(v, zero));
        even = _mm512_add_epi64(even, _mm512_sad_epu8(_mm512_and_si512(v, lowBytes), zero));
    }
    alignas(64) ULONGLONG lanes[2][8];
    _mm512_store_si512(lanes[0], all);
    _mm512_store_si512(lanes[1], even);
    ULONGLONG total = 0, evenTotal = 0;
    for (int k = 0; k < 8; ++k) {
        total += lanes[0][k];
        evenTotal += lanes[1][k];
    }
    *Even = ULONG(evenTotal);
    *Odd = ULONG(total - evenTotal);
}

// ---- grey ------------------------------------------------------------------------------------------

namespace {

template <StepStore Store> AVX512_TARGET inline VOID ReplicateStep(const UCHAR* Source, PUCHAR Out, LONG N) {
    const __m512i v = Store == STORE_FIRST ? _mm512_maskz_loadu_epi8(Mask64(FirstBytes(N)), Source)
                                           : _mm512_loadu_si512(Source);
    // The zero-masking form with every byte kept: the plain one drags in an undefined source operand.
    Store3<Store>(Out, N, _mm512_maskz_permutexvar_epi8(~0ull, Table(TABLES.Replicate[0]), v),
                  _mm512_maskz_permutexvar_epi8(~0ull, Table(TABLES.Replicate[1]), v),
                  _mm512_maskz_permutexvar_epi8(~0ull, Table(TABLES.Replicate[2]), v));
}

} // namespace

AVX512_TARGET VOID ReplicateSamplesAvx512(const UCHAR* Source, PUCHAR Out, SIZE_T N) {
    SIZE_T i = 0;
    const SIZE_T head = SIZE_T(PixelsToAlignment(Out));
    if (head > 0 && N >= head + 64) {
        ReplicateStep<STORE_FIRST>(Source, Out, LONG(head));
        i = head;
    }
    if (((reinterpret_cast<ULONG_PTR>(Out) + 3 * i) & 63) == 0) {
        for (; i + 64 <= N; i += 64)
            ReplicateStep<STORE_STREAM>(Source + i, Out + 3 * i, 64);
    } else {
        for (; i + 64 <= N; i += 64)
            ReplicateStep<STORE_WHOLE>(Source + i, Out + 3 * i, 64);
    }
    if (i < N)
        ReplicateStep<STORE_FIRST>(Source + i, Out + 3 * i, LONG(N - i));
}

#endif
