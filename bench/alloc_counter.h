// Counts the heap allocations (malloc, calloc, realloc, and operator new through them) that a
// thread makes while its Counting flag is set. Compiled into a benchmark program itself, not a
// library, so that its malloc family stands in front of the C library's.
#pragma once

#include <atomic>

extern std::atomic<long> Allocations;
// Per thread: a peer thread of a benchmark is not the code under measurement.
extern thread_local bool Counting;

// Under AddressSanitizer its allocator reports allocations through hooks, installed here;
// without it, the replacements in alloc_counter.cpp count and nothing needs installing.
void InstallCounter();
