// Byte layout of the live link's shared memory: the control area header, the
// record head, and the payloads of the records the connection writes itself.
// Both sides map these bytes, so every offset here is protocol; the
// static_asserts below and livelink_layout_test pin them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace CorvantaAPI {

// A type code is four ASCII bytes in memory order, compared as one
// little-endian 32-bit value: MakeType("HEAD") reads 'H','E','A','D'.
constexpr std::uint32_t MakeType(const char (&code)[5]) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[3])) << 24;
}

inline constexpr std::uint32_t kTypeHead = MakeType("HEAD");
inline constexpr std::uint32_t kTypeView = MakeType("VIEW");
inline constexpr std::uint32_t kTypeStat = MakeType("STAT");
inline constexpr std::uint32_t kTypeSurface = MakeType("SRFC");
inline constexpr std::uint32_t kTypeRetiredSurface = MakeType("SRFI");

inline constexpr std::uint32_t kSlotBytes = 2048;
inline constexpr std::uint32_t kRecordOffset = 2048;
inline constexpr std::uint32_t kHeaderSize = 1244;
inline constexpr std::uint32_t kRecordHeadBytes = 20;
inline constexpr std::uint32_t kLabelUnits = 64;
inline constexpr std::uint32_t kPeerTextUnits = 260;
inline constexpr std::uint32_t kCameraDataBytes = 628;

// Sizes written into a record's head when it is created.
inline constexpr std::uint32_t kViewRecordSize = 652;
inline constexpr std::uint32_t kStatRecordSize = 28;
inline constexpr std::uint32_t kSurfaceRecordSize = 1932;
inline constexpr std::uint32_t kPlainRecordSize = 20;

// Header flags and record flag bit 0.
inline constexpr std::uint32_t kFlagChanged = 1;
inline constexpr std::uint32_t kFlagClosed = 2;

// The wake-up message posted to the renderer's main windows.
inline constexpr std::uint32_t kWakeMessage = 0x8729;
inline constexpr std::uint32_t kNotifyChanged = 2;

// Block ids of a guest start above this value so they never meet the
// creator's ids (1, 2, 3, ...).
inline constexpr std::uint32_t kGuestBlockBase = 0x80000000u;

struct Header {
  std::uint32_t type;          // "HEAD"
  std::uint32_t size;          // 1244
  std::uint32_t id;            // 0
  std::uint32_t flags;         // kFlagChanged | kFlagClosed
  std::uint32_t changeCount;   // +1 per SetFlags with bit 0
  std::uint32_t field20;       // written as 1; the renderer's business
  std::uint32_t lockOwner;     // pid holding the cross-process lock, 0 = free
  std::uint32_t totalSize;     // (capacity + 1) * 2048
  std::uint32_t recordOffset;  // 2048
  std::uint32_t capacity;      // record slots
  std::uint32_t recordCount;   // 1 + live records
  std::uint32_t highestSlot;   // scans run over 0..highestSlot
  std::uint32_t creatorPid;    // part of every block name
  char16_t label[kLabelUnits];
  std::uint8_t reserved[16];
  std::uint32_t updateCount;
  char16_t peerText1[kPeerTextUnits];
  char16_t peerText2[kPeerTextUnits];
  std::uint32_t peerValue;
};

struct Record {
  std::uint32_t type;  // 0 = free slot
  std::uint32_t size;
  std::uint32_t id;  // never 0 for a live record
  std::uint32_t flags;
  std::uint32_t changeCount;
};

struct ViewRecord {
  Record head;
  std::uint32_t active;
  std::uint8_t camera[kCameraDataBytes];
};

struct StatRecord {
  Record head;
  std::uint32_t blockId;        // 0 = no block yet
  std::uint32_t blockCapacity;  // bytes of that block
};

// The tail of a surface record that the transport side knows about; the
// surface payload before it belongs to the material writer.
inline constexpr std::size_t kSurfaceGeometryChangeOffset = 1920;
inline constexpr std::size_t kSurfaceGeometryBlockIdOffset = 1924;
inline constexpr std::size_t kSurfaceGeometryBlockCapacityOffset = 1928;

static_assert(sizeof(Header) == kHeaderSize);
static_assert(offsetof(Header, type) == 0);
static_assert(offsetof(Header, size) == 4);
static_assert(offsetof(Header, id) == 8);
static_assert(offsetof(Header, flags) == 12);
static_assert(offsetof(Header, changeCount) == 16);
static_assert(offsetof(Header, field20) == 20);
static_assert(offsetof(Header, lockOwner) == 24);
static_assert(offsetof(Header, totalSize) == 28);
static_assert(offsetof(Header, recordOffset) == 32);
static_assert(offsetof(Header, capacity) == 36);
static_assert(offsetof(Header, recordCount) == 40);
static_assert(offsetof(Header, highestSlot) == 44);
static_assert(offsetof(Header, creatorPid) == 48);
static_assert(offsetof(Header, label) == 52);
static_assert(offsetof(Header, reserved) == 180);
static_assert(offsetof(Header, updateCount) == 196);
static_assert(offsetof(Header, peerText1) == 200);
static_assert(offsetof(Header, peerText2) == 720);
static_assert(offsetof(Header, peerValue) == 1240);
static_assert(sizeof(Record) == kRecordHeadBytes);
static_assert(offsetof(Record, changeCount) == 16);
static_assert(offsetof(ViewRecord, active) == 20);
static_assert(offsetof(ViewRecord, camera) == 24);
static_assert(sizeof(ViewRecord) == kViewRecordSize);
static_assert(offsetof(StatRecord, blockId) == 20);
static_assert(offsetof(StatRecord, blockCapacity) == 24);
static_assert(sizeof(StatRecord) == kStatRecordSize);
static_assert(kSurfaceGeometryBlockCapacityOffset + 4 == kSurfaceRecordSize);

// The size a new record of this type is given.
constexpr std::uint32_t RecordSizeForType(std::uint32_t type) {
  switch (type) {
    case kTypeView: return kViewRecordSize;
    case kTypeStat: return kStatRecordSize;
    case kTypeSurface: return kSurfaceRecordSize;
    default: return kPlainRecordSize;
  }
}

// Single reads and writes of a 32-bit field that another process may change
// at any moment: the value is read once, so a check and its use see the same
// number.
inline std::uint32_t LoadShared(const std::uint32_t& field) {
  return __atomic_load_n(&field, __ATOMIC_RELAXED);
}
inline void StoreShared(std::uint32_t& field, std::uint32_t value) {
  __atomic_store_n(&field, value, __ATOMIC_RELAXED);
}

}  // namespace CorvantaAPI
