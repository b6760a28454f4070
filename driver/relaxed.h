// Single accesses of a field's own width for state that two threads may touch without a lock. The kernel
// build reads and writes such fields with plain aligned loads and stores; these helpers say the same to
// the C++ memory model, so that ThreadSanitizer and the optimiser agree with it.
#pragma once

// In the host build each such access is also a point where the host's scheduled clock may let another
// thread run (the host defines the routine); the kernel build has no such point.
#if defined(Z40K_SHARED_ACCESS_POINTS)
extern "C" void Z40kSharedAccess();
#define Z40K_SHARED_ACCESS() Z40kSharedAccess()
#else
#define Z40K_SHARED_ACCESS() ((void)0)
#endif

template <typename T> inline T ReadRelaxed(const T& field) {
    Z40K_SHARED_ACCESS();
    return __atomic_load_n(&field, __ATOMIC_RELAXED);
}

template <typename T, typename V> inline void WriteRelaxed(T& field, V value) {
    Z40K_SHARED_ACCESS();
    __atomic_store_n(&field, static_cast<T>(value), __ATOMIC_RELAXED);
}
