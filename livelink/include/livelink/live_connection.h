// The live link transport: one object per add-on (or per renderer-side
// reader) that creates or opens the shared control area, its records and
// named data blocks, takes the cross-process lock, keeps the per-user
// registry of connections and wakes the renderer.
//
// The renderer side is built against the same interface, so the order of the
// virtual operations below is protocol: never reorder, insert or remove one
// (livelink_slot_order_test pins it). Operations call each other through the
// table, so an override changes the others too.
//
// Nothing here throws or shows messages. Results: 0 success, -1 failure, -2
// a control area of that name exists already; lookups give null or 0.
#pragma once

#include <oneapi/tbb/concurrent_unordered_map.h>
#include <oneapi/tbb/concurrent_unordered_set.h>
#include <oneapi/tbb/concurrent_vector.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "livelink/control_area.h"
#include "livelink/layout.h"
#include "platform/win32.h"

namespace CorvantaAPI {

// One value of the link status map: kind 0 is text (percent-encoded on the
// link), kind 1 a number (written unchanged).
struct StatusValue {
  std::uint32_t kind = 0;
  std::u16string value;
};
using StatusMap = std::map<std::u16string, StatusValue>;

// The JSON-like status text: {"key":"value",...} in ascending key order;
// text values percent-encoded, numbers unchanged, other kinds without value.
std::u16string StatusText(const StatusMap& values);

// The per-user key under HKEY_CURRENT_USER that lists announced connections.
inline constexpr char16_t kConnectionsKey[] = u"Software\\Torvik\\LiveConnections";

// The main windows of running renderers: processes whose upper-cased image
// path contains "VELMAR" (window class must contain "START") or "BRIMSEL"
// (class "BRIMSEL EDITOR"). Processes are examined in parallel, so the order
// is not defined. An empty list when the process list cannot be read.
tbb::concurrent_vector<HWND> FindRendererWindows();

// True when no running process has that id: it does not exist, or it is a
// zombie waiting to be reaped. Such a process can never release the lock
// or end its link. Used to take over a dead holder's lock.
bool ProcessGone(std::uint32_t pid);

// The Windows mapping name of a connection: "\" becomes "/".
std::u16string MappingNameFor(std::u16string_view connectionName);
// "CorvantaAPI/<creatorPid>/<id as %08X>".
std::u16string BlockName(std::uint32_t creatorPid, std::uint32_t blockId);

// A mutex whose lock attempt gives up at a deadline: a plain mutex, a
// condition variable and a locked flag. (std::timed_mutex locks through
// pthread_mutex_clocklock, which the thread sanitizer does not follow.)
class TimedMutex {
 public:
  bool try_lock_until(std::chrono::steady_clock::time_point deadline);
  void unlock();

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool locked_ = false;
};

class LiveConnection {
 public:
  LiveConnection();
  LiveConnection(const LiveConnection&) = delete;
  LiveConnection& operator=(const LiveConnection&) = delete;

  // ---- slot order starts here ----
  virtual ~LiveConnection();
  virtual std::vector<std::u16string> EnumConnections(std::uint32_t kind);
  virtual std::int32_t Create(std::u16string name, std::uint32_t capacity);
  virtual void Destroy();
  virtual std::int32_t Open(std::u16string name);
  virtual void Close();
  virtual bool IsOwnerForeground();
  virtual bool IsOpen();
  virtual std::u16string GetName();
  virtual Record* CreateRecord(std::uint32_t type);
  virtual std::int32_t DeleteRecord(std::uint32_t recordId);
  virtual std::uint32_t CountRecords(std::uint32_t type, std::uint32_t mask, std::uint32_t value);
  virtual Record* FindRecord(std::uint32_t recordId);
  virtual std::vector<Record*> GetRecords(std::uint32_t type, std::uint32_t mask,
                                          std::uint32_t value);
  virtual void SetRecordFlags(Record* record, std::uint32_t flags);
  virtual void ClearRecordFlags(Record* record, std::uint32_t flags);
  virtual std::uint32_t TestRecordFlags(Record* record, std::uint32_t mask);
  virtual void SetFlags(std::uint32_t flags);
  virtual void ClearFlags(std::uint32_t flags);
  virtual std::uint32_t TestFlags(std::uint32_t mask);
  virtual void SetUpdateCount(std::uint32_t count);
  virtual std::uint32_t GetUpdateCount();
  virtual void SetLabel(const char16_t* text);
  virtual char16_t* GetLabel();
  virtual bool Lock(std::uint32_t timeoutMicroseconds);
  virtual void Unlock();
  virtual std::uint32_t CreateBlock(std::uint32_t ownerRecordId, std::uint32_t size);
  virtual void ReleaseBlock(std::uint32_t blockId);
  virtual void* OpenBlock(std::uint32_t blockId);
  virtual void CloseBlock(std::uint32_t blockId);
  virtual std::int32_t Announce();
  virtual bool IsConnected();
  virtual std::int32_t Notify(std::uint32_t code, std::uint32_t parameter);
  virtual void UpdateView(bool active, const void* cameraData);
  virtual void UpdateStatus(const StatusMap& values);
  virtual void SetPeerText1(const char16_t* text);
  virtual char16_t* GetPeerText1();
  virtual void SetPeerText2(const char16_t* text);
  virtual char16_t* GetPeerText2();
  virtual void SetPeerValue(std::uint32_t value);
  virtual std::uint32_t GetPeerValue();
  virtual bool HasPeerTexts();
  virtual bool ConnectionExists(std::u16string name);
  virtual std::int32_t RegisterConnection(std::u16string name);
  virtual std::int32_t UnregisterConnection(std::u16string name);
  // ---- slot order ends here ----

  // Not part of the table (adding them does not move any slot).

  // Bytes mapped for a block this connection created or opened, 0 when the
  // block is not in the table. A reader checks a record's blockCapacity
  // against this before reading the block.
  std::size_t GetBlockSize(std::uint32_t blockId) const;
  // The checked view over the mapped control area (invalid while closed).
  const ControlAreaView& Area() const { return area_; }
  // Bytes actually mapped for the control area, 0 while closed.
  std::size_t MappedBytes() const { return mappedBytes_; }
  // Address of this connection's own "VIEW" / "STAT" record (creator only).
  Record* OwnViewRecord() const { return view_; }
  Record* OwnStatRecord() const { return stat_; }

 private:
  struct BlockEntry {
    HANDLE handle = nullptr;
    void* view = nullptr;
    std::size_t bytes = 0;
  };
  using BlockSet = tbb::concurrent_unordered_set<std::uint32_t>;

  void CloseAll();  // what Close does; also called by the destructor directly
  bool TryTakeLock(std::uint32_t self, bool mayTakeOver);
  std::u16string BlockNameFor(std::uint32_t blockId) const;
  static std::uint32_t SafeTextLength(const char16_t* text, std::uint32_t limit);
  void SetFixedText(char16_t* field, std::uint32_t units, const char16_t* text);

  const std::uint32_t pid_;
  std::u16string name_;
  HANDLE mapping_ = nullptr;
  void* base_ = nullptr;
  std::size_t mappedBytes_ = 0;
  ControlAreaView area_;
  Record* view_ = nullptr;
  Record* stat_ = nullptr;
  std::atomic<std::uint32_t> recordIds_{0};
  std::atomic<std::uint32_t> blockIds_{0};
  tbb::concurrent_unordered_map<std::uint32_t, BlockEntry> blocks_;
  tbb::concurrent_unordered_map<std::uint32_t, BlockSet> owners_;
  std::atomic<bool> announced_{false};

  tbb::concurrent_vector<HWND> windows_;
  std::atomic<bool> windowsStale_{false};
  TimedMutex notifyMutex_;
};

}  // namespace CorvantaAPI
