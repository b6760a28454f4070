#include "imaging/vector_paths.h"

#include "imaging/byte_shuffles.h"

#include "platform/kernel.h"
#include "driver/relaxed.h"

#include "platform/processor.h"

#if defined(Z40K_VECTOR_PATHS)
#include <immintrin.h> // compiler intrinsics only; no library code

// Vector code is compiled per function, so the rest of the driver (and the i386 kernel build) keeps the
// processor baseline; nothing here runs before cpuid and XCR0 have said it may.
#define AVX2_TARGET __attribute__((target("avx2")))
#endif

namespace {

// 0 until the first SupportedImagingPath, then the path detected. Driver-wide, and a plain zeroed
// variable: the kernel build runs no constructors.
LONG DetectedPath;

// The extended-state routines of this system, found by FindExtendedStateRoutines; all three or none.
PKE_SAVE_EXTENDED_PROCESSOR_STATE SaveExtendedState;
PKE_RESTORE_EXTENDED_PROCESSOR_STATE RestoreExtendedState;
PRTL_GET_ENABLED_EXTENDED_FEATURES EnabledExtendedFeatures;

PVOID FindSystemRoutine(PCWSTR Name) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    return MmGetSystemRoutineAddress(&name);
}

#if defined(Z40K_VECTOR_PATHS)
constexpr ULONGLONG XCR0_AVX = 0x6;     // XMM and YMM state
constexpr ULONGLONG XCR0_AVX512 = 0xE6; // and the mask registers and both halves of the ZMM registers

// The SSE paths need only what cpuid says: every target saves the XMM registers with the floating-point
// state.
ImagingPath DetectSsePath(ULONG Ecx, ULONG Edx) {
    if (!(Edx & CPUID1_EDX_SSE2))
        return IMAGING_PATH_SCALAR;
    return (Ecx & CPUID1_ECX_SSSE3) ? IMAGING_PATH_SSSE3 : IMAGING_PATH_SSE2;
}

ImagingPath DetectImagingPath() {
    CPUID_REGISTERS leaf0, leaf1, leaf7;
    ReadCpuid(0, 0, &leaf0);
    if (leaf0.Eax < 1)
        return IMAGING_PATH_SCALAR;
    ReadCpuid(1, 0, &leaf1);
    const ImagingPath sse = DetectSsePath(leaf1.Ecx, leaf1.Edx);
    PRTL_GET_ENABLED_EXTENDED_FEATURES enabledFeatures = ReadRelaxed(EnabledExtendedFeatures);
    if (sse != IMAGING_PATH_SSSE3 || enabledFeatures == nullptr || !(leaf1.Ecx & CPUID1_ECX_OSXSAVE) ||
        !(leaf1.Ecx & CPUID1_ECX_AVX) || leaf0.Eax < 7)
        return sse;
    // A state may be used only when the processor saves it (XCR0) and the system has enabled it: the save
    // routine must not be asked for anything else.
    const ULONGLONG xcr0 = ReadXcr0() & (enabledFeatures(XCR0_AVX512) | XSTATE_MASK_LEGACY);
    ReadCpuid(7, 0, &leaf7);
    if ((xcr0 & XCR0_AVX) != XCR0_AVX || !(leaf7.Ebx & CPUID7_EBX_AVX2))
        return sse;
    const ULONG avx512 = CPUID7_EBX_AVX512F | CPUID7_EBX_AVX512BW | CPUID7_EBX_AVX512VL;
    if ((leaf7.Ebx & avx512) == avx512 && (leaf7.Ecx & CPUID7_ECX_AVX512VBMI) &&
        (xcr0 & XCR0_AVX512) == XCR0_AVX512)
        return IMAGING_PATH_AVX512;
    return IMAGING_PATH_AVX2;
}
#else
ImagingPath DetectImagingPath() {
    return IMAGING_PATH_SCALAR;
}
#endif

} // namespace

VOID FindExtendedStateRoutines() {
    auto save = reinterpret_cast<PKE_SAVE_EXTENDED_PROCESSOR_STATE>(
        FindSystemRoutine(u"KeSaveExtendedProcessorState"));
    auto restore = reinterpret_cast<PKE_RESTORE_EXTENDED_PROCESSOR_STATE>(
        FindSystemRoutine(u"KeRestoreExtendedProcessorState"));
    auto features = reinterpret_cast<PRTL_GET_ENABLED_EXTENDED_FEATURES>(
        FindSystemRoutine(u"RtlGetEnabledExtendedFeatures"));
    if (save == nullptr || restore == nullptr || features == nullptr)
        save = nullptr, restore = nullptr, features = nullptr;
    WriteRelaxed(SaveExtendedState, save);
    WriteRelaxed(RestoreExtendedState, restore);
    WriteRelaxed(EnabledExtendedFeatures, features);
    WriteRelaxed(DetectedPath, 0);
}

ImagingPath SupportedImagingPath() {
    LONG path = ReadRelaxed(DetectedPath);
    if (path == 0) {
        // Two threads may both detect; they find the same answer.
        path = DetectImagingPath();
        WriteRelaxed(DetectedPath, path);
    }
    return ImagingPath(path);
}

ImagingKernels ScalarImagingKernels() {
    return {IMAGING_PATH_SCALAR, DemosaicRowScalar, SumParitiesScalar, ReplicateSamplesScalar};
}

namespace {

#if defined(Z40K_VECTOR_PATHS)
// Each vector path's kernels, by path.
ImagingKernels KernelsOf(ImagingPath Path) {
    switch (Path) {
    case IMAGING_PATH_SSE2:
        return {IMAGING_PATH_SSE2, DemosaicRowSse2, SumParitiesSse2, ReplicateSamplesSse2};
    case IMAGING_PATH_SSSE3:
        return {IMAGING_PATH_SSSE3, DemosaicRowSsse3, SumParitiesSse2, ReplicateSamplesSsse3};
    case IMAGING_PATH_AVX2:
        // The grey copy gains nothing from 256-bit shuffles, which work within 128-bit halves.
        return {IMAGING_PATH_AVX2, DemosaicRowAvx2, SumParitiesAvx2, ReplicateSamplesSsse3};
    case IMAGING_PATH_AVX512:
        return {IMAGING_PATH_AVX512, DemosaicRowAvx512, SumParitiesAvx512, ReplicateSamplesAvx512};
    default:
        return ScalarImagingKernels();
    }
}

// Saves what Path's registers need; false when the save failed (or Path needs none).
bool SaveStateFor(ImagingPath Path, VectorStateSave* Save) {
    if (Path == IMAGING_PATH_SSE2 || Path == IMAGING_PATH_SSSE3)
        return NT_SUCCESS(KeSaveFloatingPointState(&Save->Float));
    const PKE_SAVE_EXTENDED_PROCESSOR_STATE save = ReadRelaxed(SaveExtendedState);
    if (save == nullptr || Path < IMAGING_PATH_AVX2)
        return false;
    const ULONG64 mask = Path == IMAGING_PATH_AVX512 ? XSTATE_MASK_AVX | XSTATE_MASK_AVX512 : XSTATE_MASK_AVX;
    return NT_SUCCESS(save(mask, &Save->Extended));
}
#endif

} // namespace

ImagingKernels BeginImagingKernels(VectorStateSave* Save) {
#if defined(Z40K_VECTOR_PATHS)
    const ImagingPath path = SupportedImagingPath();
    if (SaveStateFor(path, Save))
        return KernelsOf(path);
#else
    (void)Save;
#endif
    // A failed save is not retried with less state: without the state saved no vector register may be
    // touched, and the scalar kernels give the same bytes.
    return ScalarImagingKernels();
}

VOID EndImagingKernels(VectorStateSave* Save, const ImagingKernels& Kernels) {
#if defined(Z40K_VECTOR_PATHS)
    if (Kernels.Path == IMAGING_PATH_SCALAR)
        return;
    FenceStreamingStores();
    if (Kernels.Path <= IMAGING_PATH_SSSE3)
        KeRestoreFloatingPointState(&Save->Float);
    else
        ReadRelaxed(RestoreExtendedState)(&Save->Extended);
#else
    (void)Save;
    (void)Kernels;
#endif
}

#if defined(Z40K_VECTOR_PATHS)

__attribute__((target("sse2"))) VOID FenceStreamingStores() {
    _mm_sfence();
}

namespace {

AVX2_TARGET inline __m128i Mask(const signed char* M) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(M));
}

AVX2_TARGET inline __m256i Mask256(const signed char* M) {
    return _mm256_broadcastsi128_si256(Mask(M));
}

template <int K> AVX2_TARGET inline __m256i Chunk(__m256i Blue, __m256i Green, __m256i Red) {
    return _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(Blue, Mask256(INTERLEAVE[0][K])),
                                           _mm256_shuffle_epi8(Green, Mask256(INTERLEAVE[1][K]))),
                           _mm256_shuffle_epi8(Red, Mask256(INTERLEAVE[2][K])));
}

// 32 pixels, 16 per 128-bit half: the byte shuffles work within each half, so chunk k of both halves
// comes out of one shuffle per channel, and two half swaps and a blend put the six chunks in pixel order.
AVX2_TARGET inline VOID StoreBgr32(PUCHAR Out, __m256i Blue, __m256i Green, __m256i Red) {
    const __m256i c0 = Chunk<0>(Blue, Green, Red); // pixels 0-5 | 16-21
    const __m256i c1 = Chunk<1>(Blue, Green, Red); // pixels 5-10 | 21-26
    const __m256i c2 = Chunk<2>(Blue, Green, Red); // pixels 10-15 | 26-31
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(Out), _mm256_permute2x128_si256(c0, c1, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(Out + 32), _mm256_blend_epi32(c2, c0, 0xF0));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(Out + 64), _mm256_permute2x128_si256(c1, c2, 0x31));
}

AVX2_TARGET inline __m256i Times3(__m256i V) {
    return _mm256_add_epi16(V, _mm256_add_epi16(V, V));
}

// The samples at even and at odd offsets of a 32-byte load, each in the low byte of a 16-bit lane: no
// shuffles needed.
AVX2_TARGET inline __m256i EvenBytes(__m256i V) {
    return _mm256_and_si256(V, _mm256_set1_epi16(0x00FF));
}
AVX2_TARGET inline __m256i OddBytes(__m256i V) {
    return _mm256_srli_epi16(V, 8);
}
AVX2_TARGET inline __m256i Load(const UCHAR* P) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(P));
}

// V(o) = 3 x near + far, one column of the four-sample sums.
AVX2_TARGET inline __m256i Vertical(__m256i Near, __m256i Far) {
    return _mm256_add_epi16(Times3(Near), Far);
}

// (Sum x gain) >> shift in 16-bit lanes, saturated at 255: the high half of (Sum << (16 - shift - 1)) x
// (2 x gain). For the blue and red sums (at most 4080, shift 11) and the green sum (at most 510, shift
// 8) the shifted sum stays below 2^16, so the product is exact while the gain fits 15 bits.
template <int Shift> AVX2_TARGET inline __m256i Scale(__m256i Sum, __m256i TwiceGain) {
    return _mm256_min_epu16(_mm256_mulhi_epu16(_mm256_slli_epi16(Sum, 15 - Shift), TwiceGain),
                            _mm256_set1_epi16(255));
}

// Sixteen pixels of one parity. Bn0..Bn3 are the blue-near row at columns b - 1 .. b + 2, and likewise
// for the other rows; Vb/Vr the vertical sums. Writes blue, green, red in 16-bit lanes.
//   kind A (blue at b):     blue 3 Vb(0) + Vb(2),  red 3 Vr(1) + Vr(-1), green Bn(b + 1) + Rn(b)
//   kind B (blue at b + 1): blue 3 Vb(1) + Vb(-1), red 3 Vr(0) + Vr(2),  green Bn(b) + Rn(b + 1)
template <bool KindA>
AVX2_TARGET inline VOID Reconstruct(__m256i Bn0, __m256i Bn1, __m256i Bn2, __m256i Bn3, __m256i Bf0,
                                    __m256i Bf1, __m256i Bf2, __m256i Bf3, __m256i Rn0, __m256i Rn1,
                                    __m256i Rn2, __m256i Rn3, __m256i Rf0, __m256i Rf1, __m256i Rf2,
                                    __m256i Rf3, __m256i BlueGain, __m256i GreenGain, __m256i RedGain,
                                    __m256i* Blue, __m256i* Green, __m256i* Red) {
    __m256i bs, rs, e;
    if (KindA) {
        bs = _mm256_add_epi16(Times3(Vertical(Bn1, Bf1)), Vertical(Bn3, Bf3));
        rs = _mm256_add_epi16(Times3(Vertical(Rn2, Rf2)), Vertical(Rn0, Rf0));
        e = _mm256_add_epi16(Bn2, Rn1);
    } else {
        bs = _mm256_add_epi16(Times3(Vertical(Bn2, Bf2)), Vertical(Bn0, Bf0));
        rs = _mm256_add_epi16(Times3(Vertical(Rn1, Rf1)), Vertical(Rn3, Rf3));
        e = _mm256_add_epi16(Bn1, Rn2);
    }
    *Blue = Scale<11>(bs, BlueGain);
    *Green = Scale<8>(e, GreenGain);
    *Red = Scale<11>(rs, RedGain);
}

// Thirty-two pixels per step, split by parity: pixels of one parity share one kind, so no lane picks
// between formulas. Pixel j + i reads columns j + i to j + i + 3; three loads of each row, at j, j + 2
// and j + 4, hold those columns in their even and odd bytes:
//   even pixels (i = 2m): columns j+2m .. j+2m+3 = even(L0), odd(L0), even(L2), odd(L2)
//   odd pixels (i = 2m+1): columns j+2m+1 .. j+2m+4 = odd(L0), even(L2), odd(L2), even(L4)
// The load at j + 4 reaches column j + 35, so a step runs only while j + 33 <= Pixels, which keeps every
// read at or before column Pixels + 2 = W - 2, as the scalar kernel's.
template <bool BlueAtFirst>
AVX2_TARGET VOID DemosaicRowAvx2T(const UCHAR* BlueNear, const UCHAR* BlueFar, const UCHAR* RedNear,
                                  const UCHAR* RedFar, PUCHAR Out, LONG Pixels, const DemosaicGains& Gains) {
    const __m256i blueGain = _mm256_set1_epi16(short(2 * Gains.Blue));
    const __m256i greenGain = _mm256_set1_epi16(short(2 * Gains.Green));
    const __m256i redGain = _mm256_set1_epi16(short(2 * Gains.Red));
    LONG j = 0;
    for (; j + VECTOR_MIN_PIXELS <= Pixels; j += 32) {
        const __m256i bn0 = Load(BlueNear + j), bn2 = Load(BlueNear + j + 2), bn4 = Load(BlueNear + j + 4);
        const __m256i bf0 = Load(BlueFar + j), bf2 = Load(BlueFar + j + 2), bf4 = Load(BlueFar + j + 4);
        const __m256i rn0 = Load(RedNear + j), rn2 = Load(RedNear + j + 2), rn4 = Load(RedNear + j + 4);
        const __m256i rf0 = Load(RedFar + j), rf2 = Load(RedFar + j + 2), rf4 = Load(RedFar + j + 4);
        const __m256i bnA = EvenBytes(bn0), bnB = OddBytes(bn0), bnC = EvenBytes(bn2), bnD = OddBytes(bn2),
                      bnE = EvenBytes(bn4);
        const __m256i bfA = EvenBytes(bf0), bfB = OddBytes(bf0), bfC = EvenBytes(bf2), bfD = OddBytes(bf2),
                      bfE = EvenBytes(bf4);
        const __m256i rnA = EvenBytes(rn0), rnB = OddBytes(rn0), rnC = EvenBytes(rn2), rnD = OddBytes(rn2),
                      rnE = EvenBytes(rn4);
        const __m256i rfA = EvenBytes(rf0), rfB = OddBytes(rf0), rfC = EvenBytes(rf2), rfD = OddBytes(rf2),
                      rfE = EvenBytes(rf4);
        __m256i evenBlue, evenGreen, evenRed, oddBlue, oddGreen, oddRed;
        Reconstruct<BlueAtFirst>(bnA, bnB, bnC, bnD, bfA, bfB, bfC, bfD, rnA, rnB, rnC, rnD, rfA, rfB, rfC,
                                 rfD, blueGain, greenGain, redGain, &evenBlue, &evenGreen, &evenRed);
        Reconstruct<!BlueAtFirst>(bnB, bnC, bnD, bnE, bfB, bfC, bfD, bfE, rnB, rnC, rnD, rnE, rfB, rfC, rfD,
                                  rfE, blueGain, greenGain, redGain, &oddBlue, &oddGreen, &oddRed);
        // Back to 32 bytes per channel in pixel order, then interleaved.
        const __m256i blue = _mm256_or_si256(evenBlue, _mm256_slli_epi16(oddBlue, 8));
        const __m256i green = _mm256_or_si256(evenGreen, _mm256_slli_epi16(oddGreen, 8));
        const __m256i red = _mm256_or_si256(evenRed, _mm256_slli_epi16(oddRed, 8));
        StoreBgr32(Out + 3 * j, blue, green, red);
    }
    // The rest one by one; j is even, so the pixel kinds continue as they began.
    if (j < Pixels)
        DemosaicRowScalar(BlueNear + j, BlueFar + j, RedNear + j, RedFar + j, Out + 3 * j, Pixels - j,
                          BlueAtFirst, Gains);
}

} // namespace

VOID DemosaicRowAvx2(const UCHAR* BlueNear, const UCHAR* BlueFar, const UCHAR* RedNear, const UCHAR* RedFar,
                     PUCHAR Out, LONG Pixels, bool BlueAtFirstQuadColumn, const DemosaicGains& Gains) {
    if (BlueAtFirstQuadColumn)
        DemosaicRowAvx2T<true>(BlueNear, BlueFar, RedNear, RedFar, Out, Pixels, Gains);
    else
        DemosaicRowAvx2T<false>(BlueNear, BlueFar, RedNear, RedFar, Out, Pixels, Gains);
}

AVX2_TARGET VOID SumParitiesAvx2(const UCHAR* Row, LONG Columns, ULONG* Even, ULONG* Odd) {
    // Bytes at even offsets are the low bytes of 16-bit lanes. Each sum of absolute differences against
    // zero adds eight of them into a 64-bit lane.
    const __m256i zero = _mm256_setzero_si256();
    const __m256i lowBytes = _mm256_set1_epi16(0x00FF);
    __m256i even = zero, odd = zero;
    LONG c = 0;
    for (; c + 32 <= Columns; c += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Row + c));
        even = _mm256_add_epi64(even, _mm256_sad_epu8(_mm256_and_si256(v, lowBytes), zero));
        odd = _mm256_add_epi64(odd, _mm256_sad_epu8(_mm256_srli_epi16(v, 8), zero));
    }
    alignas(32) unsigned long long e[4], o[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(e), even);
    _mm256_store_si256(reinterpret_cast<__m256i*>(o), odd);
    ULONG tailEven = 0, tailOdd = 0;
    SumParitiesScalar(Row + c, Columns - c, &tailEven, &tailOdd); // c is even: parities carry on
    *Even = ULONG(e[0] + e[1] + e[2] + e[3]) + tailEven;
    *Odd = ULONG(o[0] + o[1] + o[2] + o[3]) + tailOdd;
}

#endif
