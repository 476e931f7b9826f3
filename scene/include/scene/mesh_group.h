// The meshes that share one material key (not owned: a MeshInfo belongs to
// its BodyInfo). A set with a stable, reproducible order: meshes are kept
// in insertion order, and removing one moves the last mesh into its place,
// so the same edits always give the same order (and the same merged
// geometry and export), unlike a set ordered by pointer values. Random
// access lets a publish pass split the group over parallel tasks.
#pragma once

#include <cstddef>
#include <unordered_map>
#include <vector>

namespace scene {

struct MeshInfo;

class MaterialGroup {
 public:
  // False when the mesh is in the group already.
  bool insert(MeshInfo* mesh);
  // False when the mesh was not in the group.
  bool erase(MeshInfo* mesh);
  bool contains(const MeshInfo* mesh) const { return slots_.count(const_cast<MeshInfo*>(mesh)) != 0; }
  void clear();

  std::size_t size() const { return meshes_.size(); }
  bool empty() const { return meshes_.empty(); }
  MeshInfo* operator[](std::size_t i) const { return meshes_[i]; }
  MeshInfo* const* data() const { return meshes_.data(); }
  auto begin() const { return meshes_.cbegin(); }
  auto end() const { return meshes_.cend(); }

 private:
  std::vector<MeshInfo*> meshes_;
  std::unordered_map<MeshInfo*, std::size_t> slots_;
};

}  // namespace scene
