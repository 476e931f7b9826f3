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

std::uint32_t ReadU32(const Record* record, std::size_t offset) {
  // Callers only ask for offsets below ReadableRecordBytes (<= 2048).
  std::uint32_t value;
  std::memcpy(&value, reinterpret_cast<const std::uint8_t*>(record) + offset, sizeof value);
  return value;
}

float ReadF32(const std::uint8_t* bytes, std::size_t offset) {
  float value;
  std::memcpy(&value, bytes + offset, sizeof value);
  return value;
}

void ReadCamera(const Record* record, CameraInfo& camera) {
  // The camera bytes are copied out first so the values belong together even
  // while the publisher rewrites the record.
  std::uint8_t data[kCameraDataBytes];
  std::memcpy(data, reinterpret_cast<const ViewRecord*>(record)->camera, sizeof data);
  camera.present = true;
  camera.active = LoadShared(reinterpret_cast<const ViewRecord*>(record)->active);
  std::memcpy(&camera.kind, data + 584, sizeof camera.kind);
  camera.fieldOfView = ReadF32(data, 588);
  for (std::size_t i = 0; i < 3; ++i) {
    camera.position[i] = ReadF32(data, 592 + 4 * i);
    camera.backward[i] = ReadF32(data, 604 + 4 * i);
    camera.up[i] = ReadF32(data, 616 + 4 * i);
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
      info.blockId = ReadU32(slot, offsetof(StatRecord, blockId));
      info.blockCapacity = ReadU32(slot, offsetof(StatRecord, blockCapacity));
      if (statRecord == nullptr) statRecord = slot;
    } else if ((info.type == kTypeSurface || info.type == kTypeRetiredSurface) &&
               readable >= kSurfaceRecordSize) {
      info.blockId = ReadU32(slot, kSurfaceGeometryBlockIdOffset);
      info.blockCapacity = ReadU32(slot, kSurfaceGeometryBlockCapacityOffset);
    } else if (info.type == kTypeView && readable >= kViewRecordSize && !snapshot.camera.present) {
      ReadCamera(slot, snapshot.camera);
    }
    snapshot.records.push_back(info);
  }

  if (statRecord == nullptr) {
    snapshot.statusProblem = "no STAT record";
    return snapshot;
  }
  const std::uint32_t blockId = ReadU32(statRecord, offsetof(StatRecord, blockId));
  const std::uint32_t capacity = ReadU32(statRecord, offsetof(StatRecord, blockCapacity));
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
