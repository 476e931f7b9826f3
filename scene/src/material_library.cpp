#include "scene/material_library.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>
#include <unordered_set>

#include "base/utf.h"
#include "hostsdk/acapi.h"
#include "livelink/live_connection.h"
#include "scene/surface_type.h"
#include "util/text.h"

namespace scene {
namespace {

std::uint64_t ReadLittleEndian64(const unsigned char* bytes) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

// (int)(component * 255) masked to 8 bits, for a component from 0 to 1. A
// component outside that range or not a number is bad host data; it is
// clamped first so that 1.5 cannot wrap to a dark value and NaN cannot
// reach an undefined conversion.
std::uint32_t ColourByte(double component) {
  if (!(component > 0.0)) return 0;
  if (component > 1.0) component = 1.0;
  return static_cast<std::uint32_t>(static_cast<int>(component * 255.0)) & 0xFFu;
}

std::uint32_t PackColour(const API_RGBColor& c) {
  return 0xFF000000u | ColourByte(c.f_red) << 16 | ColourByte(c.f_green) << 8 | ColourByte(c.f_blue);
}

std::string_view AttributeName(const API_Attribute& attribute) {
  return std::string_view(attribute.header.name, strnlen(attribute.header.name, sizeof(attribute.header.name)));
}

}  // namespace

std::uint64_t MaterialKeyFromGuid(const API_Guid& guid) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&guid);
  return ReadLittleEndian64(bytes) ^ ReadLittleEndian64(bytes + 8);
}

MaterialLibrary::MaterialLibrary(CorvantaAPI::LiveConnection* connection) : connection_(connection) {
  defaultMaterial_.key = kDefaultMaterialKey;
  defaultMaterial_.name = kDefaultMaterialName;
}

MaterialLibrary::~MaterialLibrary() { Reset(); }

// ---- Runs -----------------------------------------------------------------------------

void MaterialLibrary::Reset() {
  textureFolder_.clear();
  textureFolderName_.clear();
  for (auto& entry : records_) ClearTexture(*entry.second);
  records_.clear();
  {
    std::lock_guard lock(pendingMutex_);
    pendingKeys_.clear();
  }
  syntheticCounter_ = -1;
  syntheticKeys_.clear();
  byAttributeIndex_.clear();
  // Block ids belong to the connection of the run that ends; the next run's
  // connection numbers its blocks afresh.
  releaseBlocks_.clear();
  defaultMaterial_.linkRecord = nullptr;
  defaultMaterial_.textureBlockId = 0;
  defaultMaterial_.textureBlockCapacity = 0;
  model_ = nullptr;
  lastWalk_ = 0;
  reportedTextureOverflow_ = false;
  reportedPixelMismatch_ = false;
}

void MaterialLibrary::BeginLink(const ModelerAPI::Model* model, const std::u16string& basePath) {
  Reset();
  model_ = model;
  useHostTexturePaths_ = false;
  memoryTextures_ = true;
  SetTextureFolder(basePath);
  AddPending(kDefaultMaterialKey);
}

void MaterialLibrary::BeginExport(const ModelerAPI::Model* model, const std::u16string& exportPath) {
  Reset();
  model_ = model;
  SetTextureFolder(exportPath);
  useHostTexturePaths_ = true;
  memoryTextures_ = false;
  AddPending(kDefaultMaterialKey);
}

// ---- Walks ------------------------------------------------------------------------------

std::size_t MaterialLibrary::Refresh(std::uint64_t walkCounter) {
  lastWalk_ = walkCounter;
  byAttributeIndex_.clear();

  API_AttributeIndex count = 0;
  if (ACAPI_Attribute_GetNum(API_MaterialID, &count) != NoError || count < 0) count = 0;
  for (API_AttributeIndex i = 1; i <= count; ++i) {
    API_Attribute attribute{};
    attribute.header.typeID = API_MaterialID;
    attribute.header.index = i;
    const auto slot = static_cast<std::int16_t>(i);
    if (ACAPI_Attribute_Get(&attribute) != NoError) {
      ACAPI_DisposeAttribute(&attribute);
      byAttributeIndex_[slot] = &defaultMaterial_;
      continue;
    }
    const std::uint64_t key = KeyOf(attribute);
    MaterialRecord* record;
    auto found = records_.find(key);
    if (found != records_.end()) {
      record = found->second.get();
      Update(*record, attribute);
    } else {
      record = Create(attribute, key);
    }
    ACAPI_DisposeAttribute(&attribute);
    if (record == nullptr) record = &defaultMaterial_;
    record->lastWalk = walkCounter;
    byAttributeIndex_[slot] = record;
  }

  // Texture variants live as long as the model still has their texture.
  if (model_ != nullptr) {
    const std::unordered_set<std::u16string> fingerprints = ModelFingerprints();
    for (auto& [key, record] : records_) {
      if (record->attrIndex == -1 && fingerprints.count(record->fingerprint) != 0) record->lastWalk = walkCounter;
    }
  }

  std::size_t removed = 0;
  for (auto it = records_.begin(); it != records_.end();) {
    MaterialRecord& record = *it->second;
    if (record.lastWalk == walkCounter) {
      ++it;
      continue;
    }
    ClearTexture(record);
    Retire(record);
    {
      std::lock_guard lock(pendingMutex_);
      pendingKeys_.erase(record.key);
    }
    if (recordListener_) recordListener_(record.key, RecordEvent::kRemoved);
    it = records_.erase(it);
    ++removed;
  }
  return removed;
}

std::uint64_t MaterialLibrary::KeyOf(const API_Attribute& attribute) {
  if (const std::uint64_t key = KnownKeyOf(attribute); key != 0) return key;
  std::string name(AttributeName(attribute));
  const std::uint64_t key = NextSyntheticKey();
  syntheticKeys_.emplace(std::move(name), key);
  return key;
}

std::uint64_t MaterialLibrary::KnownKeyOf(const API_Attribute& attribute) const {
  if (attribute.header.flags != 0) {
    const std::uint64_t key = MaterialKeyFromGuid(attribute.header.guid);
    // A GUID whose halves cancel (or a null one) would alias the default
    // material; such a material is keyed by name like one without a GUID.
    if (key != 0 && key != kDefaultMaterialKey) return key;
  }
  auto found = syntheticKeys_.find(std::string(AttributeName(attribute)));
  return found != syntheticKeys_.end() ? found->second : 0;
}

std::unordered_set<std::u16string> MaterialLibrary::ModelFingerprints() const {
  std::unordered_set<std::u16string> fingerprints;
  const Int32 textures = model_->GetTextureNum();
  for (Int32 t = 1; t <= textures; ++t) {
    ModelerAPI::Texture texture;
    model_->GetTexture(ModelerAPI::AttributeIndex(ModelerAPI::AttributeIndex::TextureIndex, t), &texture);
    std::u16string fingerprint = texture.GetFingerprint().ToU16();
    if (!fingerprint.empty()) fingerprints.insert(std::move(fingerprint));
  }
  return fingerprints;
}

bool MaterialLibrary::IsCurrent() const {
  if (lastWalk_ == 0) return false;
  API_AttributeIndex count = 0;
  if (ACAPI_Attribute_GetNum(API_MaterialID, &count) != NoError || count < 0) count = 0;
  if (static_cast<std::size_t>(count) != byAttributeIndex_.size()) return false;
  for (API_AttributeIndex i = 1; i <= count; ++i) {
    auto slot = byAttributeIndex_.find(static_cast<std::int16_t>(i));
    if (slot == byAttributeIndex_.end()) return false;
    API_Attribute attribute{};
    attribute.header.typeID = API_MaterialID;
    attribute.header.index = i;
    bool same;
    if (ACAPI_Attribute_Get(&attribute) != NoError) {
      same = slot->second == &defaultMaterial_;
    } else {
      const MaterialRecord* record = Holding(KnownKeyOf(attribute));
      same = record != nullptr && record == slot->second && record->modStamp == attribute.header.modiStamp;
    }
    ACAPI_DisposeAttribute(&attribute);
    if (!same) return false;
  }
  // The same attributes map to the same records as at the last walk, which
  // removed every other attribute record; the variants stay while the model
  // has their textures.
  if (model_ == nullptr) return true;
  const std::unordered_set<std::u16string> fingerprints = ModelFingerprints();
  for (const auto& [key, record] : records_) {
    if (record->attrIndex == -1 && fingerprints.count(record->fingerprint) == 0) return false;
  }
  return true;
}

std::uint64_t MaterialLibrary::NextSyntheticKey() {
  --syntheticCounter_;
  return static_cast<std::uint64_t>(syntheticCounter_);
}

MaterialRecord* MaterialLibrary::Create(const API_Attribute& attribute, std::uint64_t key) {
  auto owned = std::make_unique<MaterialRecord>();
  MaterialRecord* record = owned.get();
  record->key = key;
  records_.emplace(key, std::move(owned));
  ClearTexture(*record);
  Fill(*record, attribute);
  record->changed = true;
  LoadAttributeTexture(*record, attribute);
  AddPending(key);
  if (recordListener_) recordListener_(key, RecordEvent::kCreated);
  return record;
}

void MaterialLibrary::Update(MaterialRecord& record, const API_Attribute& attribute) {
  if (record.modStamp == attribute.header.modiStamp) return;
  const bool textured = record.HasTexture();
  const float width = record.textureWidth, height = record.textureHeight;
  Fill(record, attribute);
  record.changed = true;
  LoadAttributeTexture(record, attribute);
  AddPending(record.key);
  // The host changes only the material's stamp for a texture edit, so no
  // element is rebuilt by it, yet every mesh finished with the old state
  // has coordinates for the old texture (or none at all).
  const bool remapped = textured != record.HasTexture() ||
                        (record.HasTexture() && (width != record.textureWidth || height != record.textureHeight));
  if (remapped && recordListener_) recordListener_(record.key, RecordEvent::kMappingChanged);
}

void MaterialLibrary::Fill(MaterialRecord& record, const API_Attribute& attribute) {
  const API_MaterialType& m = attribute.material;
  record.modStamp = attribute.header.modiStamp;
  record.attrIndex = attribute.header.index;
  record.name = util::SanitizeName(base::FromUtf8(AttributeName(attribute)));
  record.opacity = std::clamp(1.0f - static_cast<float>(m.transpPc) / 100.0f, 0.0f, 1.0f);
  record.colour = PackColour(m.surfaceRGB);
  record.secondColour = PackColour(m.specularRGB);
  record.percentage = static_cast<float>(m.percentage) / 100.0f;
  record.attenuation = static_cast<float>(m.transpAtt) / 65535.0f;
  record.shine = static_cast<float>(m.shine) / 10000.0f;
  record.surfaceType = ClassifySurface(record.name, record.opacity, m.mtype);
  if (record.textureWidth == 0.0f) record.textureWidth = 1.0f;
  if (record.textureHeight == 0.0f) record.textureHeight = 1.0f;
}

void MaterialLibrary::LoadAttributeTexture(MaterialRecord& record, const API_Attribute& attribute) {
  ModelerAPI::Material material;
  if (model_ != nullptr)
    model_->GetMaterial(ModelerAPI::AttributeIndex(ModelerAPI::AttributeIndex::MaterialIndex, attribute.header.index),
                        &material);
  if (material.HasTexture()) {
    ModelerAPI::Texture texture;
    material.GetTexture(&texture);
    LoadTexture(record, texture, &attribute);
  }
  // A material that lost its texture, or whose texture could not be built,
  // must not keep the old one.
  if (!material.HasTexture() || !record.HasTexture()) ClearTexture(record);
}

MaterialRecord* MaterialLibrary::ForAttributeIndex(std::int32_t index) {
  auto it = byAttributeIndex_.find(static_cast<std::int16_t>(index));
  return it != byAttributeIndex_.end() ? it->second : &defaultMaterial_;
}

MaterialRecord* MaterialLibrary::WithPolygonTexture(const MaterialRecord* record, const ModelerAPI::Texture& texture) {
  if (record == nullptr) record = &defaultMaterial_;
  // A texture without fingerprint cannot be told apart from another one, so
  // it would make a new variant for every polygon: the polygon keeps its
  // material.
  if (texture.GetFingerprint().IsEmpty()) return Find(record->key);
  MaterialRecord* existing = FindByFingerprint(texture);
  if (!existing->IsDefault()) return existing;

  const std::uint64_t key = NextSyntheticKey();
  auto owned = std::make_unique<MaterialRecord>();
  MaterialRecord* variant = owned.get();
  variant->key = key;
  records_.emplace(key, std::move(owned));
  ClearTexture(*variant);
  variant->name = record->name;
  variant->surfaceType = record->surfaceType;
  variant->colour = record->colour;
  variant->secondColour = record->secondColour;
  variant->fixedA = record->fixedA;
  variant->shine = record->shine;
  variant->fixedB = record->fixedB;
  variant->fixedC = record->fixedC;
  variant->opacity = record->opacity;
  variant->attenuation = record->attenuation;
  variant->fixedD = record->fixedD;
  variant->percentage = record->percentage;
  variant->attrIndex = -1;
  variant->changed = true;
  variant->lastWalk = lastWalk_;
  MakeNameUnique(*variant);
  LoadTexture(*variant, texture, nullptr);
  AddPending(key);
  return variant;
}

void MaterialLibrary::MakeNameUnique(MaterialRecord& record) {
  const std::u16string base = record.name;
  auto taken = [&](const std::u16string& name) {
    if (record.key != defaultMaterial_.key && defaultMaterial_.name == name) return true;
    for (const auto& [key, other] : records_)
      if (key != record.key && other->name == name) return true;
    return false;
  };
  for (int counter = 1; taken(record.name); ++counter) {
    record.name = base;
    record.name += u'(';
    for (char c : std::to_string(counter)) record.name += static_cast<char16_t>(c);
    record.name += u')';
  }
}

// ---- Lookups ---------------------------------------------------------------------------------

const MaterialRecord* MaterialLibrary::Find(std::uint64_t key) const {
  auto it = records_.find(key);
  return it != records_.end() ? it->second.get() : &defaultMaterial_;
}

MaterialRecord* MaterialLibrary::Find(std::uint64_t key) {
  auto it = records_.find(key);
  return it != records_.end() ? it->second.get() : &defaultMaterial_;
}

const MaterialRecord* MaterialLibrary::Holding(std::uint64_t key) const {
  if (key == kDefaultMaterialKey) return &defaultMaterial_;
  auto it = records_.find(key);
  return it != records_.end() ? it->second.get() : nullptr;
}

void MaterialLibrary::SetRecordListener(std::function<void(std::uint64_t key, RecordEvent event)> listener) {
  recordListener_ = std::move(listener);
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

void MaterialLibrary::ReportOnce(std::atomic<bool>& flag, const char* text) const {
  if (!flag.exchange(true)) DBPrintf("%s", text);
}

}  // namespace scene
