#include "prefault.h"

#include "platform/win32.h"

namespace velmar {

void Prefault(const std::uint8_t* data, std::size_t bytes) {
  if (bytes == 0) return;
  WIN32_MEMORY_RANGE_ENTRY range{const_cast<std::uint8_t*>(data), bytes};
  PrefetchVirtualMemory(GetCurrentProcess(), 1, &range, 0);
}

}  // namespace velmar
