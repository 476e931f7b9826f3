// Allocations that fail on demand, as in a process out of memory: this
// header replaces the program's operator new and delete, so it is included
// by exactly one file of a test program, and never in a sanitizer build
// (their runtimes define these operators themselves).
//
// Armed with n on a thread, the n-th counted allocation of that thread
// throws std::bad_alloc; other threads are never failed. An allocation is
// counted when CountedCaller accepts the address that called operator new
// (every caller, unless a test sets it: one that fails only a loaded
// module's own allocations, say).
#pragma once

#include <cstdlib>
#include <new>

namespace testsupport {

inline thread_local long t_failIn = 0;
inline thread_local bool t_failed = false;
inline bool (*CountedCaller)(void* caller) = nullptr;

inline void ArmAllocationFailure(long n) {
  t_failed = false;
  t_failIn = n;
}
// Disarms; true when an allocation failed since the arming.
inline bool DisarmAllocationFailure() {
  t_failIn = 0;
  return t_failed;
}

inline void* Allocate(std::size_t size, void* caller) {
  if (t_failIn > 0 && (CountedCaller == nullptr || CountedCaller(caller)) && --t_failIn == 0) {
    t_failed = true;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

}  // namespace testsupport

void* operator new(std::size_t size) { return testsupport::Allocate(size, __builtin_return_address(0)); }
void* operator new[](std::size_t size) { return testsupport::Allocate(size, __builtin_return_address(0)); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
