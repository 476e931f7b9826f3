// The control area: create, open, close, records, header flags, text fields
// and the cross-process lock.
#include "base/fixed_text.h"
#include "connection_tables.h"
#include "platform/proc_stat.h"

// Who holds a link's name and lock is asked of the system differently on
// each platform: Linux's code is below, Windows' in link_owner_win.cpp.
#ifdef _WIN32
#include "link_owner.h"
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace CorvantaAPI {

std::u16string MappingNameFor(std::u16string_view connectionName) {
  std::u16string mapped(connectionName);
  std::replace(mapped.begin(), mapped.end(), u'\\', u'/');
  return mapped;
}

std::u16string BlockName(std::uint32_t creatorPid, std::uint32_t blockId) {
  // "%d" of the pid as a signed 32-bit number, as the renderer formats it.
  char narrow[64];
  const int n = std::snprintf(narrow, sizeof narrow, "CorvantaAPI/%d/%08X", static_cast<int>(creatorPid), blockId);
  return std::u16string(narrow, narrow + std::max(n, 0));
}

#ifndef _WIN32
namespace {
bool FreeAbandonedName(const std::u16string& mappingName, std::uint32_t self);
}  // namespace
#endif

LiveConnection::LiveConnection() : pid_(GetCurrentProcessId()), tables_(std::make_unique<Tables>()) {}

LiveConnection::~LiveConnection() { CloseAll(); }

CreateResult LiveConnection::Create(std::u16string name, std::uint32_t capacity) {
  if (IsOpen()) Close();
  // A name the registry enumeration cannot return would be announced but
  // never found by a renderer, and its value never purged: refuse it here,
  // where the link start can still tell the user. An empty name would make
  // an unnamed area nobody can open.
  if (name.size() >= kConnectionNameLimit) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return CreateResult::kNameTooLong;
  }
  if (name.empty() || name.find(u'\0') != std::u16string::npos) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return CreateResult::kFailed;
  }
  EnumConnections(0);  // purges values of links whose control area is gone

  // A capacity whose area would not fit in 32 bits is refused rather than
  // wrapped to a tiny area that the slot scans would then overrun.
  const std::uint32_t size = ControlAreaBytes(capacity);
  if (size == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return CreateResult::kFailed;
  }

  const std::u16string mappingName = MappingNameFor(name);
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, mappingName.c_str());
  if (mapping == nullptr) return CreateResult::kFailed;  // the platform's last error stands
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mapping);
    // The area of a host that was killed lives on while a renderer still
    // maps it: its name is in use by nobody who can link. It is taken over
    // (the renderer then sees that link's publisher gone and ends it);
    // only a live creator's area refuses the start.
    if (!FreeAbandonedName(mappingName, pid_)) {
      SetLastError(ERROR_ALREADY_EXISTS);
      return CreateResult::kExists;
    }
    mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, mappingName.c_str());
    if (mapping == nullptr) return CreateResult::kFailed;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {  // another start was quicker
      CloseHandle(mapping);
      SetLastError(ERROR_ALREADY_EXISTS);
      return CreateResult::kExists;
    }
  }
  void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  if (view == nullptr || platform::GetViewSize(view) < size) {
    const DWORD error = view == nullptr ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
    if (view != nullptr) UnmapViewOfFile(view);
    CloseHandle(mapping);
    SetLastError(error);
    return CreateResult::kFailed;
  }
  std::memset(view, 0, size);
  auto* header = static_cast<Header*>(view);
  header->type = kTypeHead;
  header->size = kHeaderSize;
  header->id = 0;
  header->flags = 0;
  header->changeCount = 1;
  header->field20 = 1;
  header->lockOwner = 0;
  header->totalSize = size;
  header->recordOffset = kRecordOffset;
  header->capacity = capacity;
  header->recordCount = 1;
  header->highestSlot = 1;
  header->creatorPid = pid_;
  header->updateCount = 1;
  header->peerValue = 0;

  mapping_ = mapping;
  base_ = view;
  mappedBytes_ = size;
  brokenMark_ = platform::BrokenViewCount();
  area_ = ControlAreaView(view, capacity);
  blockIds_.exchange(0);
  guest_ = false;
  name_ = std::move(name);
  announced_ = false;
  windowsStale_ = true;

  view_ = CreateRecord(kTypeView);
  stat_ = CreateRecord(kTypeStat);
  statId_ = stat_ != nullptr ? stat_->id : 0;
  statusBlock_ = 0;
  statusCapacity_ = 0;
  return CreateResult::kOk;
}

std::int32_t LiveConnection::Open(std::u16string name) {
  if (IsOpen()) Close();
  lastAreaCheck_ = AreaCheck::Ok;
  const std::u16string mappingName = MappingNameFor(name);
  HANDLE mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, TRUE, mappingName.c_str());
  if (mapping == nullptr) return -1;  // ERROR_FILE_NOT_FOUND: no such area
  void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  if (view == nullptr) {
    const DWORD error = GetLastError();
    CloseHandle(mapping);
    SetLastError(error);
    return -1;
  }
  // The area was written by another process: refuse one whose header does
  // not describe the bytes actually mapped, before any scan trusts it. The
  // view's own length, never a second look at the object's size, which a
  // peer may have grown since the view was made.
  const std::size_t mapped = platform::GetViewSize(view);
  const AreaCheck check = ValidateControlArea(view, mapped);
  if (check != AreaCheck::Ok) {
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    lastAreaCheck_ = check;
    SetLastError(ERROR_INVALID_DATA);
    return -1;
  }
  mapping_ = mapping;
  base_ = view;
  mappedBytes_ = mapped;
  brokenMark_ = platform::BrokenViewCount();
  // The peer may rewrite capacity right after the check above, so the slot
  // count is bounded by what was mapped, not by a second read of the header.
  const auto mappedSlots =
      static_cast<std::uint32_t>(std::min<std::size_t>((mapped - kRecordOffset) / kSlotBytes, UINT32_MAX));
  area_ = ControlAreaView(view, std::min(LoadShared(static_cast<Header*>(view)->capacity), mappedSlots));
  blockIds_.exchange(kGuestBlockBase);
  guest_ = true;
  name_ = std::move(name);
  view_ = nullptr;
  stat_ = nullptr;
  return 0;
}

void LiveConnection::Close() {
  if (IsOpen()) CloseAll();
}

void LiveConnection::CloseAll() {
  if (base_ == nullptr) return;
  Unlock();
  for (auto& [id, entry] : tables_->blocks) {
    if (entry.view != nullptr) UnmapViewOfFile(entry.view);
    if (entry.handle != nullptr) CloseHandle(entry.handle);
  }
  tables_->blocks.clear();
  tables_->owners.clear();
  UnmapViewOfFile(base_);
  CloseHandle(mapping_);
  base_ = nullptr;
  mapping_ = nullptr;
  mappedBytes_ = 0;
  area_ = ControlAreaView();
  view_ = nullptr;
  stat_ = nullptr;
  statId_ = 0;
  statusBlock_ = 0;
  statusCapacity_ = 0;
  name_.clear();
}

bool LiveConnection::IsOpen() { return base_ != nullptr; }

std::u16string LiveConnection::GetName() { return name_; }

bool LiveConnection::IsOwnerForeground() {
  if (!IsOpen()) return false;
  const std::uint32_t creator = LoadShared(area_.header()->creatorPid);
  if (creator == pid_) return false;
  HWND foreground = GetForegroundWindow();
  if (foreground == nullptr) return false;
  DWORD owner = 0;
  GetWindowThreadProcessId(foreground, &owner);
  return owner != 0 && owner == creator;
}

// ---- records ---------------------------------------------------------------

Record* LiveConnection::CreateRecord(std::uint32_t type) {
  if (!IsOpen() || type == kTypeHead || area_.slotCount() == 0) return nullptr;
  Record* slot = nullptr;
  std::uint32_t index = 0;
  for (; index < area_.slotCount(); ++index) {
    Record* candidate = area_.Slot(index);
    if (LoadShared(candidate->type) == 0) {
      slot = candidate;
      break;
    }
  }
  if (slot == nullptr) return nullptr;  // full: no header field changes

  Header* header = area_.header();
  if (LoadShared(header->highestSlot) < index) StoreShared(header->highestSlot, index);
  std::memset(slot, 0, kSlotBytes);
  std::uint32_t id = ++recordIds_;
  if (id == 0) id = ++recordIds_;  // ids are never 0, even after wrapping
  slot->id = id;
  slot->flags = 0;
  slot->changeCount = 0;
  slot->size = RecordSizeForType(type);
  StoreShared(slot->type, type);
  StoreShared(header->recordCount, LoadShared(header->recordCount) + 1);
  return slot;
}

std::int32_t LiveConnection::DeleteRecord(std::uint32_t recordId) {
  if (!IsOpen()) return -1;
  // Id 0 marks free slots; matching it would wipe the first free slot and
  // miscount the records.
  if (recordId != 0) {
    Header* header = area_.header();
    const std::uint32_t limit = area_.ScanLimit();
    for (std::uint32_t i = 0; i < limit; ++i) {
      Record* slot = area_.Slot(i);
      if (LoadShared(slot->id) != recordId) continue;
      std::memset(slot, 0, kSlotBytes);
      const std::uint32_t count = LoadShared(header->recordCount);
      if (count > 0) StoreShared(header->recordCount, count - 1);
      // Slot 0 with highestSlot 0 keeps 0: the field must not wrap.
      if (LoadShared(header->highestSlot) == i && i > 0) StoreShared(header->highestSlot, i - 1);
      if (slot == view_) view_ = nullptr;
      if (slot == stat_) stat_ = nullptr;
      break;
    }
  }
  auto owner = tables_->owners.find(recordId);
  if (owner != tables_->owners.end()) {
    for (std::uint32_t blockId : owner->second) {
      if (blockId == 0) continue;
      auto block = tables_->blocks.find(blockId);
      if (block == tables_->blocks.end()) continue;
      if (block->second.view != nullptr) UnmapViewOfFile(block->second.view);
      if (block->second.handle != nullptr) CloseHandle(block->second.handle);
      tables_->blocks.unsafe_erase(blockId);
    }
    tables_->owners.unsafe_erase(recordId);
  }
  return 0;
}

namespace {
bool Matches(const Record* slot, std::uint32_t type, std::uint32_t mask, std::uint32_t value) {
  if (LoadShared(slot->type) != type) return false;
  return mask == 0 || (LoadShared(slot->flags) & mask) == (mask & value);
}
}  // namespace

std::uint32_t LiveConnection::CountRecords(std::uint32_t type, std::uint32_t mask, std::uint32_t value) {
  if (!IsOpen()) return 0;
  std::uint32_t count = 0;
  const std::uint32_t limit = area_.ScanLimit();
  for (std::uint32_t i = 0; i < limit; ++i)
    if (Matches(area_.Slot(i), type, mask, value)) ++count;
  return count;
}

std::vector<Record*> LiveConnection::GetRecords(std::uint32_t type, std::uint32_t mask, std::uint32_t value) {
  std::vector<Record*> records;
  if (!IsOpen()) return records;
  const std::uint32_t limit = area_.ScanLimit();
  for (std::uint32_t i = 0; i < limit; ++i)
    if (Matches(area_.Slot(i), type, mask, value)) records.push_back(area_.Slot(i));
  return records;
}

Record* LiveConnection::FindRecord(std::uint32_t recordId) {
  if (!IsOpen() || recordId == 0) return nullptr;
  const std::uint32_t limit = area_.ScanLimit();
  for (std::uint32_t i = 0; i < limit; ++i)
    if (LoadShared(area_.Slot(i)->id) == recordId) return area_.Slot(i);
  return nullptr;
}

void LiveConnection::SetRecordFlags(Record* record, std::uint32_t flags) {
  if (record == nullptr) return;
  if (flags & kFlagChanged) StoreShared(record->changeCount, LoadShared(record->changeCount) + 1);
  StoreShared(record->flags, LoadShared(record->flags) | flags);
}

void LiveConnection::ClearRecordFlags(Record* record, std::uint32_t flags) {
  if (record == nullptr) return;
  StoreShared(record->flags, LoadShared(record->flags) & ~flags);
}

std::uint32_t LiveConnection::TestRecordFlags(Record* record, std::uint32_t mask) {
  return record == nullptr ? 0 : (LoadShared(record->flags) & mask);
}

// ---- header fields ---------------------------------------------------------

void LiveConnection::SetFlags(std::uint32_t flags) {
  if (!IsOpen()) return;
  Header* header = area_.header();
  if (flags & kFlagChanged) {
    StoreShared(header->changeCount, LoadShared(header->changeCount) + 1);
    StoreShared(header->updateCount, LoadShared(header->updateCount) + 1);
  }
  StoreShared(header->flags, LoadShared(header->flags) | flags);
}

void LiveConnection::ClearFlags(std::uint32_t flags) {
  if (!IsOpen()) return;
  Header* header = area_.header();
  StoreShared(header->flags, LoadShared(header->flags) & ~flags);
}

std::uint32_t LiveConnection::TestFlags(std::uint32_t mask) {
  return IsOpen() ? (LoadShared(area_.header()->flags) & mask) : 0;
}

void LiveConnection::SetUpdateCount(std::uint32_t count) {
  if (IsOpen()) StoreShared(area_.header()->updateCount, count);
}

std::uint32_t LiveConnection::GetUpdateCount() { return IsOpen() ? LoadShared(area_.header()->updateCount) : 0; }

std::uint32_t LiveConnection::SafeTextLength(const char16_t* text, std::uint32_t limit) {
  // Looks at no more than limit units: a caller's unterminated text is never
  // read past what the field could take.
  return static_cast<std::uint32_t>(base::FixedTextLength(text, limit));
}

void LiveConnection::SetFixedText(char16_t* field, std::uint32_t units, const char16_t* text) {
  // A text that does not fit with its NUL is refused: the field stays empty.
  base::WriteFixedText(field, units, std::u16string_view(text == nullptr ? u"" : text, SafeTextLength(text, units)),
                       base::Overflow::Refuse);
}

void LiveConnection::SetLabel(const char16_t* text) {
  if (IsOpen()) SetFixedText(area_.header()->label, kLabelUnits, text);
}
char16_t* LiveConnection::GetLabel() { return IsOpen() ? area_.header()->label : nullptr; }

void LiveConnection::SetPeerText1(const char16_t* text) {
  if (IsOpen()) SetFixedText(area_.header()->peerText1, kPeerTextUnits, text);
}
char16_t* LiveConnection::GetPeerText1() { return IsOpen() ? area_.header()->peerText1 : nullptr; }
void LiveConnection::SetPeerText2(const char16_t* text) {
  if (IsOpen()) SetFixedText(area_.header()->peerText2, kPeerTextUnits, text);
}
char16_t* LiveConnection::GetPeerText2() { return IsOpen() ? area_.header()->peerText2 : nullptr; }
void LiveConnection::SetPeerValue(std::uint32_t value) {
  if (IsOpen()) StoreShared(area_.header()->peerValue, value);
}
std::uint32_t LiveConnection::GetPeerValue() { return IsOpen() ? LoadShared(area_.header()->peerValue) : 0; }
bool LiveConnection::HasPeerTexts() {
  if (!IsOpen()) return false;
  const Header* header = area_.header();
  return header->peerText1[0] != 0 && header->peerText2[0] != 0;
}

// ---- cross-process lock ----------------------------------------------------

#ifndef _WIN32
bool ProcessGone(std::uint32_t pid) {
  if (pid == 0 || pid > static_cast<std::uint32_t>(INT32_MAX)) return true;
  platform::ProcStat stat;
  if (platform::ReadProcStat(pid, &stat)) return stat.state == 'Z' || stat.state == 'X';
  // Unreadable: gone only when the process really does not exist (another
  // user's process under a hardened /proc still counts as alive).
  return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

namespace {

// False only when /proc shows that pid maps no object of that POSIX name:
// then the lock word names a later process that was given the id of a
// holder that died, and can never release it. Unreadable maps (another
// user's process) count as mapping it.
bool HolderMapsArea(std::uint32_t pid, const std::string& posixName) {
  const std::string path = "/proc/" + std::to_string(pid) + "/maps";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  // Lines end in the mapped file's path: "/dev/shm" + posixName.
  const std::string needle = "/dev/shm" + posixName;
  std::string window;
  char buffer[16384];
  bool found = false;
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      found = true;  // could not tell: keep the holder
      break;
    }
    if (n == 0) break;
    window.append(buffer, static_cast<std::size_t>(n));
    if (window.find(needle) != std::string::npos) {
      found = true;
      break;
    }
    // Keep the tail that a match across two reads could start in.
    if (window.size() > needle.size()) window.erase(0, window.size() - needle.size());
  }
  ::close(fd);
  return found;
}

// Frees the name of a control area whose creator is gone (no such process,
// or the process of that id maps no area of that name: a later process that
// was given the dead creator's id, or this very process, which closed that
// link while a renderer still maps it), so that a new area can be made
// under it. An area this process closed is as dead as a crashed host's.
// The old area stays with the processes that map it. False, changing
// nothing, when the area is not a control area, its creator still maps it,
// it is being created (no creator yet), or the name is not ours to free.
// (This process is no exception: /proc tells whether it still maps the
// area, so self needs no rule of its own here; Windows cannot tell.)
bool FreeAbandonedName(const std::u16string& mappingName, std::uint32_t /*self*/) {
  const std::string posixName = platform::ShmObjectName(mappingName);
  if (posixName.empty()) return false;
  const int fd = ::shm_open(posixName.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
  if (fd < 0) return false;
  struct stat st {};
  bool freed = false;
  // One taker at a time: an open-file-description lock on the object's
  // first byte (the platform's lifetime locks are flocks, which this does
  // not touch). A second start that waited for it then finds the name
  // taken by the first one's new area, and is refused.
  struct flock claim {};
  claim.l_type = F_WRLCK;
  claim.l_whence = SEEK_SET;
  claim.l_start = 0;
  claim.l_len = 1;
  bool claimed = false;
  for (int attempt = 0; attempt < 100 && !claimed; ++attempt) {
    claimed = ::fcntl(fd, F_OFD_SETLK, &claim) == 0;
    if (!claimed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Header header{};
  if (claimed && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && st.st_nlink > 0 &&
      static_cast<std::uint64_t>(st.st_size) >= sizeof header &&
      ::pread(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) && header.type == kTypeHead &&
      header.creatorPid != 0 && (ProcessGone(header.creatorPid) || !HolderMapsArea(header.creatorPid, posixName))) {
    // Still the name of this very object (a taker before us would have
    // replaced it): then it goes; the object lives on for its holders.
    const int again = ::shm_open(posixName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    struct stat now {};
    if (again >= 0 && ::fstat(again, &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino) {
      freed = ::shm_unlink(posixName.c_str()) == 0;
    }
    if (again >= 0) ::close(again);
  }
  ::close(fd);  // drops the claim
  return freed;
}

bool HolderMapsArea(std::uint32_t pid, const std::u16string& mappingName) {
  return HolderMapsArea(pid, platform::ShmObjectName(mappingName));
}
#else
namespace {
#endif  // _WIN32

std::atomic_ref<std::uint32_t> LockWord(Header* header) { return std::atomic_ref<std::uint32_t>(header->lockOwner); }

}  // namespace

bool LiveConnection::TryTakeLock(std::uint32_t self, bool mayTakeOver, bool checkMaps) {
  auto word = LockWord(area_.header());
  std::uint32_t expected = 0;
  if (word.compare_exchange_strong(expected, self)) return true;
  if (expected == self) return true;
  // A holder that died keeps the lock for good unless it is taken over; the
  // swap from its very id makes sure only one process wins the takeover.
  if (mayTakeOver && ProcessGone(expected)) return word.compare_exchange_strong(expected, self);
  // A pid that was reused by an unrelated process looks alive: check that
  // the holder maps this area at all.
  if (mayTakeOver && checkMaps && !HolderMapsArea(expected, MappingNameFor(name_)))
    return word.compare_exchange_strong(expected, self);
  return false;
}

bool LiveConnection::Lock(std::uint32_t timeoutMicroseconds) {
  if (!IsOpen()) return false;
  if (TryTakeLock(pid_, true, true)) return true;
  if (timeoutMicroseconds == 0) return false;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::microseconds(timeoutMicroseconds);
  // Looking the holder up costs far more than a swap: whether it lives once
  // a millisecond while spinning, and whether it maps the area (reading its
  // whole /proc maps, while the renderer may hold the lock for a long read)
  // once every 50.
  auto nextOwnerCheck = Clock::now() + std::chrono::milliseconds(1);
  auto nextMapsCheck = Clock::now() + std::chrono::milliseconds(50);
  for (;;) {
    std::this_thread::yield();
    const auto now = Clock::now();
    const bool check = now >= nextOwnerCheck;
    if (check) nextOwnerCheck = now + std::chrono::milliseconds(1);
    const bool checkMaps = check && now >= nextMapsCheck;
    if (checkMaps) nextMapsCheck = now + std::chrono::milliseconds(50);
    if (TryTakeLock(pid_, check, checkMaps)) return true;
    if (Clock::now() >= deadline) return false;
  }
}

void LiveConnection::Unlock() {
  if (!IsOpen()) return;
  std::uint32_t expected = pid_;
  LockWord(area_.header()).compare_exchange_strong(expected, 0);
}

}  // namespace CorvantaAPI
