// The two records the connection writes itself: the camera view and the
// status text. Neither takes the cross-process lock; the renderer reads
// them when their changed bit is set.
#include <algorithm>
#include <cstring>

#include "livelink/live_connection.h"
#include "util/text.h"

namespace CorvantaAPI {

void LiveConnection::UpdateView(bool active, const void* cameraData) {
  if (!IsOpen() || view_ == nullptr) return;
  auto* view = reinterpret_cast<ViewRecord*>(view_);
  if (active && cameraData != nullptr) {
    ClearRecordFlags(view_, kFlagChanged);
    StoreShared(view->active, 1);
    std::memcpy(&view->camera, cameraData, sizeof view->camera);
    SetRecordFlags(view_, kFlagChanged);
    // No renderer window to wake is no failure: the record is flagged
    // changed, and a renderer reads it when it next looks.
    (void)Notify(kNotifyChanged, 0);
    return;
  }
  StoreShared(view->active, 0);
  if (cameraData != nullptr) std::memcpy(&view->camera, cameraData, sizeof view->camera);
  SetRecordFlags(view_, kFlagChanged);
}

std::u16string StatusText(const StatusMap& values) {
  std::u16string text;
  text.reserve(2048);
  text += u'{';
  bool first = true;
  for (const auto& [key, value] : values) {
    if (!first) text += u',';
    first = false;
    text += u'"';
    text += key;
    text += u"\":";
    if (value.kind == 0) {
      text += u'"';
      text += util::PercentEncode(value.value);
      text += u'"';
    } else if (value.kind == 1) {
      text += u'"';
      text += value.value;
      text += u'"';
    }
  }
  text += u'}';
  return text;
}

void LiveConnection::UpdateStatus(const StatusMap& values) {
  if (!IsOpen() || stat_ == nullptr) return;
  const std::u16string text = StatusText(values);
  const std::uint64_t bytes = text.size() * sizeof(char16_t) + sizeof(char16_t);
  // The block is made twice the text's size; a text whose doubled size does
  // not fit the 32-bit capacity field is not written at all.
  if (bytes * 2 > UINT32_MAX) return;

  // The block id and capacity are this connection's own: the record's copy
  // is shared memory that the renderer may overwrite, and believing it would
  // let a peer make us release or overwrite another block (a surface's
  // geometry, or one of the renderer's own).
  auto* stat = reinterpret_cast<StatRecord*>(stat_);
  std::uint32_t blockId = statusBlock_;
  void* block = nullptr;
  if (blockId != 0 && statusCapacity_ >= bytes) {
    block = OpenBlock(blockId);
    if (block != nullptr && GetBlockSize(blockId) < bytes) block = nullptr;
  }
  if (block == nullptr) {
    if (blockId != 0) ReleaseBlock(blockId);
    const auto capacity = static_cast<std::uint32_t>(bytes * 2);
    blockId = CreateBlock(statId_, capacity);
    statusBlock_ = blockId;
    statusCapacity_ = blockId != 0 ? capacity : 0;
    if (blockId != 0) block = OpenBlock(blockId);
  }
  StoreShared(stat->blockId, statusBlock_);
  StoreShared(stat->blockCapacity, statusCapacity_);
  if (block != nullptr) {
    std::memset(block, 0, std::min<std::size_t>(statusCapacity_, GetBlockSize(blockId)));
    std::memcpy(block, text.c_str(), bytes);
  }
  SetRecordFlags(stat_, kFlagChanged);
}

}  // namespace CorvantaAPI
