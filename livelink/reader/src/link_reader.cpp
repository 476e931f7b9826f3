#include "livelink/link_reader.h"

#include <cstring>

namespace CorvantaAPI {

std::string TypeName(std::uint32_t type) {
  std::string name(4, '?');
  for (int i = 0; i < 4; ++i) {
    const auto c = static_cast<char>((type >> (8 * i)) & 0xFF);
    if (c >= 0x20 && c < 0x7F) name[static_cast<std::size_t>(i)] = c;
  }
  return name;
}

namespace {

// A field of a record, read once from the shared bytes. Callers only ask for
// fields that lie inside ReadableRecordBytes (<= 2048) of the slot.
template <typename RecordType, typename Field>
Field ReadField(const Record* record, Field RecordType::*member) {
  const auto* typed = reinterpret_cast<const RecordType*>(record);
  Field value;
  std::memcpy(&value, &(typed->*member), sizeof value);
  return value;
}

void ReadCamera(const Record* record, CameraInfo& camera) {
  // The camera bytes are copied out first so the values belong together even
  // while the publisher rewrites the record.
  const auto* view = reinterpret_cast<const ViewRecord*>(record);
  CameraViewData data;
  std::memcpy(&data, &view->camera, sizeof data);
  camera.present = true;
  camera.active = LoadShared(view->active);
  camera.kind = data.kind;
  camera.fieldOfView = data.fieldOfView;
  for (std::size_t i = 0; i < 3; ++i) {
    camera.position[i] = data.position[i];
    camera.backward[i] = data.backward[i];
    camera.up[i] = data.up[i];
  }
}

}  // namespace

LinkSnapshot LinkReader::Read() {
  LinkSnapshot snapshot;
  if (!connection_->IsOpen()) return snapshot;
  const ControlAreaView& area = connection_->Area();
  const Header* header = area.header();
  snapshot.flags = LoadShared(header->flags);
  snapshot.changeCount = LoadShared(header->changeCount);
  snapshot.updateCount = LoadShared(header->updateCount);
  snapshot.recordCount = LoadShared(header->recordCount);
  snapshot.highestSlot = LoadShared(header->highestSlot);
  snapshot.capacity = LoadShared(header->capacity);
  snapshot.creatorPid = LoadShared(header->creatorPid);
  snapshot.lockOwner = LoadShared(header->lockOwner);
  snapshot.label = ReadFixedText(header->label, kLabelUnits);

  const Record* statRecord = nullptr;
  const std::uint32_t limit = area.ScanLimit();
  for (std::uint32_t i = 0; i < limit; ++i) {
    const Record* slot = area.Slot(i);
    RecordInfo info;
    info.type = LoadShared(slot->type);
    if (info.type == 0) continue;
    info.slot = i;
    info.size = LoadShared(slot->size);
    info.id = LoadShared(slot->id);
    info.flags = LoadShared(slot->flags);
    info.changeCount = LoadShared(slot->changeCount);
    // A payload field is read only when the slot's claimed size covers it;
    // the claim itself is clamped to the slot.
    const std::uint32_t readable = ReadableRecordBytes(slot);
    if (info.type == kTypeStat && readable >= kStatRecordSize) {
      info.blockId = ReadField(slot, &StatRecord::blockId);
      info.blockCapacity = ReadField(slot, &StatRecord::blockCapacity);
      if (statRecord == nullptr) statRecord = slot;
    } else if ((info.type == kTypeSurface || info.type == kTypeRetiredSurface) && readable >= kSurfaceRecordSize) {
      info.blockId = ReadField(slot, &SurfaceRecord::geometryBlockId);
      info.blockCapacity = ReadField(slot, &SurfaceRecord::geometryBlockCapacity);
    } else if (info.type == kTypeView && readable >= kViewRecordSize && !snapshot.camera.present) {
      ReadCamera(slot, snapshot.camera);
    }
    snapshot.records.push_back(info);
  }

  if (statRecord == nullptr) {
    snapshot.statusProblem = "no STAT record";
    return snapshot;
  }
  const std::uint32_t blockId = ReadField(statRecord, &StatRecord::blockId);
  const std::uint32_t capacity = ReadField(statRecord, &StatRecord::blockCapacity);
  if (blockId != statusBlock_) {
    connection_->CloseBlock(statusBlock_);
    statusBlock_ = blockId;
  }
  if (blockId == 0) {
    snapshot.statusProblem = "no status block yet";
    return snapshot;
  }
  const void* block = connection_->OpenBlock(blockId);
  if (block == nullptr) {
    snapshot.statusProblem = "status block cannot be opened";
    return snapshot;
  }
  const std::size_t mapped = connection_->GetBlockSize(blockId);
  if (capacity > mapped) snapshot.statusProblem = "status block smaller than its record claims";
  snapshot.statusText = ReadStatusText(block, mapped, capacity);
  return snapshot;
}

}  // namespace CorvantaAPI
