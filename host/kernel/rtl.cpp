// Run-time library routines.
#include "host/kernel/kernel_internal.h"
#include "platform/kernel.h"

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    host::detail::VerifyIrql("RtlInitUnicodeString");
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    size_t count = 0;
    while (SourceString[count] != 0)
        ++count;
    // The lengths are 16-bit byte counts; like the kernel, cut a longer string at the largest even length.
    constexpr size_t LargestLength = 0xFFFC;
    size_t bytes = count * sizeof(WCHAR);
    if (bytes > LargestLength)
        bytes = LargestLength;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    const UCHAR* a = static_cast<const UCHAR*>(Source1);
    const UCHAR* b = static_cast<const UCHAR*>(Source2);
    SIZE_T equal = 0;
    while (equal < Length && a[equal] == b[equal])
        ++equal;
    return equal;
}
