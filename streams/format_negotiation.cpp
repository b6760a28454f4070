// Which video formats the driver offers and accepts, and the per-stream hooks the library calls first.
#include "streams/format_negotiation.h"

#include "platform/kernel.h"
#include "streams/stream_descriptors.h"

namespace {

// A format is the 64-byte KSDATAFORMAT header, the video-info header up to its bitmap header (48
// bytes), then biSize bytes of bitmap header.
constexpr ULONG FORMAT_FIXED_PART = sizeof(KSDATAFORMAT) + KS_VIDEOINFOHEADER_BMI_OFFSET; // 112
// Verification reads the bitmap header up to and including biSizeImage; a shorter format is refused.
constexpr ULONG VERIFY_BYTES_NEEDED = sizeof(KSDATAFORMAT) + KS_VIDEOINFOHEADER_BMI_OFFSET +
                                      offsetof(KS_BITMAPINFOHEADER, biSizeImage) + sizeof(ULONG);
static_assert(FORMAT_FIXED_PART == 112, "format layout");
static_assert(VERIFY_BYTES_NEEDED == 136, "format layout");

// Our ranges, and so every proposed range and written format, carry a 40-byte bitmap header.
constexpr ULONG BITMAP_HEADER_SIZE = sizeof(KS_BITMAPINFOHEADER);

const KS_DATAFORMAT_VIDEOINFOHEADER* AsVideoInfoFormat(const KSDATAFORMAT* Format) {
    return reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(Format);
}

const KS_DATARANGE_VIDEO* AsVideoRange(const KSDATAFORMAT* Range) {
    return reinterpret_cast<const KS_DATARANGE_VIDEO*>(Range);
}

// Major format, subformat and specifier all equal.
bool SameFormatType(const KSDATAFORMAT& A, const KSDATAFORMAT& B) {
    return IsEqualGUID(A.MajorFormat, B.MajorFormat) && IsEqualGUID(A.SubFormat, B.SubFormat) &&
           IsEqualGUID(A.Specifier, B.Specifier);
}

// Does proposed range P pass every test against our range R?
bool RangeMatches(const KS_DATARANGE_VIDEO* P, const KS_DATARANGE_VIDEO* R) {
    if (!CompareFormatHeader(&P->DataRange, &R->DataRange))
        return false;
    // From here on P is known to be a whole 296-byte video range.
    if (P->bFixedSizeSamples != R->bFixedSizeSamples || P->bTemporalCompression != R->bTemporalCompression ||
        P->StreamDescriptionFlags != R->StreamDescriptionFlags ||
        P->MemoryAllocationFlags != R->MemoryAllocationFlags)
        return false;
    if (RtlCompareMemory(&P->ConfigCaps, &R->ConfigCaps, sizeof(KS_VIDEO_STREAM_CONFIG_CAPS)) !=
        sizeof(KS_VIDEO_STREAM_CONFIG_CAPS))
        return false;
    // A 296-byte range holds exactly a 40-byte bitmap header; any other biSize would make us read past
    // the range when copying it and write the image size into the wrong place.
    if (P->VideoInfoHeader.bmiHeader.biSize != BITMAP_HEADER_SIZE)
        return false;
    const LONG width = P->VideoInfoHeader.bmiHeader.biWidth;
    const LONG height = P->VideoInfoHeader.bmiHeader.biHeight;
    if (width == R->VideoInfoHeader.bmiHeader.biWidth && height == R->VideoInfoHeader.bmiHeader.biHeight)
        return true;
    const KS_VIDEO_STREAM_CONFIG_CAPS& caps = R->ConfigCaps;
    return caps.MinOutputSize.cx <= width && width <= caps.MaxOutputSize.cx &&
           caps.MinOutputSize.cy <= height && height <= caps.MaxOutputSize.cy;
}

void CopyBytes(void* Destination, const void* Source, ULONG Length) {
    UCHAR* d = static_cast<UCHAR*>(Destination);
    const UCHAR* s = static_cast<const UCHAR*>(Source);
    for (ULONG i = 0; i < Length; ++i)
        d[i] = s[i];
}

} // namespace

bool CompareFormatHeader(const KSDATAFORMAT* A, const KSDATAFORMAT* B) {
    // FormatSize first: a header of another size is not looked at any further.
    return A->FormatSize == B->FormatSize && SameFormatType(*A, *B);
}

bool VerifyStreamFormat(const KSDATAFORMAT* Format, LONG StreamNumber) {
    // The limit is the table, not the number of streams reported: the still stream verifies too.
    if (StreamNumber < 0 || static_cast<ULONG>(StreamNumber) >= STREAM_TABLE_ENTRIES)
        return false;
    if (Format == nullptr || Format->FormatSize < VERIFY_BYTES_NEEDED)
        return false;
    const KS_BITMAPINFOHEADER& bmi = AsVideoInfoFormat(Format)->VideoInfoHeader.bmiHeader;
    const HW_STREAM_INFORMATION& stream = StreamInfoTable[StreamNumber];
    for (ULONG i = 0; i < stream.NumberOfFormatArrayEntries; ++i) {
        const KS_DATARANGE_VIDEO* range = AsVideoRange(stream.StreamFormatsArray[i]);
        const KS_BITMAPINFOHEADER& rangeBmi = range->VideoInfoHeader.bmiHeader;
        if (SameFormatType(*Format, range->DataRange) && bmi.biWidth == rangeBmi.biWidth &&
            bmi.biHeight == rangeBmi.biHeight && bmi.biSizeImage == rangeBmi.biSizeImage)
            return true;
    }
    return false;
}

NTSTATUS IntersectStreamFormat(PHW_STREAM_REQUEST_BLOCK Srb) {
    PSTREAM_DATA_INTERSECT_INFO info = Srb->CommandData.IntersectInfo;
    // The stream class asks only about streams we reported, but a number beyond the table must not make
    // us read past it.
    if (info->StreamNumber >= STREAM_TABLE_ENTRIES || info->DataRange == nullptr) {
        Srb->Status = STATUS_NO_MATCH;
        return STATUS_NO_MATCH;
    }
    const HW_STREAM_INFORMATION& stream = StreamInfoTable[info->StreamNumber];
    KS_DATARANGE_VIDEO* proposed = reinterpret_cast<KS_DATARANGE_VIDEO*>(info->DataRange);
    const KS_DATARANGE_VIDEO* chosen = nullptr;
    for (ULONG i = 0; i < stream.NumberOfFormatArrayEntries && chosen == nullptr; ++i) {
        const KS_DATARANGE_VIDEO* range = AsVideoRange(stream.StreamFormatsArray[i]);
        if (RangeMatches(proposed, range))
            chosen = range;
    }
    if (chosen == nullptr) {
        Srb->Status = STATUS_NO_MATCH;
        return STATUS_NO_MATCH;
    }

    // A client asking for a slower rate than the camera has is given the camera's; a faster one is left
    // for the library to refuse when the stream runs.
    KS_VIDEOINFOHEADER& vih = proposed->VideoInfoHeader;
    if (vih.AvgTimePerFrame > chosen->ConfigCaps.MaxFrameInterval) {
        vih.AvgTimePerFrame = chosen->ConfigCaps.MaxFrameInterval;
        vih.dwBitRate = static_cast<ULONG>(chosen->ConfigCaps.MinBitsPerSecond);
    }

    const ULONG needed = vih.bmiHeader.biSize + FORMAT_FIXED_PART;
    if (info->SizeOfDataFormatBuffer == 0) {
        Srb->Status = STATUS_BUFFER_OVERFLOW;
        Srb->ActualBytesTransferred = needed;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (info->SizeOfDataFormatBuffer < needed) {
        Srb->Status = STATUS_BUFFER_TOO_SMALL;
        return STATUS_BUFFER_TOO_SMALL;
    }

    KS_DATAFORMAT_VIDEOINFOHEADER* format =
        static_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(info->DataFormatBuffer);
    CopyBytes(&format->DataFormat, &proposed->DataRange, sizeof(KSDATAFORMAT));
    format->DataFormat.FormatSize = needed;
    Srb->ActualBytesTransferred = needed;
    CopyBytes(&format->VideoInfoHeader, &vih, KS_VIDEOINFOHEADER_BMI_OFFSET + vih.bmiHeader.biSize);

    // The sample size follows from the proposed geometry, whatever the range said: rows padded to four
    // bytes. Unsigned 32-bit arithmetic, as on the 32-bit target, so an absurd bit count wraps instead of
    // overflowing; such a format then fails verification.
    KS_BITMAPINFOHEADER& bmi = format->VideoInfoHeader.bmiHeader;
    const ULONG width = static_cast<ULONG>(bmi.biWidth);
    const ULONG rows =
        bmi.biHeight < 0 ? 0u - static_cast<ULONG>(bmi.biHeight) : static_cast<ULONG>(bmi.biHeight);
    const ULONG stride = ((width * bmi.biBitCount + 31) / 32) * 4;
    const ULONG imageSize = stride * rows;
    format->DataFormat.SampleSize = imageSize;
    bmi.biSizeImage = imageSize;
    return STATUS_SUCCESS;
}

VOID STREAMAPI CamReceiveCtrlPacket(PHW_STREAM_REQUEST_BLOCK Srb, PVOID DeviceContext, PBOOLEAN Completed) {
    PDeviceContext context = static_cast<PDeviceContext>(DeviceContext);
    *Completed = TRUE;
    Srb->Status = STATUS_SUCCESS;
    const LONG streamNumber = static_cast<LONG>(Srb->StreamObject->StreamNumber);

    switch (Srb->Command) {
    case SRB_PROPOSE_DATA_FORMAT:
        if (!VerifyStreamFormat(Srb->CommandData.OpenFormat, streamNumber))
            Srb->Status = STATUS_NO_MATCH;
        break;
    case SRB_SET_DATA_FORMAT:
        if (!VerifyStreamFormat(Srb->CommandData.OpenFormat, streamNumber)) {
            Srb->Status = STATUS_NO_MATCH;
        } else if (context->CamInterface.Interface.Version != 0 &&
                   context->CamInterface.USBCAMD_SetVideoFormat != nullptr) {
            // The library takes the new format; its answer changes nothing for the client.
            context->CamInterface.USBCAMD_SetVideoFormat(DeviceContext, Srb);
        }
        break;
    case SRB_GET_DATA_FORMAT:
        Srb->Status = STATUS_NOT_IMPLEMENTED;
        break;
    default:
        // Stream state, stream properties, clocks: the library carries these out.
        *Completed = FALSE;
        return;
    }
    StreamClassStreamNotification(StreamRequestComplete, Srb->StreamObject, Srb);
}

VOID STREAMAPI CamReceiveDataPacket(PHW_STREAM_REQUEST_BLOCK, PVOID, PBOOLEAN) {
    // Every read is the library's: it assembles the frame and calls back with the request's buffer.
}
