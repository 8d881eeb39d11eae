// Counts heap allocations made by this process (malloc family, and so every
// operator new) while counting is switched on.
#ifndef QN_SPECTRUM_TESTS_ALLOC_COUNTER_H
#define QN_SPECTRUM_TESTS_ALLOC_COUNTER_H

#include <cstdint>

namespace alloc_counter {

// False where the allocator cannot be wrapped (sanitizer runtimes own it).
bool available();

// Allocations made since the last reset.
uint64_t count();
void reset();

}  // namespace alloc_counter

#endif
