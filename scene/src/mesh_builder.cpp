// The mesh builder's own state: its options and body counter, where it
// reports faults, and the meshes it creates for the owner's groups. Reading
// bodies, finishing meshes and writing geometry are in the files
// mesh_builder.h lists.
#include "scene/mesh_builder.h"

#include <utility>

#include "hostsdk/acapi.h"

namespace scene {

MeshBuilder::MeshBuilder(MaterialLibrary* materials, MaterialGroups* groups, DirtyKeySet* dirtyKeys)
    : materials_(materials), groups_(groups), dirtyKeys_(dirtyKeys) {}

MeshBuilder::~MeshBuilder() = default;

void MeshBuilder::SetOptions(bool smooth, bool optimize, float verticalOffset) {
  smooth_ = smooth;
  optimize_ = optimize;
  verticalOffset_ = verticalOffset;
  bodyCounter_ = 0;
  blocks_.clear();
  reportedOverflow_ = false;
}

void MeshBuilder::SetDebugOutput(std::function<void(std::string_view)> output) { debugOutput_ = std::move(output); }

void MeshBuilder::Report(std::string_view text) const {
  if (debugOutput_) {
    debugOutput_(text);
  } else {
    DBPrintf("%.*s", static_cast<int>(text.size()), text.data());
  }
}

MeshInfo* MeshBuilder::CreateMesh(BodyInfo& body, std::uint64_t key, bool smooth, std::int32_t polygonCount) {
  MeshInfo* mesh = new MeshInfo(&body, key, smooth, polygonCount);  // owned by body.meshes
  if (groups_ != nullptr) (*groups_)[key].insert(mesh);
  if (dirtyKeys_ != nullptr) dirtyKeys_->insert(key);
  return mesh;
}

}  // namespace scene
