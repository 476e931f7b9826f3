// The ordered set of meshes of one material.
#include "scene/mesh_group.h"

namespace scene {

bool MaterialGroup::insert(MeshInfo* mesh) {
  if (!slots_.emplace(mesh, meshes_.size()).second) return false;
  meshes_.push_back(mesh);
  return true;
}

bool MaterialGroup::erase(MeshInfo* mesh) {
  auto found = slots_.find(mesh);
  if (found == slots_.end()) return false;
  const std::size_t slot = found->second;
  slots_.erase(found);
  MeshInfo* last = meshes_.back();
  meshes_.pop_back();
  if (last != mesh) {
    meshes_[slot] = last;
    slots_[last] = slot;
  }
  return true;
}

void MaterialGroup::clear() {
  meshes_.clear();
  slots_.clear();
}

}  // namespace scene
