// Compile-time helpers the driver shares: element counts taken from the arrays themselves, and the check
// that a routine placed in a record or table has exactly the type of its slot.
#pragma once

#include "platform/nt_types.h"

// Number of elements of an array, from its type; a pointer does not compile.
template <typename T, SIZE_T N> constexpr ULONG ArrayCount(const T (&)[N]) {
    return static_cast<ULONG>(N);
}

template <typename A, typename B> struct IsSameType { static constexpr bool Value = false; };
template <typename A> struct IsSameType<A, A> { static constexpr bool Value = true; };

// Fails the build when Routine's type differs from the slot's in any way, the calling convention
// included: an initialiser converts silently only where the two are the same, but a routine declared
// apart from its slot's typedef must not drift from it.
#define Z40K_CHECK_SLOT(Record, Slot, Routine)                                                               \
    static_assert(IsSameType<decltype(Record::Slot), decltype(&Routine)>::Value,                             \
                  #Routine " does not have the type of " #Record "::" #Slot)
