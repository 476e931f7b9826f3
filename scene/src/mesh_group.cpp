// The slotted set of meshes of one material.
#include "scene/mesh_group.h"

#include <atomic>
#include <iterator>

#include "scene/mesh_info.h"

namespace scene {

namespace {

// Shared by every group: a group cleared or made anew must not hand out a
// serial that an earlier write of the same key has seen.
std::atomic<std::uint64_t> g_lastSerial{0};

}  // namespace

bool MaterialGroup::contains(const MeshInfo* mesh) const {
  return mesh != nullptr && mesh->groupSlot < meshes_.size() && meshes_[mesh->groupSlot] == mesh;
}

bool MaterialGroup::insert(MeshInfo* mesh) {
  if (mesh == nullptr || contains(mesh)) return false;
  std::size_t slot = meshes_.size();
  if (!holes_.empty()) slot = *holes_.begin();
  const std::uint64_t serial = g_lastSerial.fetch_add(1, std::memory_order_relaxed) + 1;
  if (slot == meshes_.size()) {
    // All or nothing: a group whose two arrays differ in length would
    // have its next erase write past the shorter one.
    meshes_.push_back(mesh);
    try {
      serials_.push_back(serial);
    } catch (...) {
      meshes_.pop_back();
      throw;
    }
  } else {
    holes_.erase(holes_.begin());
    meshes_[slot] = mesh;
    serials_[slot] = serial;
  }
  mesh->groupSlot = slot;
  return true;
}

bool MaterialGroup::erase(MeshInfo* mesh) {
  if (!contains(mesh)) return false;
  const std::size_t slot = mesh->groupSlot;
  // The one step that allocates comes first, so that a failed erase leaves
  // the mesh in the group as it was.
  holes_.insert(slot);
  mesh->groupSlot = MeshInfo::kNoSlot;
  meshes_[slot] = nullptr;
  serials_[slot] = 0;
  // Holes at the end hold nothing up: they go, so that an emptied group is
  // empty.
  while (!meshes_.empty() && meshes_.back() == nullptr) {
    holes_.erase(std::prev(holes_.end()));
    meshes_.pop_back();
    serials_.pop_back();
  }
  if (holes_.size() > kHolesKept && 4 * holes_.size() > meshes_.size()) Compact();
  return true;
}

void MaterialGroup::Compact() {
  std::size_t to = 0;
  for (std::size_t from = 0; from < meshes_.size(); ++from) {
    if (meshes_[from] == nullptr) continue;
    meshes_[to] = meshes_[from];
    serials_[to] = serials_[from];
    meshes_[to]->groupSlot = to;
    ++to;
  }
  meshes_.resize(to);
  serials_.resize(to);
  holes_.clear();
}

void MaterialGroup::clear() {
  meshes_.clear();
  serials_.clear();
  holes_.clear();
}

}  // namespace scene
