// Compile-time helpers the driver shares: element counts taken from the arrays themselves, and the check
// that a routine placed in a record or table has exactly the type of its slot.
#pragma once

#include "platform/nt_types.h"

// Number of elements of an array, from its type; a pointer does not compile.
template <typename T, SIZE_T N> constexpr ULONG ArrayCount(const T (&)[N]) {
    return static_cast<ULONG>(N);
}

// Fails the build when Routine's type differs from the slot's in any way, the calling convention
// included: pointers to two function pointer types convert into each other only when the types are
// the same. An initialiser would convert silently wherever the types are compatible, and a cast would
// hide any difference.
#define Z40K_CHECK_SLOT(Record, Slot, Routine)                                                               \
    static_assert(static_cast<decltype(Record::Slot)*>(static_cast<decltype(&Routine)*>(nullptr)) ==         \
                      nullptr,                                                                               \
                  #Routine " has the type of " #Record "::" #Slot)
