// How fast this machine gives a process fresh memory right now: the time to
// touch each page of a new anonymous mapping once. On a virtual machine it
// changes by several times from hour to hour, and most of a large model's
// import and of the link's start is first touches, so the benchmarks print
// it beside their figures. Returns a negative number when the mapping
// cannot be made.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>

namespace bench {

inline double FreshMemoryMBps(std::size_t bytes = std::size_t{256} << 20) {
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return -1;
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const auto start = std::chrono::steady_clock::now();
  auto* bytesOf = static_cast<volatile char*>(p);
  for (std::size_t i = 0; i < bytes; i += page) bytesOf[i] = 1;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::munmap(p, bytes);
  return seconds > 0 ? double(bytes) / 1e6 / seconds : -1;
}

}  // namespace bench
