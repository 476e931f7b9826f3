#include "livelink/control_area.h"

#include "base/fixed_text.h"

#include <algorithm>
#include <cstring>

namespace CorvantaAPI {

const char* Describe(AreaCheck check) {
  switch (check) {
    case AreaCheck::Ok: return "valid";
    case AreaCheck::TooSmall: return "mapping smaller than the header";
    case AreaCheck::BadType: return "header type is not HEAD";
    case AreaCheck::BadRecordOffset: return "record offset is not 2048";
    case AreaCheck::BadCapacity: return "capacity too large for a 32-bit area";
    case AreaCheck::BadTotalSize: return "total size disagrees with capacity or mapping";
  }
  return "unknown";
}

std::uint32_t ControlAreaBytes(std::uint32_t capacity) {
  const std::uint64_t bytes = (static_cast<std::uint64_t>(capacity) + 1) * kSlotBytes;
  return bytes > UINT32_MAX ? 0 : static_cast<std::uint32_t>(bytes);
}

AreaCheck ValidateControlArea(const void* base, std::size_t mappedSize) {
  if (base == nullptr || mappedSize < kRecordOffset) return AreaCheck::TooSmall;
  const auto* header = static_cast<const Header*>(base);
  if (LoadShared(header->type) != kTypeHead) return AreaCheck::BadType;
  if (LoadShared(header->recordOffset) != kRecordOffset) return AreaCheck::BadRecordOffset;
  const std::uint32_t areaBytes = ControlAreaBytes(LoadShared(header->capacity));
  if (areaBytes == 0) return AreaCheck::BadCapacity;
  if (LoadShared(header->totalSize) != areaBytes || areaBytes > mappedSize) return AreaCheck::BadTotalSize;
  return AreaCheck::Ok;
}

std::uint32_t ControlAreaView::ScanLimit() const {
  if (base_ == nullptr) return 0;
  const std::uint32_t highest = LoadShared(header()->highestSlot);
  // highest + 1 in 64 bits: 0xFFFFFFFF must not wrap to an empty scan.
  const std::uint64_t wanted = static_cast<std::uint64_t>(highest) + 1;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(wanted, slotCount_));
}

Record* ControlAreaView::Slot(std::uint32_t index) const {
  if (base_ == nullptr || index >= slotCount_) return nullptr;
  return reinterpret_cast<Record*>(base_ + kRecordOffset + static_cast<std::size_t>(index) * kSlotBytes);
}

std::int64_t ControlAreaView::IndexOf(const void* record) const {
  if (base_ == nullptr || record == nullptr) return -1;
  const auto* p = static_cast<const std::uint8_t*>(record);
  const std::uint8_t* first = base_ + kRecordOffset;
  if (p < first) return -1;
  const std::size_t offset = static_cast<std::size_t>(p - first);
  if (offset % kSlotBytes != 0 || offset / kSlotBytes >= slotCount_) return -1;
  return static_cast<std::int64_t>(offset / kSlotBytes);
}

std::uint32_t ReadableRecordBytes(const Record* record) {
  if (record == nullptr) return 0;
  return std::clamp(LoadShared(record->size), kRecordHeadBytes, kSlotBytes);
}

std::u16string ReadFixedText(const char16_t* field, std::size_t units) { return base::ReadFixedText(field, units); }

std::u16string ReadStatusText(const void* block, std::size_t mappedBytes, std::uint32_t blockCapacity) {
  if (block == nullptr) return {};
  const std::size_t bytes = std::min<std::size_t>(mappedBytes, blockCapacity);
  return ReadFixedText(static_cast<const char16_t*>(block), bytes / sizeof(char16_t));
}

}  // namespace CorvantaAPI
