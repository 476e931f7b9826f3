// The per-material geometry write of a publish pass: a material's raw
// meshes finished, then the merged geometry of its group written into the
// material's link block (made, grown or dropped as its size asks; a kept
// block only where it changed) and announced through the material's record.
#include "base/parallel_for.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <limits>
#include <vector>

#include "livelink/layout.h"
#include "livelink/live_connection.h"
#include "scene/material_library.h"
#include "scene/mesh_builder.h"

namespace scene {

namespace {

constexpr std::uint64_t kMaxBlockBytes = std::numeric_limits<std::uint32_t>::max();

std::uint32_t* RecordField(CorvantaAPI::Record* record, std::size_t offset) {
  return reinterpret_cast<std::uint32_t*>(reinterpret_cast<std::uint8_t*>(record) + offset);
}

// Names the block (id and capacity) in the material's link record, bumps
// its geometry change counter and flags it for the renderer. The record
// always names the block as this builder knows it, whatever a renderer
// wrote there meanwhile.
void AnnounceBlock(CorvantaAPI::LiveConnection& connection, CorvantaAPI::Record* link, std::uint32_t id,
                   std::uint32_t capacity) {
  std::uint32_t* changeField = RecordField(link, CorvantaAPI::kSurfaceGeometryChangeOffset);
  std::uint32_t* idField = RecordField(link, CorvantaAPI::kSurfaceGeometryBlockIdOffset);
  std::uint32_t* capacityField = RecordField(link, CorvantaAPI::kSurfaceGeometryBlockCapacityOffset);
  CorvantaAPI::StoreShared(*idField, id);
  CorvantaAPI::StoreShared(*capacityField, capacity);
  CorvantaAPI::StoreShared(*changeField, CorvantaAPI::LoadShared(*changeField) + 1);
  connection.SetRecordFlags(link, 1);
}

void StopAtDeadline(GeometryPass& pass) {
  if (std::chrono::steady_clock::now() >= pass.deadline) pass.keepGoing = false;
}

}  // namespace

void MeshBuilder::BlockState::Drop(GeometryPass& pass) {
  if (id != 0) pass.releaseBlocks.insert(id);
  id = 0;
  capacity = 0;
  contents = BlockContents{};
  lastWrite = BlockWrite::kNone;
}

void MeshBuilder::BlockState::Fit(CorvantaAPI::LiveConnection& connection, std::uint64_t bytes, GeometryPass& pass) {
  if (id != 0 && capacity >= bytes && connection.GetBlockSize(id) >= bytes) return;
  Drop(pass);
  const std::uint32_t newCapacity = GeometryBlockCapacity(bytes);
  const std::uint32_t newId = connection.CreateBlock(CorvantaAPI::LoadShared(linkRecord->id), newCapacity);
  if (newId != 0) {
    id = newId;
    capacity = newCapacity;
  }
}

BlockWrite MeshBuilder::LastWrite(std::uint64_t key) const {
  auto found = blocks_.find(key);
  return found != blocks_.end() ? found->second.lastWrite : BlockWrite::kNone;
}

void MeshBuilder::ForgetBlock(CorvantaAPI::LiveConnection& connection, std::uint64_t key) {
  auto found = blocks_.find(key);
  if (found == blocks_.end()) return;
  if (found->second.id != 0) connection.ReleaseBlock(found->second.id);
  blocks_.unsafe_erase(found);
}

void MeshBuilder::ReleaseKeyWithoutMaterial(std::uint64_t key, GeometryPass& pass) {
  if (auto found = blocks_.find(key); found != blocks_.end()) {
    if (found->second.id != 0) pass.releaseBlocks.insert(found->second.id);
    found->second = BlockState{};
  }
  pass.processedKeys.insert(key);
}

bool MeshBuilder::FinishGroup(std::uint64_t key, const MaterialRecord& record, const BlockContents* written,
                              GroupGeometry& geometry, GeometryPass& pass) const {
  if (groups_ != nullptr) {
    auto found = groups_->find(key);
    if (found != groups_->end()) geometry.group = &found->second;
  }
  const std::size_t meshCount = geometry.group != nullptr ? geometry.group->size() : 0;

  // Meshes finished in earlier passes need no task: spreading a group of
  // thousands of final meshes over threads only to read two counters would
  // cost more than it saves. One walk over the group both collects the raw
  // meshes and counts the finished ones: on a large group each mesh record
  // is a cache miss, and a second walk would cost a good part of the copy
  // itself.
  std::vector<MeshInfo*> raw;
  auto count = [&](const MeshInfo* mesh) {
    const std::uint64_t copies = mesh->doubleSided ? 2 : 1;
    geometry.vertices += copies * std::uint64_t(std::max(mesh->vertexCount, 0));
    geometry.indices += copies * std::uint64_t(std::max(mesh->indexCount, 0));
  };
  for (std::size_t i = 0; i < meshCount; ++i) {
    if (written != nullptr && written->Holds(*geometry.group, i)) {
      geometry.vertices += written->slots[i].vertices;
      geometry.indices += written->slots[i].indices;
      continue;
    }
    MeshInfo* mesh = (*geometry.group)[i];
    if (mesh == nullptr) continue;
    if (mesh->IsFinished()) {
      count(mesh);
    } else {
      raw.push_back(mesh);
    }
  }
  // The raw meshes in parallel, one task per mesh.
  std::atomic<std::size_t> tried{0};
  auto finish = [&](MeshInfo* mesh) {
    if (!pass.Going()) return;
    FinishMesh(mesh, &record);  // a mesh that cannot be finished stays raw and is left out
    tried.fetch_add(1, std::memory_order_relaxed);
    StopAtDeadline(pass);
  };
  if (raw.size() == 1) {
    finish(raw[0]);
  } else if (raw.size() > 1) {
    // A mesh is finished in time with its corners; the large ones (one
    // the walk's finishing thread gave up, say) go first.
    const auto corners = [&](std::size_t i) { return std::uint64_t(raw[i]->polygons->corners.size()); };
    base::ParallelForLargestFirst(raw.size(), corners, [&](std::size_t i) { finish(raw[i]); });
  }
  for (const MeshInfo* mesh : raw) {
    if (mesh->IsFinished()) count(mesh);
  }
  // A mesh skipped while the pass paused leaves the key dirty, even if the
  // pass is going again now: its counts would be missing.
  return pass.Going() && tried.load() == raw.size();
}

MeshBuilder::BlockState& MeshBuilder::BlockFor(std::uint64_t key, CorvantaAPI::Record* link) {
  BlockState& state = blocks_[key];
  if (state.linkRecord != link) state = BlockState{link, 0, 0, {}, BlockWrite::kNone};
  return state;
}

void MeshBuilder::ReportOverflow(std::uint64_t key, std::uint64_t bytes) const {
  if (reportedOverflow_.exchange(true)) return;
  char text[160];
  std::snprintf(text, sizeof text,
                "Corvanta: the geometry of material %016llx needs %llu bytes, more than a link block holds; "
                "it is published without geometry\n",
                static_cast<unsigned long long>(key), static_cast<unsigned long long>(bytes));
  Report(text);
}

void MeshBuilder::FillBlock(CorvantaAPI::LiveConnection& connection, std::uint64_t key, BlockState& state,
                            const GroupGeometry& geometry, GeometryPass& pass) {
  const std::uint64_t i = geometry.indices;
  const std::uint64_t v =
      GeometryVertexCount(geometry.vertices, i, state.contents.known ? state.contents.vertexCount : 0);
  const std::uint64_t size = GeometryBlockBytes(v, i);
  if (v == 0) {
    state.Drop(pass);
    return;
  }
  if (size > kMaxBlockBytes) {
    // The header's counts and the block's size are 32-bit: a wrapped size
    // would make the copy run past the block.
    state.Drop(pass);
    ReportOverflow(key, size);
    return;
  }
  state.Fit(connection, size, pass);
  void* view = state.id != 0 ? connection.OpenBlock(state.id) : nullptr;
  if (view != nullptr && connection.GetBlockSize(state.id) >= size) {
    // A block kept from the last write holds what state.contents says (Fit
    // forgets it with the block): only what changed is written.
    state.lastWrite = WriteGroupIntoBlock(static_cast<std::uint8_t*>(view), static_cast<std::uint32_t>(v),
                                          static_cast<std::uint32_t>(i), *geometry.group, state.contents);
  } else {
    // A block that cannot be made or mapped would show the renderer
    // whatever it held before: the material goes without geometry until
    // its next write.
    state.Drop(pass);
  }
}

void MeshBuilder::WriteGeometry(CorvantaAPI::LiveConnection& connection, std::uint64_t key, GeometryPass& pass) {
  if (!pass.Going()) return;
  // Only the record this key owns is ever written. A key the library no
  // longer holds (its material was deleted) has nothing to publish: its
  // former record was retired and its block released with it, and falling
  // back to the default material would overwrite that material's geometry.
  const MaterialRecord* record = materials_ != nullptr ? materials_->Holding(key) : nullptr;
  if (record == nullptr) {
    ReleaseKeyWithoutMaterial(key, pass);
    return;
  }

  // The end of FinishGroup is the last point where the key may be left for
  // a later pass: nothing of the link has been touched yet. From here on the
  // key is written completely, block and record together, even if a walk
  // asks for the gate meanwhile: a block left half old and half new under a
  // change count that announces it would stay wrong in the renderer until
  // the material changed again.
  // What the last write of this key's own link record left in its block.
  const BlockContents* written = nullptr;
  if (auto found = blocks_.find(key); found != blocks_.end() && found->second.linkRecord == record->linkRecord) {
    written = &found->second.contents;
  }
  GroupGeometry geometry;
  if (!FinishGroup(key, *record, written, geometry, pass)) return;

  if (record->linkRecord == nullptr) {
    pass.processedKeys.insert(key);
    return;
  }
  // This builder's own view of the material's block, never read back from
  // the link record, which the renderer can write. A link record of its own
  // that another link run or a retired record left behind starts without
  // a block (the block ids of that run are not this connection's to free).
  BlockState& state = BlockFor(key, record->linkRecord);
  FillBlock(connection, key, state, geometry, pass);
  AnnounceBlock(connection, record->linkRecord, state.id, state.capacity);
  pass.processedKeys.insert(key);
  StopAtDeadline(pass);
}

}  // namespace scene
