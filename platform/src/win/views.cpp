// The mapping extras on Windows: sizes from VirtualQuery, and no broken
// views (a section cannot shrink under a view there).
#include "platform/win32.h"

namespace platform {

bool IsViewBroken(LPCVOID) { return false; }

std::uint64_t BrokenViewCount() { return 0; }

SIZE_T GetViewSize(LPCVOID view) {
  if (view == nullptr) return 0;
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQuery(view, &info, sizeof info) != sizeof info) return 0;
  // Only the start of a mapped view counts: anything else is not a view.
  if (info.Type != MEM_MAPPED || info.AllocationBase != view || info.State != MEM_COMMIT) return 0;
  return info.RegionSize;
}

SIZE_T GetMappingSize(HANDLE mapping) {
  if (mapping == nullptr || mapping == INVALID_HANDLE_VALUE) return 0;
  void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  if (view == nullptr) return 0;
  const SIZE_T size = GetViewSize(view);
  UnmapViewOfFile(view);
  return size;
}

}  // namespace platform
