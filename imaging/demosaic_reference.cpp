// The demosaic written the plain way, pixel by pixel from the class rule: for every output pixel find the
// quad's samples by class, then each colour's partner row and column. Slow and obviously right; the fast
// DemosaicBayer is tested against it.
#include "imaging/color.h"

namespace {

struct Site {
    LONG Row, Column;
};

ULONG Sample(const ColorParams* P, LONG Row, LONG Column) {
    return P->Scratch[(LONGLONG(P->SourceY) + Row) * P->SourceStride + P->SourceX + Column];
}

// 9 x the sample + 3 x each of its partners across the quad + 1 x the diagonal partner. Its partner row
// and column are on the far side of the quad at rows A, A + 1 and columns B, B + 1.
ULONG Weighted(const ColorParams* P, Site S, LONG A, LONG B) {
    const LONG partnerRow = S.Row == A ? S.Row + 2 : S.Row - 2;
    const LONG partnerColumn = S.Column == B ? S.Column + 2 : S.Column - 2;
    return 9 * Sample(P, S.Row, S.Column) + 3 * Sample(P, S.Row, partnerColumn) +
           3 * Sample(P, partnerRow, S.Column) + Sample(P, partnerRow, partnerColumn);
}

// The channel value after gain and saturation, with the full product in 64 bits.
UCHAR Channel(ULONG Sum, ULONG Gain, unsigned Shift) {
    const ULONGLONG value = (ULONGLONG(Sum) * Gain) >> Shift;
    return UCHAR(value > 255 ? 255 : value);
}

} // namespace

LONG DemosaicBayerReference(const ColorParams* Params) {
    const LONG width = Params->SourceWidth;
    const LONG height = Params->SourceHeight;

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
                        green += Sample(Params, r, c);
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
            out[3 * j + 0] = Channel(Weighted(Params, blue, a, b), Params->BlueGain, 11);
            out[3 * j + 1] = Channel(green, Params->GreenGain, 8);
            out[3 * j + 2] = Channel(Weighted(Params, red, a, b), Params->RedGain, 11);
        }
    }
    return LONG((LONGLONG(width) - 2) * (LONGLONG(height) - 2) * 3);
}
