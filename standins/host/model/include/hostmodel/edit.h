// Edits on a project: each applies in place and reports what changed, so that
// the host can notify its observers and readers can re-read only that.
// An edit that fails (unknown GUID, index out of range) changes nothing.
#pragma once

#include <cstdint>
#include <vector>

#include "hostmodel/model.h"
#include "hostmodel/result.h"

namespace hostmodel {

struct ChangeSet {
  std::vector<Guid> changedElements;  // generation id bumped
  std::vector<Guid> addedElements;
  std::vector<Guid> removedElements;
  std::vector<std::int32_t> changedMaterials;  // host indices, stamp bumped
  std::vector<std::int32_t> addedMaterials;
  std::vector<std::int32_t> removedMaterials;  // host indices, now deleted
  std::vector<std::int32_t> addedTextures;     // host indices

  bool Empty() const;
  // Appends another change set, keeping each entry once.
  void Merge(const ChangeSet& other);
  friend bool operator==(const ChangeSet&, const ChangeSet&) = default;
};

Result<ChangeSet> MoveElement(Project& project, const Guid& element, const Vec3& offset);
// The copy gets a fresh GUID (returned in addedElements) and is moved by offset.
Result<ChangeSet> CopyElement(Project& project, const Guid& element, const Vec3& offset);
Result<ChangeSet> DeleteElement(Project& project, const Guid& element);
// Every polygon of the element gets the material.
Result<ChangeSet> SetElementMaterial(Project& project, const Guid& element, std::int32_t materialIndex);
Result<ChangeSet> SetMaterialColor(Project& project, std::int32_t materialIndex, const ColorRGB& color);
Result<ChangeSet> SetMaterialTransparency(Project& project, std::int32_t materialIndex, std::int32_t percent);
// textureIndex 0 removes the texture.
Result<ChangeSet> SetMaterialTexture(Project& project, std::int32_t materialIndex, std::int32_t textureIndex);
// Loads an image file as a new texture (xSize/ySize metres per repeat) and
// gives it to the material.
Result<ChangeSet> SetMaterialTextureFile(Project& project, std::int32_t materialIndex, const std::string& imagePath,
                                         double xSize, double ySize);
// Deletes a material attribute. Its index stays taken (indices never move);
// polygons that used it take `replacement` (0: the first material left), or
// with kNoReplacement keep pointing at the deleted index, whose attribute
// then cannot be read (as a host leaves them until it regenerates them);
// either way their elements get new generation ids. Fails for a deleted or
// unknown material, and when it is in use, a replacement is wanted and no
// material is left to replace it.
inline constexpr std::int32_t kNoReplacement = -1;
Result<ChangeSet> DeleteMaterial(Project& project, std::int32_t materialIndex, std::int32_t replacement = 0);
// A closed axis-aligned box between two corners, as a new element.
Result<ChangeSet> AddBox(Project& project, const Vec3& minCorner, const Vec3& maxCorner, std::int32_t materialIndex,
                         const std::string& name = "Box");

// Takes a fresh load of the model file that `project` came from and makes
// `project` match it: elements and materials equal to what the project holds
// keep their generation ids and stamps; changed ones get new ones; added
// and removed ones are reported. Material and texture host indices stay
// stable (matched by GUID and fingerprint; new ones are appended, vanished
// ones are kept, as host attributes outlive their uses). The project state
// (path, window, camera, levels, auto-texts) is kept.
ChangeSet ApplyReload(Project& project, Project reloaded);

}  // namespace hostmodel
