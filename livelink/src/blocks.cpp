// Named data blocks "CorvantaAPI/<creatorPid>/<id>": creation by either
// side, opening the other side's, and release with their owner record.
// CreateBlock and OpenBlock run on several threads at once; entries are
// complete before they are inserted and never modified afterwards, so a
// concurrent lookup sees either nothing or a whole entry.
#include "connection_tables.h"

namespace CorvantaAPI {

namespace {
// How many names already held by someone else CreateBlock steps over before
// it gives up.
constexpr int kCreateAttempts = 64;
}  // namespace

std::u16string LiveConnection::BlockNameFor(std::uint32_t blockId) const {
  return BlockName(LoadShared(area_.header()->creatorPid), blockId);
}

std::uint32_t LiveConnection::CreateBlock(std::uint32_t ownerRecordId, std::uint32_t size) {
  if (!IsOpen() || size == 0) return 0;
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    const std::uint32_t id = ++blockIds_;
    if (id == 0 || id == kGuestBlockBase) continue;  // wrapped into the other side's range
    const std::u16string name = BlockNameFor(id);
    HANDLE handle = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name.c_str());
    if (handle == nullptr) {
      // Another user's object under our name (a squatter in /dev/shm) is
      // never touched: step over its id as over one still held.
      if (GetLastError() == ERROR_ACCESS_DENIED) continue;
      return 0;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
      // Still held by the renderer from an earlier run of this process (the
      // counter restarts with every Create): sharing it would hand the
      // renderer two meanings for one name, and it may be smaller than size.
      CloseHandle(handle);
      continue;
    }
    void* view = MapViewOfFile(handle, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    const std::size_t bytes = platform::GetViewSize(view);
    if (view == nullptr || bytes < size) {
      if (view != nullptr) UnmapViewOfFile(view);
      CloseHandle(handle);
      return 0;
    }
    if (!tables_->blocks.emplace(id, Tables::BlockEntry{handle, view, bytes}).second) {
      // Another thread's OpenBlock of this id got in between: its entry maps
      // the very object just created (the name was free), so keep that one.
      UnmapViewOfFile(view);
      CloseHandle(handle);
    }
    tables_->owners[ownerRecordId].insert(id);
    return id;
  }
  return 0;
}

void* LiveConnection::OpenBlock(std::uint32_t blockId) {
  if (!IsOpen() || blockId == 0) return nullptr;
  auto found = tables_->blocks.find(blockId);
  if (found != tables_->blocks.end()) return found->second.view;

  const std::u16string name = BlockNameFor(blockId);
  const DWORD access = guest_ && blockId < kGuestBlockBase ? FILE_MAP_READ : FILE_MAP_ALL_ACCESS;
  HANDLE handle = OpenFileMappingW(access, TRUE, name.c_str());
  if (handle == nullptr) return nullptr;
  void* view = MapViewOfFile(handle, access, 0, 0, 0);
  if (view == nullptr) {
    CloseHandle(handle);
    return nullptr;
  }
  // Bounded by what was mapped: the peer may grow the object right after.
  auto [entry, inserted] =
      tables_->blocks.emplace(blockId, Tables::BlockEntry{handle, view, platform::GetViewSize(view)});
  if (!inserted) {
    // Another thread opened the same block meanwhile: keep its mapping.
    UnmapViewOfFile(view);
    CloseHandle(handle);
  }
  return entry->second.view;
}

void LiveConnection::CloseBlock(std::uint32_t blockId) {
  if (blockId == 0) return;
  auto found = tables_->blocks.find(blockId);
  if (found == tables_->blocks.end()) return;
  if (found->second.view != nullptr) UnmapViewOfFile(found->second.view);
  if (found->second.handle != nullptr) CloseHandle(found->second.handle);
  tables_->blocks.unsafe_erase(blockId);
}

void LiveConnection::ReleaseBlock(std::uint32_t blockId) {
  if (blockId == 0) return;
  for (auto& [owner, set] : tables_->owners) set.unsafe_erase(blockId);
  CloseBlock(blockId);
}

bool LiveConnection::ViewShrunkSinceOpen() const {
  return base_ != nullptr && platform::BrokenViewCount() != brokenMark_;
}

std::size_t LiveConnection::GetBlockSize(std::uint32_t blockId) const {
  auto found = tables_->blocks.find(blockId);
  return found == tables_->blocks.end() ? 0 : found->second.bytes;
}

bool LiveConnection::MappingBroken() const {
  if (!ViewShrunkSinceOpen()) return false;
  if (platform::IsViewBroken(base_)) return true;
  for (const auto& [id, entry] : tables_->blocks)
    if (entry.view != nullptr && platform::IsViewBroken(entry.view)) return true;
  return false;
}

}  // namespace CorvantaAPI
