#include "prefault.h"

#include <sys/mman.h>
#include <unistd.h>

namespace velmar {

void Prefault(const std::uint8_t* data, std::size_t bytes) {
#ifdef MADV_POPULATE_READ
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<std::uintptr_t>(data) & ~(page - 1);
  const auto end = reinterpret_cast<std::uintptr_t>(data) + bytes;
  ::madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_READ);
#else
  (void)data, (void)bytes;
#endif
}

}  // namespace velmar
