#include "scene_mirror.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <unordered_map>

#include "base/utf.h"
#include "bitmap.h"
#include "geometry_block.h"
#include "livelink/control_area.h"
#include "util/text.h"

using namespace CorvantaAPI;

namespace velmar {

namespace {

std::string Hex(std::uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", id);
  return text;
}

bool FiniteAll(const float* values, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (!std::isfinite(values[i])) return false;
  return true;
}

bool Transient(DWORD error) {
  return error == ERROR_TOO_MANY_OPEN_FILES || error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_TIMEOUT;
}

// The texture path as a file of this machine: as written, else with the
// Windows separators turned.
std::string LocalPath(const std::u16string& path) {
  std::string narrow = base::ToUtf8(path);
  std::error_code ignored;
  if (std::filesystem::exists(narrow, ignored)) return narrow;
  std::replace(narrow.begin(), narrow.end(), '\\', '/');
  return narrow;
}

}  // namespace

std::string PercentDecode(const std::string& text) {
  auto hex = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

SceneMirror::SceneMirror(LiveConnection& connection, std::size_t chunkBytes)
    : connection_(&connection), chunkBytes_(chunkBytes) {}

SceneMirror::~SceneMirror() { Reset(); }

std::vector<Problem> SceneMirror::TakeProblems() {
  std::vector<Problem> taken;
  taken.swap(problems_);
  return taken;
}

void SceneMirror::Reset() {
  if (connection_->IsOpen())
    for (const auto& [slot, entry] : surfaces_)
      if (entry.mappedBlock != 0) connection_->CloseBlock(entry.mappedBlock);
  surfaces_.clear();
  viewSlot_ = statSlot_ = UINT32_MAX;
  viewId_ = statId_ = viewChange_ = statChange_ = 0;
  viewStale_ = statStale_ = true;
  headerProblems_.clear();
  reads_.clear();
  scene_ = Scene();
}

void SceneMirror::Report(std::uint32_t slot, std::uint32_t id, const char* record, std::string field,
                         std::string message) {
  problems_.push_back({slot, id, record, std::move(field), std::move(message)});
  if (counter_ != nullptr) ++*counter_;
}

void SceneMirror::ReportHeader(const std::string& field, const std::string& message, bool holds) {
  // Checked on every update: said once while the condition lasts.
  if (!holds) {
    headerProblems_.erase(field);
  } else if (headerProblems_.insert(field).second) {
    Report(0, 0, "HEAD", field, message);
  }
}

UpdateStats SceneMirror::Update(std::uint32_t lockTimeoutUs) {
  UpdateStats stats;
  if (!connection_->IsOpen()) return stats;
  counter_ = &stats.problems;
  transientError_ = 0;
  stats.locked = connection_->Lock(lockTimeoutUs);
  const ControlAreaView& area = connection_->Area();
  const Header* header = area.header();
  stats.changeCount = LoadShared(header->changeCount);
  const std::uint32_t highest = LoadShared(header->highestSlot);
  ReportHeader("highestSlot",
               "slot " + std::to_string(highest) + " lies past the " + std::to_string(area.slotCount()) +
                   " mapped slots; only those are read",
               static_cast<std::uint64_t>(highest) >= area.slotCount());

  const std::uint32_t limit = area.ScanLimit();
  stats.slotsScanned = limit;
  bool seenView = false, seenStat = false;
  for (std::uint32_t slot = 0; slot < limit; ++slot) {
    const Record* record = area.Slot(slot);
    const std::uint32_t type = LoadShared(record->type);
    if (type == kTypeSurface) {
      const std::uint32_t id = LoadShared(record->id);
      auto found = surfaces_.find(slot);
      if (found != surfaces_.end() && found->second.id != id) found = Forget(found, stats), found = surfaces_.end();
      if (found == surfaces_.end()) {
        found = surfaces_.emplace(slot, Entry(chunkBytes_)).first;
        found->second.id = id;
        ++stats.surfacesAdded;
      }
      ReadSurface(slot, record, found->second, stats);
      continue;
    }
    // A retired surface ("SRFI"), a freed slot or another record: whatever
    // surface this slot held is gone.
    if (auto gone = surfaces_.find(slot); gone != surfaces_.end()) Forget(gone, stats);
    if (type == kTypeView && !seenView) {
      seenView = true;
      ReadCamera(slot, record, stats);
    } else if (type == kTypeStat && !seenStat) {
      seenStat = true;
      ReadStatus(slot, record, stats);
    }
  }
  // Slots past the scan (highestSlot lowered) hold nothing any more.
  for (auto it = surfaces_.lower_bound(limit); it != surfaces_.end();) it = Forget(it, stats);
  if (!seenView && viewSlot_ != UINT32_MAX) {
    viewSlot_ = UINT32_MAX;
    scene_.camera = Camera();
    stats.cameraRead = true;
  }
  if (stats.locked) connection_->Unlock();
  ReportHeader("blocks",
               "blocks or files could not be opened (error " + std::to_string(transientError_) +
                   ", out of descriptors or memory); what they hold is read again at the next update",
               transientError_ != 0);
  counter_ = nullptr;
  if (stats.changed()) Rebuild();
  // A second copy made for a holder that has let go since is memory for
  // nothing: a large surface is kept once between updates.
  for (auto& [slot, entry] : surfaces_) entry.geometry.Trim();
  return stats;
}

std::vector<const Geometry*> SceneMirror::GeometriesToChange() const {
  std::vector<const Geometry*> changing;
  if (!connection_->IsOpen()) return changing;
  const ControlAreaView& area = connection_->Area();
  const std::uint32_t limit = area.ScanLimit();
  for (const auto& [slot, entry] : surfaces_) {
    if (slot >= limit) break;
    const Geometry* geometry = entry.geometry.get();
    if (geometry == nullptr) continue;
    const Record* record = area.Slot(slot);
    if (LoadShared(record->type) != kTypeSurface || LoadShared(record->id) != entry.id) continue;
    if (!entry.stale && LoadShared(record->changeCount) == entry.recordChange) continue;
    const std::uint32_t size = LoadShared(record->size);
    if (size < kSurfaceRecordSize || size > kSlotBytes) continue;
    SurfaceRecord copy;
    std::memcpy(&copy, record, sizeof copy);
    if (copy.geometryChangeCount != entry.geometryChange || copy.geometryBlockId != entry.geometryBlock ||
        copy.geometryBlockCapacity != entry.geometryCapacity)
      changing.push_back(geometry);
  }
  return changing;
}

std::map<std::uint32_t, SceneMirror::Entry>::iterator SceneMirror::Forget(std::map<std::uint32_t, Entry>::iterator it,
                                                                          UpdateStats& stats) {
  stats.surfacesGone.push_back(it->second.id);
  ++stats.surfacesRemoved;
  if (it->second.mappedBlock != 0) connection_->CloseBlock(it->second.mappedBlock);
  return surfaces_.erase(it);
}

void SceneMirror::ReadSurface(std::uint32_t slot, const Record* record, Entry& entry, UpdateStats& stats) {
  const std::uint32_t change = LoadShared(record->changeCount);
  if (!entry.stale && change == entry.recordChange) return;  // nothing published since
  entry.recordChange = change;
  entry.stale = false;
  currentSlot_ = slot;
  currentId_ = entry.id;
  entry.surface.recordId = entry.id;
  entry.surface.slot = slot;

  const std::uint32_t size = LoadShared(record->size);
  if (size < kSurfaceRecordSize || size > kSlotBytes) {
    Report(slot, entry.id, "SRFC", "size",
           "record size " + std::to_string(size) + " cannot hold a surface (" + std::to_string(kSurfaceRecordSize) +
               " bytes); the surface keeps what it had");
    return;
  }
  // One copy of the record: decoding then sees one set of values even while
  // the publisher writes.
  SurfaceRecord copy;
  std::memcpy(&copy, record, sizeof copy);

  std::size_t before[3] = {stats.parametersRead, stats.texturesRead, stats.geometriesRead};
  if (!entry.haveMaterial || copy.materialChangeCount != entry.materialChange) {
    ReadParameters(copy, entry);
    ++stats.parametersRead;
  }
  const std::u16string path = ReadFixedText(copy.texturePath, kSurfaceTextUnits);
  if (!entry.haveTexture || copy.textureStamp != entry.textureStamp || copy.textureBlockId != entry.textureBlock ||
      copy.textureBlockCapacity != entry.textureCapacity || path != entry.texturePath) {
    ReadTexture(copy, entry);
    ++stats.texturesRead;
  }
  if (!entry.haveGeometry || copy.geometryChangeCount != entry.geometryChange ||
      copy.geometryBlockId != entry.geometryBlock || copy.geometryBlockCapacity != entry.geometryCapacity) {
    const std::size_t copies = entry.geometry.copies();
    stats.geometryBytesChanged += ReadGeometry(copy, entry);
    ++stats.geometriesRead;
    stats.geometriesCopied += entry.geometry.copies() - copies;
  }
  ReadCounts& counts = reads_[entry.id];
  counts.parameters += stats.parametersRead - before[0];
  counts.texture += stats.texturesRead - before[1];
  counts.geometry += stats.geometriesRead - before[2];
  if (stats.parametersRead + stats.texturesRead + stats.geometriesRead != before[0] + before[1] + before[2])
    stats.surfacesRead.push_back(slot);

  // Published again while it was read, or a part could not be opened:
  // read it once more next time.
  if (LoadShared(record->changeCount) != change || !entry.haveTexture || !entry.haveGeometry) entry.stale = true;
}

void SceneMirror::ReadParameters(const SurfaceRecord& copy, Entry& entry) {
  entry.haveMaterial = true;
  entry.materialChange = copy.materialChangeCount;
  Surface& s = entry.surface;
  s.name = base::ToUtf8(ReadFixedText(copy.name, kSurfaceTextUnits));
  s.surfaceType = copy.surfaceType;
  if (copy.surfaceType < 0 || copy.surfaceType > 9) {
    Report(currentSlot_, currentId_, "SRFC", "surfaceType",
           "surface type " + std::to_string(copy.surfaceType) + " is not one of 0 to 9; drawn as none");
    s.surfaceType = 0;
  }
  s.colour = copy.colour;
  const float values[4] = {copy.shine, copy.opacity, copy.attenuation, copy.percentage};
  const char* names[4] = {"shine", "opacity", "attenuation", "percentage"};
  float* targets[4] = {&s.shine, &s.opacity, &s.attenuation, &s.percentage};
  const float fallback[4] = {1, 1, 0, 0};
  for (int i = 0; i < 4; ++i) {
    if (std::isfinite(values[i])) {
      *targets[i] = values[i];
    } else {
      *targets[i] = fallback[i];
      Report(currentSlot_, currentId_, "SRFC", names[i], "not a finite number");
    }
  }
}

void SceneMirror::ReadTexture(const SurfaceRecord& copy, Entry& entry) {
  entry.haveTexture = true;
  entry.textureStamp = copy.textureStamp;
  entry.textureBlock = copy.textureBlockId;
  entry.textureCapacity = copy.textureBlockCapacity;
  entry.texturePath = ReadFixedText(copy.texturePath, kSurfaceTextUnits);
  Surface& s = entry.surface;
  s.texturePath = entry.texturePath;
  s.textureStamp = copy.textureStamp;

  retry_ = false;
  if (copy.textureBlockId != 0) {
    auto texture = std::make_shared<Texture>();
    if (ReadBlock({currentSlot_, currentId_, "SRFC", "textureBlockId", "textureBlockCapacity", "texture block "},
                  copy.textureBlockId, copy.textureBlockCapacity,
                  [&](const std::uint8_t* data, std::size_t bytes, std::string* field, std::string* error) {
                    return DecodeBitmap(data, bytes, &texture->image, field, error);
                  })) {
      texture->source = "block " + Hex(copy.textureBlockId);
      s.texture = std::move(texture);
    }
    if (retry_) entry.haveTexture = false;
    return;
  }
  if (!entry.texturePath.empty()) {
    auto texture = std::make_shared<Texture>();
    const std::string file = LocalPath(entry.texturePath);
    std::string error;
    errno = 0;
    if (!ReadImageFile(file, &texture->image, &error)) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOMEM) {
        if (transientError_ == 0)
          transientError_ = errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_TOO_MANY_OPEN_FILES;
        entry.haveTexture = false;
        retry_ = true;
        return;
      }
      Report(currentSlot_, currentId_, "SRFC", "texturePath", error);
      return;  // the last picture that could be read stays
    }
    texture->source = file;
    s.texture = std::move(texture);
    return;
  }
  s.texture.reset();
}

std::size_t SceneMirror::ReadGeometry(const SurfaceRecord& copy, Entry& entry) {
  entry.haveGeometry = true;
  entry.geometryChange = copy.geometryChangeCount;
  entry.geometryBlock = copy.geometryBlockId;
  entry.geometryCapacity = copy.geometryBlockCapacity;
  Surface& s = entry.surface;
  // A block the record no longer names is let go: the publisher has
  // released it, and this view would keep its memory alive.
  if (entry.mappedBlock != 0 && entry.mappedBlock != copy.geometryBlockId) {
    connection_->CloseBlock(entry.mappedBlock);
    entry.mappedBlock = 0;
  }
  if (copy.geometryBlockId == 0) {
    s.geometry.reset();  // the material has no triangles (any more)
    entry.geometry.Clear();
    return 0;
  }
  // The mirror's own references go, so that a geometry nobody else holds
  // is brought up to date in place (the scene is rebuilt after the read).
  s.geometry.reset();
  for (Surface& held : scene_.surfaces)
    if (held.slot == currentSlot_) held.geometry.reset();
  std::size_t repaired = 0;
  bool changed = false;
  retry_ = false;
  const bool taken = ReadBlock(
      {currentSlot_, currentId_, "SRFC", "geometryBlockId", "geometryBlockCapacity", "geometry block "},
      copy.geometryBlockId, copy.geometryBlockCapacity,
      [&](const std::uint8_t* data, std::size_t bytes, std::string* field, std::string* error) {
        return entry.geometry.Read(data, bytes, &changed, field, error, &repaired);
      },
      true);
  if (connection_->GetBlockSize(copy.geometryBlockId) != 0) entry.mappedBlock = copy.geometryBlockId;
  s.geometry = entry.geometry.current();
  if (retry_) entry.haveGeometry = false;
  if (!taken) return 0;
  if (repaired != 0)
    Report(currentSlot_, currentId_, "SRFC", "geometry block normals",
           std::to_string(repaired) + " normal or texture-coordinate values were not finite; taken as 0");
  if (!changed || !s.geometry) return 0;
  if (s.geometry->base == 0) return 32 * s.geometry->vertexCount() + 4 * s.geometry->indices.size();
  std::size_t bytes = 0;
  for (const ArrayRange& r : s.geometry->changed) bytes += 4 * r.count;
  return bytes;
}

bool SceneMirror::ReadBlock(const BlockFields& fields, std::uint32_t blockId, std::uint32_t capacity,
                            const BlockReader& read, bool keep) {
  SetLastError(ERROR_SUCCESS);
  const auto* data = static_cast<const std::uint8_t*>(connection_->OpenBlock(blockId));
  if (data == nullptr) {
    // A block that could not be opened for want of descriptors or memory
    // may well be there: that is no fault of the publication, and the part
    // is read again at the next update rather than taken as read.
    if (const DWORD why = GetLastError(); Transient(why)) {
      if (transientError_ == 0) transientError_ = why;
      retry_ = true;
      return false;
    }
    Report(fields.slot, fields.recordId, fields.record, fields.idField,
           "block " + Hex(blockId) + " names no block of this link");
    return false;
  }
  const std::size_t mapped = connection_->GetBlockSize(blockId);
  if (capacity > mapped)
    Report(fields.slot, fields.recordId, fields.record, fields.capacityField,
           "claims " + std::to_string(capacity) + " bytes, block " + Hex(blockId) + " has " + std::to_string(mapped) +
               "; read within those");
  std::string field, error;
  const bool ok = read(data, std::min<std::size_t>(capacity, mapped), &field, &error);
  // What is kept has been copied: unless it is to be compared again, the
  // block need not stay mapped here, so the publisher's release of it
  // frees the memory.
  if (!keep) connection_->CloseBlock(blockId);
  if (!ok) Report(fields.slot, fields.recordId, fields.record, fields.contentPrefix + field, error);
  return ok;
}

void SceneMirror::ReadCamera(std::uint32_t slot, const Record* record, UpdateStats& stats) {
  const std::uint32_t id = LoadShared(record->id);
  const std::uint32_t change = LoadShared(record->changeCount);
  if (!viewStale_ && slot == viewSlot_ && id == viewId_ && change == viewChange_) return;
  viewSlot_ = slot;
  viewId_ = id;
  viewChange_ = change;
  viewStale_ = false;
  stats.cameraRead = true;
  const std::uint32_t size = LoadShared(record->size);
  if (size < kViewRecordSize || size > kSlotBytes) {
    Report(slot, id, "VIEW", "size", "record size " + std::to_string(size) + " cannot hold the camera");
    scene_.camera = Camera();
    return;
  }
  ViewRecord copy;
  std::memcpy(&copy, record, sizeof copy);
  Camera camera;
  camera.kind = copy.camera.kind;
  std::memcpy(camera.cameraToWorld.data(), copy.camera.cameraToWorld, sizeof camera.cameraToWorld);
  camera.fieldOfView = copy.camera.fieldOfView;
  std::memcpy(camera.position.data(), copy.camera.position, 12);
  std::memcpy(camera.backward.data(), copy.camera.backward, 12);
  std::memcpy(camera.up.data(), copy.camera.up, 12);
  camera.followed = copy.active == 1 && copy.camera.kind == kCameraPerspective;
  if (camera.followed && !FiniteAll(camera.cameraToWorld.data(), 16)) {
    Report(slot, id, "VIEW", "cameraToWorld", "not finite; the camera is not followed");
    camera.followed = false;
  }
  scene_.camera = camera;
  if (LoadShared(record->changeCount) != change) viewStale_ = true;
}

void SceneMirror::ReadStatus(std::uint32_t slot, const Record* record, UpdateStats& stats) {
  const std::uint32_t id = LoadShared(record->id);
  const std::uint32_t change = LoadShared(record->changeCount);
  if (!statStale_ && slot == statSlot_ && id == statId_ && change == statChange_) return;
  statSlot_ = slot;
  statId_ = id;
  statChange_ = change;
  statStale_ = false;
  stats.statusRead = true;
  const std::uint32_t size = LoadShared(record->size);
  if (size < kStatRecordSize || size > kSlotBytes) {
    Report(slot, id, "STAT", "size", "record size " + std::to_string(size) + " cannot hold the status");
    return;
  }
  const auto* stat = reinterpret_cast<const StatRecord*>(record);
  const std::uint32_t blockId = LoadShared(stat->blockId);
  const std::uint32_t capacity = LoadShared(stat->blockCapacity);
  if (blockId == 0) return;  // no status sent yet
  nlohmann::json parsed;
  retry_ = false;
  const bool taken =
      ReadBlock({slot, id, "STAT", "blockId", "blockCapacity", ""}, blockId, capacity,
                [&](const std::uint8_t* data, std::size_t bytes, std::string* field, std::string* error) {
                  const std::string text = base::ToUtf8(ReadStatusText(data, bytes, capacity));
                  parsed = nlohmann::json::parse(text, nullptr, false);
                  if (!parsed.is_discarded() && parsed.is_object()) return true;
                  *field = "status text";
                  *error = "not a JSON object: " + text.substr(0, 80);
                  return false;
                });
  if (retry_) statStale_ = true;
  if (!taken) return;
  std::map<std::string, std::string> status;
  for (const auto& [key, value] : parsed.items())
    status[key] = value.is_string() ? PercentDecode(value.get<std::string>()) : value.dump();
  scene_.status = std::move(status);
  if (LoadShared(record->changeCount) != change) statStale_ = true;
}

void SceneMirror::Rebuild() {
  scene_.surfaces.clear();
  scene_.surfaces.reserve(surfaces_.size());
  // A surface whose record has never been readable is no surface yet: it
  // has neither a name nor parameters to draw it with.
  for (const auto& [slot, entry] : surfaces_)
    if (entry.haveMaterial) scene_.surfaces.push_back(entry.surface);
}

}  // namespace velmar
