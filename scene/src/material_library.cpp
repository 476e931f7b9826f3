#include "scene/material_library.h"

#include "livelink/live_connection.h"

namespace scene {

std::uint64_t MaterialKeyFromGuid(const API_Guid& guid) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&guid);
  std::uint64_t lo = 0, hi = 0;
  for (int i = 7; i >= 0; --i) {
    lo = lo << 8 | bytes[i];
    hi = hi << 8 | bytes[8 + i];
  }
  return lo ^ hi;
}

MaterialLibrary::MaterialLibrary(CorvantaAPI::LiveConnection* connection) : connection_(connection) {
  defaultMaterial_.key = kDefaultMaterialKey;
  defaultMaterial_.name = kDefaultMaterialName;
}

MaterialLibrary::~MaterialLibrary() { Reset(); }

void MaterialLibrary::Reset() {
  textureFolder_.clear();
  textureFolderName_.clear();
  records_.clear();
  {
    std::lock_guard lock(pendingMutex_);
    pendingKeys_.clear();
  }
  syntheticCounter_ = -1;
  syntheticKeys_.clear();
  byAttributeIndex_.clear();
  defaultMaterial_.linkRecord = nullptr;
  model_ = nullptr;
}

void MaterialLibrary::BeginLink(const ModelerAPI::Model* model, const std::u16string&) {
  Reset();
  model_ = model;
  AddPending(kDefaultMaterialKey);
}

void MaterialLibrary::BeginExport(const ModelerAPI::Model* model, const std::u16string&) {
  Reset();
  model_ = model;
  AddPending(kDefaultMaterialKey);
}

std::size_t MaterialLibrary::Refresh(std::uint64_t) { return 0; }

MaterialRecord* MaterialLibrary::ForAttributeIndex(std::int32_t index) {
  auto it = byAttributeIndex_.find(static_cast<std::int16_t>(index));
  return it != byAttributeIndex_.end() ? it->second : &defaultMaterial_;
}

MaterialRecord* MaterialLibrary::WithPolygonTexture(const MaterialRecord*, const ModelerAPI::Texture&) {
  return &defaultMaterial_;
}

const MaterialRecord* MaterialLibrary::Find(std::uint64_t key) const {
  auto it = records_.find(key);
  return it != records_.end() ? it->second.get() : &defaultMaterial_;
}

MaterialRecord* MaterialLibrary::Find(std::uint64_t key) {
  auto it = records_.find(key);
  return it != records_.end() ? it->second.get() : &defaultMaterial_;
}

void MaterialLibrary::ForEachRecord(const std::function<void(MaterialRecord&)>& fn) {
  for (auto& entry : records_) fn(*entry.second);
}

bool MaterialLibrary::HasPending() const {
  std::lock_guard lock(pendingMutex_);
  return !pendingKeys_.empty();
}

void MaterialLibrary::AddPending(std::uint64_t key) {
  std::lock_guard lock(pendingMutex_);
  pendingKeys_.insert(key);
}

void MaterialLibrary::Publish() {}
void MaterialLibrary::SetTextureFolder(const std::u16string&) {}
void MaterialLibrary::LoadTexture(MaterialRecord&, const ModelerAPI::Texture&, const API_Attribute*) {}
void MaterialLibrary::ClearTexture(MaterialRecord&) {}
MaterialRecord* MaterialLibrary::FindByFingerprint(const ModelerAPI::Texture&) { return &defaultMaterial_; }
std::u16string MaterialLibrary::ExportImagePath(MaterialRecord&) { return {}; }

}  // namespace scene
