// The conversion of a de-interlaced frame with any window, gains and switches (colour, white balance,
// grey): every path the processor offers (each pinned in turn, up to the best one, so paths added later
// are compared too) must give the scalar path's bytes, count and gains exactly; the demosaic is also held
// against its pixel-by-pixel reference on every path and with the scalar kernel's lookup tables, gains of
// any size included.
#include "camera/frame_geometry.h"
#include "imaging/color.h"
#include "imaging/raw_frame.h"
#include "imaging/vector_paths.h"
#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/imaging/imaging_support.h"

#include <cstring>

namespace {

constexpr uint8_t SENTINEL = 0xC3;

// Path taken from here on: the system and processor of Path, found as a driver load finds them; 0 for
// the host's own.
void PinPath(LONG Path) {
    if (Path == 0) {
        host::SetWindowsTarget(host::WindowsTarget::Ten);
        host::SetProcessorLevel(host::ProcessorLevel::Real);
    } else {
        path_levers::ActAsSystemOf(ImagingPath(Path));
    }
    FindExtendedStateRoutines();
}

struct Converted {
    ULONG Bytes;
    std::unique_ptr<uint8_t[]> Out;
    ULONG Blue, Green, Red;
};

Converted Convert(const DeviceContext& Start, const std::vector<uint8_t>& Scratch, size_t FrameBytes,
                  LONG Path) {
    DeviceContext context = Start;
    Converted c;
    c.Out = fuzz::ExactBlock(FrameBytes, SENTINEL);
    // A copy each time: the conversion may keep its tables in the scratch frame below the window.
    std::unique_ptr<uint8_t[]> scratch = fuzz::ExactBuffer(Scratch, Scratch.size());
    PinPath(Path);
    c.Bytes = ConvertDeinterlacedFrame(&context, scratch.get(), scratch.get() + Scratch.size(), c.Out.get(),
                                       c.Out.get() + FrameBytes);
    PinPath(0);
    c.Blue = context.BlueGain;
    c.Green = context.GreenGain;
    c.Red = context.RedGain;
    return c;
}

ULONG Gain(fuzz::Input& In) {
    const uint8_t how = In.Byte();
    if (how & 1)
        return In.Word32(); // any gain, the saturating ones included
    return In.Word16() % 1024;
}

// The demosaic itself, every kernel against the reference, for a window it is given (W, H >= 5).
void CheckDemosaic(std::vector<uint8_t>& Scratch, const FrameGeometryRecord& G, ULONG Phase,
                   const DeviceContext& Context, LONG Best) {
    const size_t outBytes = size_t(G.SourceWidth) * size_t(G.SourceHeight - 4) * 3;
    // The oracle's picture lives on from input to input: fresh memory for it each time costs more
    // page faults than its fill.
    static std::vector<uint8_t> reference;
    reference.assign(outBytes, SENTINEL);
    ColorParams p =
        imaging_test::Params(Scratch, reference, G.SourceX, G.SourceY, G.SourceWidth, G.SourceHeight,
                             G.SourceStride, Phase, Context.BlueGain, Context.GreenGain, Context.RedGain);
    p.SourceLines = G.SourceLines;
    ColorParams q = p;
    const LONG expected = DemosaicBayerReference(&q);
    std::unique_ptr<uint8_t[]> out = fuzz::ExactBlock(outBytes, SENTINEL);
    // Each path, then the scalar kernel again with room for its tables.
    for (LONG path = IMAGING_PATH_SCALAR; path <= Best + 1; ++path) {
        std::memset(out.get(), SENTINEL, outBytes);
        ColorParams r = p;
        r.Output = out.get();
        const bool tabled = path > Best;
        PinPath(tabled ? LONG(IMAGING_PATH_SCALAR) : path);
        std::vector<uint8_t> tables(tabled ? sizeof(DemosaicTables) : 0);
        const LONG count =
            tabled ? DemosaicBayerWithTableSpace(&r, tables.data(), tables.size()) : DemosaicBayer(&r);
        PinPath(0);
        FUZZ_CHECK(count == expected);
        FUZZ_CHECK(std::memcmp(out.get(), reference.data(), outBytes) == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    fuzz::Input in(Data, Size);
    host::ResetKernel();
    FindExtendedStateRoutines(); // as DriverEntry does
    const LONG best = SupportedImagingPath();
    RawDumpDone = 1; // the one-time dump is the grey path's business, not the conversion's

    const uint8_t flags = in.Byte();
    const LONG x = in.Below(9), y = in.Below(5);
    const LONG w = in.Below(300), h = in.Below(40);
    const LONG stride = x + w + in.Below(8);
    const LONG lines = y + h + in.Below(2);
    const size_t scratchBytes = size_t(stride) * size_t(lines);
    std::vector<uint8_t> scratch(scratchBytes);
    uint32_t seed = in.Word32() | 1;
    const uint8_t spread = in.Byte(); // how far samples stray from a base level: flat to full range
    const uint8_t base = in.Byte();
    for (uint8_t& sample : scratch) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        sample = static_cast<uint8_t>(base + (spread == 0 ? 0 : seed % (spread + 1u)));
    }

    FrameGeometry.SourceX = x;
    FrameGeometry.SourceY = y;
    FrameGeometry.SourceWidth = w;
    FrameGeometry.SourceHeight = h;
    FrameGeometry.SourceStride = stride;
    FrameGeometry.SourceLines = lines;
    DeviceContext context;
    std::memset(&context, 0, sizeof context);
    context.ColorEnable = (flags & 1) ? TRUE : FALSE;
    context.AutoWhiteBalance = (flags & 2) ? TRUE : FALSE;
    context.HorizonMirror = (flags & 4) ? TRUE : FALSE;
    context.VerticalFlip = (flags & 8) ? TRUE : FALSE;
    context.FormatWidth = w;
    context.FormatHeight = h;
    context.BlueGain = Gain(in);
    context.GreenGain = Gain(in);
    context.RedGain = Gain(in);
    size_t frameBytes = size_t(w) * size_t(h) * 3;
    if (flags & 0x10)
        frameBytes = in.Below(static_cast<uint32_t>(frameBytes + 16));

    const Converted plain = Convert(context, scratch, frameBytes, IMAGING_PATH_SCALAR);
    for (LONG path = IMAGING_PATH_SCALAR + 1; path <= best; ++path) {
        const Converted fast = Convert(context, scratch, frameBytes, path);
        FUZZ_CHECK(fast.Bytes == plain.Bytes);
        FUZZ_CHECK(std::memcmp(fast.Out.get(), plain.Out.get(), frameBytes) == 0);
        FUZZ_CHECK(fast.Blue == plain.Blue && fast.Green == plain.Green && fast.Red == plain.Red);
    }

    if (w >= 5 && h >= 5)
        CheckDemosaic(scratch, FrameGeometry, flags >> 5, context, best);
    return 0;
}
