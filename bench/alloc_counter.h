#pragma once
// Heap allocations counted by the benchmark binary's replaced global operator new.

#include <cstdint>

// Allocations made through operator new (any form) since the program started, on any thread.
std::uint64_t AllocationCount();
