// The link's name and lock holders on Windows: processes from OpenProcess,
// the old area of a crashed host through its own name.
#include "link_owner.h"

#include <atomic>

#include "livelink/layout.h"
#include "livelink/live_connection.h"
#include "platform/proc_stat.h"
#include "platform/win32.h"

namespace CorvantaAPI {

bool ProcessGone(std::uint32_t pid) {
  if (pid == 0) return true;
  platform::ProcStat stat;
  if (platform::ReadProcStat(pid, &stat)) return stat.state == 'Z';
  // Not openable: gone only when no such process exists (another user's
  // process refuses with access denied and still counts as alive).
  return GetLastError() == ERROR_INVALID_PARAMETER;
}

bool HolderMapsArea(std::uint32_t, const std::u16string&) { return true; }

bool FreeAbandonedName(const std::u16string& mappingName, std::uint32_t self) {
  HANDLE mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, mappingName.c_str());
  if (mapping == nullptr) return false;
  void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  CloseHandle(mapping);
  if (view == nullptr) return false;
  if (platform::GetViewSize(view) >= sizeof(Header)) {
    auto* header = static_cast<Header*>(view);
    const std::uint32_t creator = std::atomic_ref<std::uint32_t>(header->creatorPid).load();
    if (header->type == kTypeHead && creator != 0 && creator != self && ProcessGone(creator)) {
      std::atomic_ref<std::uint32_t>(header->flags).fetch_or(kFlagClosed);
      std::atomic_ref<std::uint32_t>(header->changeCount).fetch_add(1);
    }
  }
  UnmapViewOfFile(view);
  return false;
}

}  // namespace CorvantaAPI
