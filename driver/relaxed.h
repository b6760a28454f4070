// Single accesses of a field's own width for state that two threads may touch without a lock. The kernel
// build reads and writes such fields with plain aligned loads and stores; these helpers say the same to
// the C++ memory model, so that ThreadSanitizer and the optimiser agree with it.
#pragma once

template <typename T> inline T ReadRelaxed(const T& field) { return __atomic_load_n(&field, __ATOMIC_RELAXED); }

template <typename T, typename V> inline void WriteRelaxed(T& field, V value) {
    __atomic_store_n(&field, static_cast<T>(value), __ATOMIC_RELAXED);
}
