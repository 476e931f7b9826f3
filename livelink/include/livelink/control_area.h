// Checked access to a mapped control area. The other side of the link may
// write anything into the shared bytes at any time, so nothing read from the
// header (highestSlot, capacity, record sizes, block capacities) is trusted
// as an index or length: every scan and read here is bounded by the size that
// was actually mapped. Used by the connection itself and by renderer-side
// readers such as velmar.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "livelink/layout.h"

namespace CorvantaAPI {

enum class AreaCheck {
  Ok,
  TooSmall,         // the mapping cannot even hold the header
  BadType,          // the first four bytes are not "HEAD"
  BadRecordOffset,  // slot 0 is not at byte 2048
  BadCapacity,      // (capacity + 1) * 2048 does not fit in 32 bits
  BadTotalSize,     // totalSize disagrees with the capacity or the mapping
};

// A short English reason, for messages.
const char* Describe(AreaCheck check);

// Checks a header before anything else is read from the area: type "HEAD",
// record offset 2048, totalSize == (capacity + 1) * 2048 and totalSize not
// beyond mappedSize. Never reads outside [base, base + mappedSize).
AreaCheck ValidateControlArea(const void* base, std::size_t mappedSize);

// (capacity + 1) * 2048 as the size of a control area, or 0 when that does
// not fit in 32 bits (the computation must not wrap to a small area).
std::uint32_t ControlAreaBytes(std::uint32_t capacity);

// A view over a control area whose slot count was fixed when it was mapped.
//
// Threads: a view is a plain value; any thread may read through it while
// the mapping lives, and what it reads may change under it at any time
// (another process writes the same bytes).
class ControlAreaView {
 public:
  ControlAreaView() = default;
  // slotCount must be the number of whole slots that lie inside the mapping.
  ControlAreaView(void* base, std::uint32_t slotCount)
      : base_(static_cast<std::uint8_t*>(base)), slotCount_(slotCount) {}

  bool valid() const { return base_ != nullptr; }
  Header* header() const { return reinterpret_cast<Header*>(base_); }
  std::uint32_t slotCount() const { return slotCount_; }

  // Number of slots a scan visits now: highestSlot + 1 as the peer left it,
  // but never more than the mapped slots (and no wrap at 0xFFFFFFFF).
  std::uint32_t ScanLimit() const;
  // Address of slot i, or null past the mapped slots.
  Record* Slot(std::uint32_t index) const;
  // Slot index of an address inside the slot array, or -1.
  std::int64_t IndexOf(const void* record) const;

 private:
  std::uint8_t* base_ = nullptr;
  std::uint32_t slotCount_ = 0;
};

// Bytes of a record that may be read: its size field clamped to [20, 2048].
std::uint32_t ReadableRecordBytes(const Record* record);

// A NUL-terminated UTF-16 field of fixed width; a field the peer filled to
// the brim without a NUL ends at its width.
std::u16string ReadFixedText(const char16_t* field, std::size_t units);

// The status text of a "STAT" block: UTF-16 up to its NUL, read from at most
// min(blockCapacity, mappedBytes) bytes. Whatever the record claims, nothing
// past the mapping is read.
std::u16string ReadStatusText(const void* block, std::size_t mappedBytes, std::uint32_t blockCapacity);

}  // namespace CorvantaAPI
