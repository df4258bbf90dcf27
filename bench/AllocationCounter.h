// Counts the heap allocations made through operator new by the whole
// program, the simulated host and the library included (a program that links
// AllocationCounter.cpp replaces the global operator new).
#pragma once

#include <cstdint>

namespace thrumline::hardening {

// Allocations through any operator new since the program started.
std::uint64_t allocationCount();

}  // namespace thrumline::hardening
