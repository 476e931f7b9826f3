// The meshes that share one material key (not owned: a MeshInfo belongs to
// its BodyInfo), in slots with a stable, reproducible order. Removing a mesh
// leaves a hole (nullptr) in its slot and inserting fills the lowest hole,
// else appends: an element read again puts its new meshes where its old
// ones were, so the meshes behind them keep their place in the material's
// merged geometry and a write can keep their bytes. The same edits always
// give the same order (and the same merged geometry and export), unlike a
// set ordered by pointer values. Holes past the last mesh are dropped; when
// holes pass a quarter of the slots the group is compacted, keeping the
// order of its meshes (the merged geometry behind the first hole then moves).
// Random access lets a publish pass split the group over parallel tasks.
//
// A mesh is in at most one group at a time (the builder puts it in the group
// of its material key): the group keeps the mesh's slot in the mesh itself,
// so that inserting and erasing, once per mesh on every read of a large
// model, cost no lookup table of their own.
//
// Every user of a group skips holes. Each insertion gets a serial from a
// process-wide counter, so a slot's serial tells whether its mesh is still
// the one a write saw (a pointer cannot: the heap reuses addresses).
//
// Threads: changed by one thread at a time (the walk, holding the scene's
// model gate); read by a publish pass's parallel tasks while nothing changes
// it. The serial counter may be drawn from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

namespace scene {

struct MeshInfo;

class MaterialGroup {
 public:
  // Holes beyond this many, and beyond a quarter of the slots, compact the
  // group; fewer are cheaper to keep than the full rewrite a move costs.
  static constexpr std::size_t kHolesKept = 32;

  // False (and nothing changed) when the mesh is in the group already or is
  // null.
  bool insert(MeshInfo* mesh);
  // False when the mesh was not in the group.
  bool erase(MeshInfo* mesh);
  bool contains(const MeshInfo* mesh) const;
  void clear();

  // Slots, holes included.
  std::size_t size() const { return meshes_.size(); }
  // No mesh at all (a group without meshes has no holes either).
  bool empty() const { return meshes_.empty(); }
  std::size_t holes() const { return holes_.size(); }
  // The mesh in slot i; nullptr for a hole.
  MeshInfo* operator[](std::size_t i) const { return meshes_[i]; }
  // The serial of slot i's mesh (0 for a hole): new with every insertion.
  std::uint64_t serial(std::size_t i) const { return serials_[i]; }
  MeshInfo* const* data() const { return meshes_.data(); }
  auto begin() const { return meshes_.cbegin(); }
  auto end() const { return meshes_.cend(); }

 private:
  void Compact();

  std::vector<MeshInfo*> meshes_;
  std::vector<std::uint64_t> serials_;
  std::set<std::size_t> holes_;
};

}  // namespace scene
