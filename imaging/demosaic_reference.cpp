// The demosaic written the plain way, pixel by pixel from the class rule: for every output pixel find the
// quad's samples by class, then each colour's partner row and column. Slow and obviously right; the fast
// DemosaicBayer is tested against it.
#include "imaging/color.h"

namespace {

struct Site {
    LONG Row, Column;
};

// The channel value after gain and saturation, with the full product in 64 bits.
UCHAR Channel(ULONG Sum, ULONG Gain, unsigned Shift) {
    const ULONGLONG value = (ULONGLONG(Sum) * Gain) >> Shift;
    return UCHAR(value > 255 ? 255 : value);
}

} // namespace

LONG DemosaicBayerReference(const ColorParams* Params) {
    const LONG width = Params->SourceWidth;
    const LONG height = Params->SourceHeight;
    const UCHAR* scratch = Params->Scratch;
    auto sample = [&](LONG r, LONG c) -> ULONG {
        return scratch[(LONGLONG(Params->SourceY) + r) * Params->SourceStride + Params->SourceX + c];
    };

    for (LONG k = 0; k + 4 < height; ++k) {
        const LONG a = height - 4 - k; // quad rows a, a + 1; output row 0 is the quad at rows H - 4, H - 3
        PUCHAR out = Params->Output + LONGLONG(k) * 3 * width;
        for (LONG j = 0; j + 4 < width; ++j) {
            const LONG b = j + 1; // quad columns b, b + 1
            ULONG green = 0;
            Site blue = {}, red = {};
            for (LONG dr = 0; dr < 2; ++dr) {
                for (LONG dc = 0; dc < 2; ++dc) {
                    const LONG r = a + dr, c = b + dc;
                    switch (BayerClass(Params->BayerPhase, r, c)) {
                    case SAMPLE_GREEN:
                        green += sample(r, c);
                        break;
                    case SAMPLE_BLUE:
                        blue = {r, c};
                        break;
                    case SAMPLE_RED:
                        red = {r, c};
                        break;
                    }
                }
            }
            auto weighted = [&](Site s) -> ULONG {
                const LONG partnerRow = s.Row == a ? s.Row + 2 : s.Row - 2;
                const LONG partnerColumn = s.Column == b ? s.Column + 2 : s.Column - 2;
                return 9 * sample(s.Row, s.Column) + 3 * sample(s.Row, partnerColumn) +
                       3 * sample(partnerRow, s.Column) + sample(partnerRow, partnerColumn);
            };
            out[3 * j + 0] = Channel(weighted(blue), Params->BlueGain, 11);
            out[3 * j + 1] = Channel(green, Params->GreenGain, 8);
            out[3 * j + 2] = Channel(weighted(red), Params->RedGain, 11);
        }
    }
    return LONG((LONGLONG(width) - 2) * (LONGLONG(height) - 2) * 3);
}
