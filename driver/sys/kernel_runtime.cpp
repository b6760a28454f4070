// The few routines the compiler may call on its own (block copies and fills of records and buffers),
// linked into z40k.sys itself so that the image needs no C runtime. Built only into the kernel image;
// the host build uses its C library's.
#include "platform/nt_types.h"

extern "C" {

void* memcpy(void* Destination, const void* Source, SIZE_T Length) {
    void* d = Destination;
    __asm__ volatile("rep movsb" : "+D"(d), "+S"(Source), "+c"(Length) : : "memory");
    return Destination;
}

void* memset(void* Destination, int Value, SIZE_T Length) {
    void* d = Destination;
    __asm__ volatile("rep stosb" : "+D"(d), "+c"(Length) : "a"(Value) : "memory");
    return Destination;
}

// Overlapping copies go backwards when the destination lies above the source.
void* memmove(void* Destination, const void* Source, SIZE_T Length) {
    if (Destination <= Source || static_cast<const UCHAR*>(Source) + Length <= Destination)
        return memcpy(Destination, Source, Length);
    void* d = static_cast<UCHAR*>(Destination) + Length - 1;
    const void* s = static_cast<const UCHAR*>(Source) + Length - 1;
    __asm__ volatile("std\n\trep movsb\n\tcld" : "+D"(d), "+S"(s), "+c"(Length) : : "memory");
    return Destination;
}

} // extern "C"
