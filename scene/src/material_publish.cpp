// Publication of material records as "SRFC" records of the live link, and
// their retirement as "SRFI".
#include <algorithm>
#include <cstring>
#include <tuple>
#include <vector>

#include "base/fixed_text.h"
#include "livelink/layout.h"
#include "livelink/live_connection.h"
#include "scene/material_library.h"

namespace scene {
namespace {

using CorvantaAPI::SurfaceRecord;

// A surface's texts always end in a NUL inside their field, and a cut never
// splits a character.
void WriteSurfaceText(char16_t* field, std::size_t units, const std::u16string& text) {
  base::WriteFixedText(field, units, text, base::Overflow::TruncateTerminated);
}

}  // namespace

void MaterialLibrary::Publish() {
  if (connection_ == nullptr) return;
  std::vector<std::uint64_t> keys;
  {
    std::lock_guard lock(pendingMutex_);
    if (pendingKeys_.empty()) return;
    keys.assign(pendingKeys_.begin(), pendingKeys_.end());
    pendingKeys_.clear();
  }
  // The default material first, so that a new link's first surface record
  // is always the default material; then the host's attributes in their
  // order, then the texture variants by key: the same model gives the same
  // record order in every run.
  auto rank = [this](std::uint64_t key) {
    const MaterialRecord* record = Holding(key);
    const std::int64_t index = record == nullptr ? -1 : record->attrIndex;
    return std::tuple(key != kDefaultMaterialKey, index < 0, index, key);
  };
  std::sort(keys.begin(), keys.end(), [&](std::uint64_t a, std::uint64_t b) { return rank(a) < rank(b); });
  for (std::uint64_t key : keys) PublishRecord(*Find(key));
  if (!releaseBlocks_.empty()) {
    for (std::uint32_t id : releaseBlocks_) connection_->ReleaseBlock(id);
    releaseBlocks_.clear();
  }
  connection_->SetFlags(CorvantaAPI::kFlagChanged);
}

void MaterialLibrary::PublishRecord(MaterialRecord& record) {
  if (record.key == 0) return;
  if (record.linkRecord == nullptr) {
    record.linkRecord = connection_->CreateRecord(CorvantaAPI::kTypeSurface);
    if (record.linkRecord == nullptr) return;
  }
  auto* surface = reinterpret_cast<SurfaceRecord*>(record.linkRecord);
  WriteSurfaceText(surface->name, CorvantaAPI::kSurfaceTextUnits, record.name);
  surface->surfaceType = record.surfaceType;
  surface->colour = record.colour;
  surface->fixedA = record.fixedA;
  surface->shine = record.shine;
  surface->fixedB = record.fixedB;
  surface->fixedC = record.fixedC;
  surface->opacity = record.opacity;
  surface->attenuation = record.attenuation;
  surface->fixedD = record.fixedD;
  surface->percentage = record.percentage;
  surface->allOnes = CorvantaAPI::kSurfaceAllOnes;
  surface->zero1912 = 0;
  WriteTextureFields(record, reinterpret_cast<std::uint8_t*>(surface));

  std::uint32_t flags = CorvantaAPI::kFlagChanged;
  if (record.changed) {
    surface->materialChangeCount = surface->materialChangeCount + 1;
    flags |= CorvantaAPI::kSurfaceFlagMaterialChanged;
  }
  if (record.textureChanged) flags |= CorvantaAPI::kSurfaceFlagTextureChanged;
  record.changed = false;
  record.textureChanged = false;
  connection_->SetRecordFlags(record.linkRecord, flags);
}

void MaterialLibrary::WriteTextureFields(MaterialRecord& record, std::uint8_t* slot) {
  auto* surface = reinterpret_cast<SurfaceRecord*>(slot);
  if (record.texturePixels == nullptr) {
    WriteSurfaceText(surface->texturePath, CorvantaAPI::kSurfaceTextUnits, record.texturePath);
    if (record.textureBlockId != 0) releaseBlocks_.insert(record.textureBlockId);
    record.textureBlockId = 0;
    record.textureBlockCapacity = 0;
  } else {
    std::memset(surface->texturePath, 0, sizeof(surface->texturePath));
    if (record.textureBlockCapacity < record.textureBytes) {
      if (record.textureBlockId != 0) releaseBlocks_.insert(record.textureBlockId);
      record.textureBlockId = 0;
      record.textureBlockCapacity = 0;
    }
    if (record.textureBlockId == 0) {
      const std::uint32_t owner = CorvantaAPI::LoadShared(record.linkRecord->id);
      record.textureBlockId = connection_->CreateBlock(owner, record.textureBytes);
      record.textureBlockCapacity = record.textureBlockId != 0 ? record.textureBytes : 0;
    }
    if (record.textureBlockId != 0) {
      void* view = connection_->OpenBlock(record.textureBlockId);
      if (view != nullptr && connection_->GetBlockSize(record.textureBlockId) >= record.textureBytes)
        std::memcpy(view, record.texturePixels.get(), record.textureBytes);
    }
  }
  surface->textureBlockId = record.textureBlockId;
  surface->textureBlockCapacity = record.textureBlockCapacity;
  const bool textured = !record.texturePath.empty() || record.textureBlockId != 0;
  surface->textureStamp = textured ? static_cast<std::uint32_t>(record.textureStamp) : 0u;
  if (textured) surface->colour = CorvantaAPI::kTexturedColour;
}

void MaterialLibrary::Retire(MaterialRecord& record) {
  if (record.linkRecord == nullptr || connection_ == nullptr) {
    record.linkRecord = nullptr;
    return;
  }
  auto* surface = reinterpret_cast<SurfaceRecord*>(record.linkRecord);
  // The geometry block is the scene's: it frees it from its own knowledge
  // when it hears of the removal. The id in the record is the renderer's to
  // write as much as ours and is never trusted for a release.
  CorvantaAPI::StoreShared(surface->geometryBlockId, 0);
  CorvantaAPI::StoreShared(surface->geometryBlockCapacity, 0);
  // The texture block belongs to the record as much as its geometry does; a
  // retired record never publishes again, so nothing else would free it.
  if (record.textureBlockId != 0) connection_->ReleaseBlock(record.textureBlockId);
  record.textureBlockId = 0;
  record.textureBlockCapacity = 0;
  CorvantaAPI::StoreShared(surface->textureBlockId, 0);
  CorvantaAPI::StoreShared(surface->textureBlockCapacity, 0);
  CorvantaAPI::StoreShared(surface->head.type, CorvantaAPI::kTypeRetiredSurface);
  connection_->SetRecordFlags(record.linkRecord, CorvantaAPI::kFlagChanged);
  connection_->SetFlags(CorvantaAPI::kFlagChanged);
  record.linkRecord = nullptr;
}

}  // namespace scene
