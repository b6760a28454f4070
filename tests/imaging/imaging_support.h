// Shared set-up of the image pipeline tests: geometry, device settings, mosaics and raw frames.
#pragma once

#include "camera/frame_geometry.h"
#include "imaging/color.h"
#include "imaging/raw_frame.h"
#include "imaging/vector_paths.h"
#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "tests/imaging/path_levers.h"

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace imaging_test {

constexpr ULONG CAPTURE_FRAME_BYTES = 2560 * 1920 * 3;

// What output buffers are filled with, so that bytes a conversion leaves alone can be told apart.
constexpr uint8_t SENTINEL = 0xA5;

inline std::vector<uint8_t> RandomBytes(size_t N, uint32_t Seed) {
    std::mt19937 random(Seed);
    std::vector<uint8_t> bytes(N);
    for (auto& b : bytes)
        b = uint8_t(random());
    return bytes;
}

// A device as initialise-device leaves it: colour on, white balance off, gains 128, and the format of
// the last bandwidth allocation.
inline DeviceContext FreshDevice(LONG FormatWidth = 2560, LONG FormatHeight = 1920) {
    DeviceContext context;
    std::memset(&context, 0, sizeof(context));
    context.FormatWidth = FormatWidth;
    context.FormatHeight = FormatHeight;
    context.ColorEnable = 1;
    context.BlueGain = context.GreenGain = context.RedGain = 128;
    return context;
}

// The kernel paths, for suites that run once on each.
constexpr ImagingPath ALL_PATHS[] = {IMAGING_PATH_SCALAR, IMAGING_PATH_SSE2, IMAGING_PATH_SSSE3,
                                     IMAGING_PATH_AVX2, IMAGING_PATH_AVX512};

using path_levers::PathName;

// Pins the conversions to Path with the system's and the processor's levers, as a driver load would
// find them; returns why it cannot be, on a processor (or build) without it, for the test to skip with.
// Undone by UnpinImagingPath or ResetDriverState.
inline std::string PinImagingPath(ImagingPath Path) {
    path_levers::ActAsSystemOf(Path);
    FindExtendedStateRoutines(); // as DriverEntry does
    if (SupportedImagingPath() != Path)
        return std::string("no ") + PathName(Path) + " path on this processor or build: skipped";
    return "";
}

// The host's own system and processor again, and the driver's best path on them.
inline void UnpinImagingPath() {
    host::SetWindowsTarget(host::WindowsTarget::Ten);
    host::SetProcessorLevel(host::ProcessorLevel::Real);
    FindExtendedStateRoutines();
}

// Puts the driver-wide state back as at load, with the capture geometry.
inline void ResetDriverState() {
    host::ResetKernel();
    FindExtendedStateRoutines(); // as DriverEntry does
    RawDumpDone = 0;
    std::memset(&FrameGeometry, 0, sizeof(FrameGeometry));
    DeviceContext context = FreshDevice();
    SetWindowFromFormat(&context, 2560, 1920);
}

// A raw frame of the given length whose every byte is a function of its offset, so that any misplaced
// byte shows.
inline std::vector<uint8_t> PatternedRawFrame(size_t Length = RAW_FRAME_BYTES, uint32_t Seed = 1) {
    std::vector<uint8_t> raw(Length);
    for (size_t i = 0; i < Length; ++i)
        raw[i] = static_cast<uint8_t>((i * 2654435761u + Seed) >> 13);
    return raw;
}

// The raw offset of window sample (row, column) of the capture format.
inline size_t RawOffsetOf(size_t Row, size_t Column) {
    const size_t field = Row % 2 == 0 ? RAW_FIRST_FIELD_OFFSET : RAW_SECOND_FIELD_OFFSET;
    return field + (Row / 2) * RAW_LINE_DISTANCE + Column;
}

// A scratch frame holding a window of Width x Height samples at (X, Y) in lines of Stride bytes, filled
// by Sample(row, column); bytes outside the window hold Outside.
template <typename F>
std::vector<uint8_t> MakeScratch(LONG X, LONG Y, LONG Width, LONG Height, LONG Stride, F Sample,
                                 uint8_t Outside = 0xEE) {
    std::vector<uint8_t> scratch(size_t(Y + Height) * Stride, Outside);
    for (LONG r = 0; r < Height; ++r)
        for (LONG c = 0; c < Width; ++c)
            scratch[size_t(Y + r) * Stride + X + c] = static_cast<uint8_t>(Sample(r, c));
    return scratch;
}

// Work record of a window inside a scratch frame made by MakeScratch.
inline ColorParams Params(std::vector<uint8_t>& Scratch, std::vector<uint8_t>& Output, LONG X, LONG Y,
                          LONG Width, LONG Height, LONG Stride, ULONG Phase, ULONG Blue, ULONG Green,
                          ULONG Red) {
    ColorParams p = {};
    p.SourceX = X;
    p.SourceWidth = Width;
    p.SourceStride = Stride;
    p.SourceY = Y;
    p.SourceHeight = Height;
    p.SourceLines = Y + Height;
    p.BayerPhase = Phase;
    p.Scratch = Scratch.data();
    p.Output = Output.data();
    p.StatsRight = Width;
    p.StatsBottom = Height;
    p.BlueGain = Blue;
    p.GreenGain = Green;
    p.RedGain = Red;
    return p;
}

} // namespace imaging_test
