// The catalogue of materials of one live-link run or one export: a record per
// host material attribute, extra records for polygons with a texture of their
// own, and the default material. It keeps the records current across walks
// of the model, classifies their surface types, owns their textures (image
// files it wrote, memory bitmaps) and publishes them as "SRFC" records.
//
// Threads: BeginLink, BeginExport, Refresh, ForAttributeIndex,
// WithPolygonTexture, LoadTexture, ClearTexture, ExportImagePath and Reset
// run on the host thread; Publish runs on the scene's worker thread while
// the scene's gate keeps the walk out; Find may be called from many threads
// at once while nothing else changes the library. HasPending may be called
// from any thread.
//
// Failures: nothing here throws for host or file problems. A material that
// cannot be read maps to the default material; a texture that cannot be
// built or written leaves the record without texture (its own colour is then
// published); a record the control area has no room for stays unpublished
// and is tried again at its next publication.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "base/concurrent_containers.h"
#include "hostsdk/modeler.h"
#include "hostsdk/requests.h"
#include "scene/material_record.h"

namespace CorvantaAPI {
class LiveConnection;
}

namespace scene {

class MaterialLibrary {
 public:
  // connection may be null (the exporter): Publish then does nothing.
  explicit MaterialLibrary(CorvantaAPI::LiveConnection* connection = nullptr);
  ~MaterialLibrary();  // Reset: deletes the texture files it wrote
  MaterialLibrary(const MaterialLibrary&) = delete;
  MaterialLibrary& operator=(const MaterialLibrary&) = delete;

  void SetConnection(CorvantaAPI::LiveConnection* connection) { connection_ = connection; }
  CorvantaAPI::LiveConnection* Connection() const { return connection_; }

  // ---- Runs -------------------------------------------------------------------
  // Start of a link run: reset, adopt the model, memory textures on, host
  // texture paths off, texture folder beside basePath (the open project's
  // file when basePath is empty), the default material pending.
  void BeginLink(const ModelerAPI::Model* model, const std::u16string& basePath = {});
  // Start of an export to exportPath: reset, adopt the model, texture folder
  // beside the document, host texture paths on, memory textures off, the
  // default material pending.
  void BeginExport(const ModelerAPI::Model* model, const std::u16string& exportPath);
  // Empties everything: records (their written texture files are deleted),
  // pending keys, synthetic keys, attribute indices, texture folder; forgets
  // the default material's link record and the model.
  void Reset();

  // ---- Walks (host thread) ----------------------------------------------------
  // Reads every host material attribute, creating or updating records (an
  // unchanged stamp leaves a record alone), keeps the texture variants whose
  // textures the model still has, and removes every record this walk did not
  // meet (its link record retired as "SRFI"). Returns the number removed.
  std::size_t Refresh(std::uint64_t walkCounter);
  // True when Refresh would now change nothing: every attribute maps to the
  // record it mapped to at the last Refresh, with the same stamp, and every
  // texture variant's texture is still in the model. False before the first
  // Refresh. Reads only (host thread), so a walk may ask while a
  // publication runs.
  bool IsCurrent() const;
  // What a walk did to a record, for the listener below.
  enum class RecordEvent {
    kCreated,  // an attribute record was made
    kRemoved,  // the record was removed, after its link record was retired
    // The record's texture came or went, or its size in model units
    // changed: texture coordinates of meshes finished with the old state
    // are wrong now.
    kMappingChanged,
  };
  // Told on the host thread, inside Refresh, of each RecordEvent. The scene
  // frees a removed material's geometry through it, has a re-created one's
  // geometry written again and rebuilds the elements of a remapped one.
  void SetRecordListener(std::function<void(std::uint64_t key, RecordEvent event)> listener);
  // The record of a host material attribute index (compared as signed
  // 16-bit); the default material for an index the library does not hold.
  MaterialRecord* ForAttributeIndex(std::int32_t index);
  // The record for a polygon that carries texture of its own: the record
  // with that texture's fingerprint, else a new variant of record (same
  // parameters, a unique name such as "Brick(1)", the texture loaded).
  MaterialRecord* WithPolygonTexture(const MaterialRecord* record, const ModelerAPI::Texture& texture);

  // ---- Lookups ------------------------------------------------------------------
  // The record of key; the default material for key 0 or an unknown key.
  // Never null. Safe from many threads while the library is not changed.
  const MaterialRecord* Find(std::uint64_t key) const;
  MaterialRecord* Find(std::uint64_t key);
  // The record the library holds under key: the default material for its
  // own key (-1), null for any other key it does not hold, key 0 included.
  // Safe from many threads while the library is not changed.
  const MaterialRecord* Holding(std::uint64_t key) const;
  MaterialRecord& DefaultMaterial() { return defaultMaterial_; }
  const MaterialRecord& DefaultMaterial() const { return defaultMaterial_; }
  // Every record except the default material, in table order.
  void ForEachRecord(const std::function<void(MaterialRecord&)>& fn);
  std::size_t RecordCount() const { return records_.size(); }
  const ModelerAPI::Model* Model() const { return model_; }

  // ---- Publication (worker thread) ---------------------------------------------
  bool HasPending() const;
  // Publishes every pending record as "SRFC" (with its texture block or
  // path), releases queued blocks and raises the control area's changed
  // flag. Nothing without a connection or without pending keys.
  void Publish();

  // ---- Textures -------------------------------------------------------------------
  // Sets the texture folder once per run: beside base (the open project's
  // file when base is empty), named after its file name without extension
  // plus "_Textures". The folder is created when an image is written.
  void SetTextureFolder(const std::u16string& base);
  const std::u16string& TextureFolder() const { return textureFolder_; }
  const std::u16string& TextureFolderName() const { return textureFolderName_; }
  // Fills record's texture state from a host texture (and the texture file
  // of the host material attribute, when given).
  void LoadTexture(MaterialRecord& record, const ModelerAPI::Texture& texture, const API_Attribute* attribute);
  // Empties record's texture state, deleting a file the library wrote. Does
  // nothing for the default material.
  void ClearTexture(MaterialRecord& record);
  // The first record in table order whose fingerprint equals the texture's;
  // the default material when none does.
  MaterialRecord* FindByFingerprint(const ModelerAPI::Texture& texture);
  // For the export: writes or copies the record's image into the texture
  // folder and returns its path relative to the document's folder
  // ("House_Textures/00000000000000ab.png"); empty when the record has no
  // image or writing or copying failed.
  std::u16string ExportImagePath(MaterialRecord& record);

  bool UseHostTexturePaths() const { return useHostTexturePaths_; }
  bool MemoryTextures() const { return memoryTextures_; }
  void SetUseHostTexturePaths(bool on) { useHostTexturePaths_ = on; }
  void SetMemoryTextures(bool on) { memoryTextures_ = on; }
  std::uint64_t TextureCounter() const { return textureCounter_; }

 private:
  MaterialRecord* Create(const API_Attribute& attribute, std::uint64_t key);
  void Update(MaterialRecord& record, const API_Attribute& attribute);
  void Fill(MaterialRecord& record, const API_Attribute& attribute);
  void LoadAttributeTexture(MaterialRecord& record, const API_Attribute& attribute);
  std::uint64_t KeyOf(const API_Attribute& attribute);
  // The key KeyOf gives without making a new synthetic one: 0 for a name
  // never seen.
  std::uint64_t KnownKeyOf(const API_Attribute& attribute) const;
  // The fingerprints of the model's textures (model_ must be set), without
  // empty ones.
  std::unordered_set<std::u16string> ModelFingerprints() const;
  std::uint64_t NextSyntheticKey();
  void MakeNameUnique(MaterialRecord& record);
  void Retire(MaterialRecord& record);
  void PublishRecord(MaterialRecord& record);
  void WriteTextureFields(MaterialRecord& record, std::uint8_t* slot);
  void AddPending(std::uint64_t key);
  void BuildMemoryTexture(MaterialRecord& record, const ModelerAPI::Texture& texture);
  void WriteImageFile(MaterialRecord& record, const ModelerAPI::Texture& texture, const std::u16string& path);
  bool EnsureTextureFolder() const;
  std::int32_t ModelTextureIndex(const std::u16string& fingerprint) const;
  void ReportOnce(std::atomic<bool>& flag, const char* text) const;

  MaterialRecord defaultMaterial_;
  std::unordered_map<std::uint64_t, std::unique_ptr<MaterialRecord>> records_;
  mutable std::mutex pendingMutex_;
  std::unordered_set<std::uint64_t> pendingKeys_;
  std::unordered_map<std::int16_t, MaterialRecord*> byAttributeIndex_;
  CorvantaAPI::LiveConnection* connection_ = nullptr;
  const ModelerAPI::Model* model_ = nullptr;
  base::ConcurrentSet<std::uint32_t> releaseBlocks_;
  std::function<void(std::uint64_t, RecordEvent)> recordListener_;
  std::u16string textureFolder_;
  std::u16string textureFolderName_;
  std::unordered_map<std::string, std::uint64_t> syntheticKeys_;
  std::int64_t syntheticCounter_ = -1;
  bool useHostTexturePaths_ = false;
  bool memoryTextures_ = false;
  std::uint64_t textureCounter_ = 0;
  // The walk of the last Refresh; variants made during it belong to it.
  std::uint64_t lastWalk_ = 0;
  // Faults reported once per run through the host's debug output.
  mutable std::atomic<bool> reportedTextureOverflow_{false};
  mutable std::atomic<bool> reportedPixelMismatch_{false};
};

}  // namespace scene
