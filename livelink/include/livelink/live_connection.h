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
// Threads: Create, Open, Close, Destroy and the destructor belong to the
// thread that owns the connection (the host's user-interface thread in the
// add-on) and must not overlap any other call. While the connection is
// open, the other operations may run on several threads at once (the
// add-on's user-interface thread, the scene's worker, the thread that
// delivers camera changes): the block and owner tables are concurrent, ids
// are drawn atomically, Notify serialises itself, and the shared records
// are written under the link's lock (Lock / Unlock) where a peer must not
// see them half-written. MappingBroken must not overlap ReleaseBlock.
//
// Nothing here throws or shows messages. Every operation on a closed
// connection does nothing and gives its "nothing" result (false, 0, null, an
// empty list, or -1 where a status is returned). Shared bytes are written by
// another process at any time: every scan is bounded by the mapped size, and
// each 32-bit field is read once per use (LoadShared).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/deadline_mutex.h"
#include "base/thread_annotations.h"
#include "livelink/control_area.h"
#include "livelink/layout.h"
#include "livelink/renderer_windows.h"
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

// Connection names must be shorter than this many UTF-16 units: the registry
// enumeration reads value names into a buffer of 260 units, NUL included.
inline constexpr std::size_t kConnectionNameLimit = 260;

// Results of Create. The numbers are the link's status codes as peers and
// tools print and compare them: never renumber.
enum class CreateResult : std::int32_t {
  kOk = 0,
  kFailed = -1,
  kExists = -2,
  kNameTooLong = -3,
};

// True when no running process has that id: it does not exist, or it is a
// zombie waiting to be reaped. Such a process can never release the lock
// or end its link. Used to take over a dead holder's lock.
bool ProcessGone(std::uint32_t pid);

// The Windows mapping name of a connection: "\" becomes "/".
std::u16string MappingNameFor(std::u16string_view connectionName);
// "CorvantaAPI/<creatorPid>/<id as %08X>".
std::u16string BlockName(std::uint32_t creatorPid, std::uint32_t blockId);

// The notify mutex: a lock attempt that gives up at a deadline.
using TimedMutex = base::DeadlineMutex;

class LiveConnection {
 public:
  LiveConnection();
  LiveConnection(const LiveConnection&) = delete;
  LiveConnection& operator=(const LiveConnection&) = delete;

  // ---- slot order starts here ----

  // Closes as Close does, without waiting for anything.
  virtual ~LiveConnection();

  // Names of announced connections under kConnectionsKey whose control area
  // still opens; kind 0 lists every kind, otherwise only values holding that
  // kind. Values whose area is gone are deleted on the way (stale links of
  // crashed publishers). Values whose data is longer than 4 bytes or whose
  // name does not fit 260 units are skipped and left alone. Empty when the
  // key does not exist or cannot be opened (ReadConnections tells which).
  virtual std::vector<std::u16string> EnumConnections(std::uint32_t kind);

  // Creates the control area of (capacity + 1) * 2048 bytes under the
  // mapping name of name, writes the header, creates this connection's own
  // "VIEW" and "STAT" records and restarts block ids at 1. A connection that
  // was open is closed first; stale registry values are purged first.
  // Results, each with the last error set:
  //   kOk (0);
  //   kFailed (-1): empty name or one holding NUL, or a capacity whose
  //     area does not fit 32 bits (ERROR_INVALID_PARAMETER); the mapping
  //     could not be made or mapped (the platform's error, e.g.
  //     ERROR_NOT_ENOUGH_MEMORY, ERROR_ACCESS_DENIED);
  //   kExists (-2): an area of that name exists, from any process
  //     (ERROR_ALREADY_EXISTS);
  //   kNameTooLong (-3): name of kConnectionNameLimit units or more
  //     (ERROR_FILENAME_EXCED_RANGE); the renderer could never find it.
  // On failure the connection is closed.
  [[nodiscard]] virtual CreateResult Create(std::u16string name, std::uint32_t capacity);

  // Removes the registry value of the connection's name, then closes.
  virtual void Destroy();

  // Attaches to an existing control area as a guest: block ids of this side
  // start above kGuestBlockBase, no own records. The header is validated
  // against the bytes actually mapped before anything else is read. 0 on
  // success; -1 on failure with the last error saying why:
  // ERROR_FILE_NOT_FOUND (no such area), ERROR_INVALID_DATA (an area that
  // fails validation; LastAreaCheck tells which check), or the platform's
  // mapping error. On failure the connection is closed.
  [[nodiscard]] virtual std::int32_t Open(std::u16string name);

  // Releases this process's hold on the lock, unmaps every block and the
  // area and forgets the name. Never waits on another process.
  virtual void Close();

  // True when the foreground window belongs to the area's creator and that
  // is another process. False when closed or when this process created it.
  virtual bool IsOwnerForeground();

  virtual bool IsOpen();
  // The name as given to Create or Open (backslashes kept); empty if closed.
  virtual std::u16string GetName();

  // Claims the first free slot (type 0), zeroes it and writes type, size
  // (RecordSizeForType), a fresh id (never 0) and counts; raises highestSlot
  // and recordCount. Null when closed, for type "HEAD", or when every slot
  // is taken (the header is then unchanged).
  [[nodiscard]] virtual Record* CreateRecord(std::uint32_t type);
  // Zeroes the slot with that id and releases the blocks the record owns
  // (this side's mappings of them). recordCount and highestSlot go down by
  // one (never below 0). -1 when closed; 0 otherwise, also when no slot had
  // the id. Id 0 matches no slot (free slots have id 0).
  [[nodiscard]] virtual std::int32_t DeleteRecord(std::uint32_t recordId);
  // Records of that type whose flags agree with value under mask (mask 0:
  // all), scanning slots 0..highestSlot within the mapped slots.
  virtual std::uint32_t CountRecords(std::uint32_t type, std::uint32_t mask, std::uint32_t value);
  // The slot with that id, or null (also for id 0).
  virtual Record* FindRecord(std::uint32_t recordId);
  virtual std::vector<Record*> GetRecords(std::uint32_t type, std::uint32_t mask, std::uint32_t value);
  // ORs flags into the record; setting bit 0 also counts changeCount up.
  // Null records are ignored.
  virtual void SetRecordFlags(Record* record, std::uint32_t flags);
  virtual void ClearRecordFlags(Record* record, std::uint32_t flags);
  virtual std::uint32_t TestRecordFlags(Record* record, std::uint32_t mask);

  // Header flags: bit 0 changed (setting it counts changeCount and
  // updateCount up), bit 1 closed (the renderer ends the link).
  virtual void SetFlags(std::uint32_t flags);
  virtual void ClearFlags(std::uint32_t flags);
  virtual std::uint32_t TestFlags(std::uint32_t mask);
  virtual void SetUpdateCount(std::uint32_t count);
  virtual std::uint32_t GetUpdateCount();

  // The header's label (64 units). A text that does not fit with its NUL is
  // refused and leaves the field empty; null empties it. The text is read no
  // further than the field's width. GetLabel points into shared memory (null
  // when closed); another process may change it at any time.
  virtual void SetLabel(const char16_t* text);
  virtual char16_t* GetLabel();

  // The cross-process lock in the header (lockOwner = holder's pid): true
  // once taken or already held by this process. Waits up to the timeout
  // (0: one attempt). Beyond a plain spin lock: a holder whose process is
  // gone (exited, killed, a zombie) is taken over, so a crashed peer cannot
  // block the link for good. False when closed or at the timeout.
  [[nodiscard]] virtual bool Lock(std::uint32_t timeoutMicroseconds);
  // Frees the lock if this process holds it; never frees another's.
  virtual void Unlock();

  // A new block of size bytes named after the area's creator and a fresh id,
  // owned by ownerRecordId and mapped here. Beyond a plain create: an id
  // whose name is still held by someone (a renderer that kept a block of an
  // earlier link run open) is skipped, up to 64 in a row. 0 on failure
  // (closed, size 0, the mapping failed or came out smaller than size).
  [[nodiscard]] virtual std::uint32_t CreateBlock(std::uint32_t ownerRecordId, std::uint32_t size);
  // Forgets the block's owner and unmaps it here; the object lives on while
  // another process maps it.
  virtual void ReleaseBlock(std::uint32_t blockId);
  // This side's view of a block (created here or by the peer), mapped on
  // first use; null when closed, for id 0, or when no such block exists.
  // GetBlockSize gives the bytes that may be touched. A guest (the
  // renderer's side) maps the creator's blocks read-only: they are the
  // publisher's, who rewrites only the parts that changed and so trusts
  // the rest to hold what it wrote; a write to one faults.
  virtual void* OpenBlock(std::uint32_t blockId);
  // Unmaps a block here without touching its owner entry.
  virtual void CloseBlock(std::uint32_t blockId);

  // Adds the registry value of the connection's name (kind 1) once per
  // Create. 0 on success or when already announced; -1 without a name.
  // A failed registry write is not reported (the link still works when the
  // renderer is given the name another way).
  [[nodiscard]] virtual std::int32_t Announce();
  // Open, the closed bit (bit 1) not set by the renderer, and the control
  // area not shrunk under us by the peer (see MappingBroken).
  virtual bool IsConnected();

  // Posts kWakeMessage (wParam parameter, lParam code) to every renderer main
  // window. The window list is cached and searched again when empty, after
  // Create, or when a cached window has gone. May be entered from several
  // threads; a caller waits at most 25 ms for another's notify. 0 when at
  // least one window took the message, -1 otherwise.
  [[nodiscard]] virtual std::int32_t Notify(std::uint32_t code, std::uint32_t parameter);

  // Writes the "VIEW" record (creator only; nothing otherwise). active and
  // cameraData (a CameraViewData): the record is cleared-flagged, written,
  // flagged changed and the renderer notified. Otherwise active becomes 0,
  // the camera is copied when given, and the record is flagged changed
  // without a notification.
  virtual void UpdateView(bool active, const void* cameraData);
  // Writes StatusText(values) into this connection's status block, creating
  // a block twice the text's size when there is none yet or the text does
  // not fit (the old one is released), writes its id and capacity into the
  // "STAT" record and flags it. The record's copy is never read back: what
  // a renderer writes there cannot redirect the text or release a block.
  // A text whose doubled size does not fit 32 bits is not written.
  virtual void UpdateStatus(const StatusMap& values);

  // The peer's fields of the header (260 units each; same rules as the
  // label). The publisher never writes them.
  virtual void SetPeerText1(const char16_t* text);
  virtual char16_t* GetPeerText1();
  virtual void SetPeerText2(const char16_t* text);
  virtual char16_t* GetPeerText2();
  virtual void SetPeerValue(std::uint32_t value);
  virtual std::uint32_t GetPeerValue();
  // Both peer texts are non-empty.
  virtual bool HasPeerTexts();

  // A control area of that name can be opened now (any process's).
  virtual bool ConnectionExists(const std::u16string& name);
  // Sets / deletes the registry value of name (kind 1). 0 on success, -1 for
  // an empty name or a registry failure (the last error has its code).
  [[nodiscard]] virtual std::int32_t RegisterConnection(const std::u16string& name);
  [[nodiscard]] virtual std::int32_t UnregisterConnection(const std::u16string& name);
  // ---- slot order ends here ----

  // Not part of the table (adding them does not move any slot).

  // What EnumConnections lists, and whether that list is whole. It is not
  // when the key could not be read (a damaged store, no descriptor free)
  // or an area could not be looked at for want of descriptors or memory
  // (error: the first such failure). A name missing from a list that is
  // not whole may still be announced. Values whose area could not be
  // looked at are kept, never purged: their link may well be alive. A
  // missing key is a whole, empty list. EnumConnections gives the names.
  struct ConnectionList {
    std::vector<std::u16string> names;
    DWORD error = 0;
    bool whole() const { return error == 0; }
  };
  ConnectionList ReadConnections(std::uint32_t kind);

  // Bytes mapped for a block this connection created or opened, 0 when the
  // block is not in the table. A reader checks a record's blockCapacity
  // against this before reading the block. On Windows it is whole pages
  // (all of them readable): a view cannot tell a section's exact size.
  std::size_t GetBlockSize(std::uint32_t blockId) const;
  // The checked view over the mapped control area (invalid while closed).
  const ControlAreaView& Area() const { return area_; }
  // Bytes actually mapped for the control area, 0 while closed.
  std::size_t MappedBytes() const { return mappedBytes_; }
  // Address of this connection's own "VIEW" / "STAT" record (creator only).
  Record* OwnViewRecord() const { return view_; }
  Record* OwnStatRecord() const { return stat_; }
  // True when the peer shrank the control area or one of the mapped blocks
  // under this process (platform::IsViewBroken): such a view reads as zeros
  // and the link should end and say so. Checks every mapped block once any
  // view of the process broke, so it must not run while another thread
  // releases blocks; ViewShrunkSinceOpen is the check for that case.
  bool MappingBroken() const;
  // True when some shared memory view of this process was found shrunk since
  // this connection was created or opened (any view, not only this
  // connection's). Cheap and safe from any thread; a process whose only
  // views are its link's ends the link on it.
  bool ViewShrunkSinceOpen() const;
  // Which check the area failed at the last Open (Ok when it passed or the
  // area did not exist); Describe gives a text for messages.
  AreaCheck LastAreaCheck() const { return lastAreaCheck_; }

 private:
  struct Tables;  // concurrent block and owner tables (connection_tables.h)

  void CloseAll();  // what Close does; also called by the destructor directly
  bool TryTakeLock(std::uint32_t self, bool mayTakeOver, bool checkMaps);
  std::u16string BlockNameFor(std::uint32_t blockId) const;
  static std::uint32_t SafeTextLength(const char16_t* text, std::uint32_t limit);
  void SetFixedText(char16_t* field, std::uint32_t units, const char16_t* text);

  const std::uint32_t pid_;
  std::u16string name_;
  HANDLE mapping_ = nullptr;
  void* base_ = nullptr;
  std::uint64_t brokenMark_ = 0;  // platform::BrokenViewCount() when opened
  std::size_t mappedBytes_ = 0;
  ControlAreaView area_;
  Record* view_ = nullptr;
  Record* stat_ = nullptr;
  // The status record's id and its block as this side made them; never read
  // back from shared memory.
  std::uint32_t statId_ = 0;
  std::uint32_t statusBlock_ = 0;
  std::uint32_t statusCapacity_ = 0;
  AreaCheck lastAreaCheck_ = AreaCheck::Ok;
  bool guest_ = false;  // opened another process's area, not created it
  std::atomic<std::uint32_t> recordIds_{0};
  std::atomic<std::uint32_t> blockIds_{0};
  std::unique_ptr<Tables> tables_;
  std::atomic<bool> announced_{false};

  std::atomic<bool> windowsStale_{false};
  TimedMutex notifyMutex_;
  // The renderer windows Notify found last.
  std::vector<HWND> windows_ GUARDED_BY(notifyMutex_);
};

}  // namespace CorvantaAPI
