// The per-material geometry write of a publish pass: every finished mesh of
// one material merged into that material's link block (its layout and copy
// are in geometry_block.cpp).
#include "base/parallel_for.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

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

}  // namespace

void MeshBuilder::ForgetBlock(CorvantaAPI::LiveConnection& connection, std::uint64_t key) {
  auto found = blocks_.find(key);
  if (found == blocks_.end()) return;
  if (found->second.id != 0) connection.ReleaseBlock(found->second.id);
  blocks_.unsafe_erase(found);
}

void MeshBuilder::WriteGeometry(CorvantaAPI::LiveConnection& connection, std::uint64_t key, GeometryPass& pass) {
  if (!pass.Going()) return;
  // Only the record this key owns is ever written. A key the library no
  // longer holds (its material was deleted) has nothing to publish: its
  // former record was retired and its block released with it, and falling
  // back to the default material would overwrite that material's geometry.
  const MaterialRecord* record = materials_ != nullptr ? materials_->Holding(key) : nullptr;
  if (record == nullptr) {
    if (auto found = blocks_.find(key); found != blocks_.end()) {
      if (found->second.id != 0) pass.releaseBlocks.insert(found->second.id);
      found->second = BlockState{};
    }
    pass.processedKeys.insert(key);
    return;
  }

  const MaterialGroup* group = nullptr;
  if (groups_ != nullptr) {
    auto found = groups_->find(key);
    if (found != groups_->end()) group = &found->second;
  }
  const std::size_t meshCount = group != nullptr ? group->size() : 0;

  // Finish the raw meshes in parallel (one task per mesh), then count what
  // goes into the block. Meshes finished in earlier passes need no task:
  // spreading a group of thousands of final meshes over threads only to
  // read two counters would cost more than it saves.
  // One walk over the group both collects the raw meshes and counts the
  // finished ones: on a large group each mesh record is a cache miss, and a
  // second walk would cost a good part of the copy itself.
  std::vector<MeshInfo*> raw;
  std::uint64_t vertices = 0, indices = 0;
  auto count = [&](const MeshInfo* mesh) {
    const std::uint64_t copies = mesh->doubleSided ? 2 : 1;
    vertices += copies * std::uint64_t(std::max(mesh->vertexCount, 0));
    indices += copies * std::uint64_t(std::max(mesh->indexCount, 0));
  };
  for (std::size_t i = 0; i < meshCount; ++i) {
    MeshInfo* mesh = (*group)[i];
    if (mesh == nullptr) continue;
    if (mesh->IsFinished()) {
      count(mesh);
    } else {
      raw.push_back(mesh);
    }
  }
  std::atomic<std::size_t> tried{0};
  auto finish = [&](MeshInfo* mesh) {
    if (!pass.Going()) return;
    FinishMesh(mesh, record);  // a mesh that cannot be finished stays raw and is left out
    tried.fetch_add(1, std::memory_order_relaxed);
    if (std::chrono::steady_clock::now() >= pass.deadline) pass.keepGoing = false;
  };
  if (raw.size() == 1) {
    finish(raw[0]);
  } else if (raw.size() > 1) {
    base::ParallelFor(raw.size(), [&](std::size_t i) { finish(raw[i]); });
  }
  for (const MeshInfo* mesh : raw) {
    if (mesh->IsFinished()) count(mesh);
  }
  // The last point where the key may be left for a later pass: nothing of
  // the link has been touched yet. A mesh skipped while the pass paused
  // leaves the key dirty, even if the pass is going again now: its counts
  // would be missing. From here on the key is written completely, block and
  // record together, even if a walk asks for the gate meanwhile: a block
  // left half old and half new under a change count that announces it
  // would stay wrong in the renderer until the material changed again.
  if (!pass.Going() || tried.load() != raw.size()) return;

  if (record->linkRecord == nullptr) {
    pass.processedKeys.insert(key);
    return;
  }
  CorvantaAPI::Record* link = record->linkRecord;
  std::uint32_t* changeField = RecordField(link, CorvantaAPI::kSurfaceGeometryChangeOffset);
  std::uint32_t* idField = RecordField(link, CorvantaAPI::kSurfaceGeometryBlockIdOffset);
  std::uint32_t* capacityField = RecordField(link, CorvantaAPI::kSurfaceGeometryBlockCapacityOffset);

  // This builder's own view of the material's block, never read back from
  // the link record, which the renderer can write. A link record of its own
  // that another link run or a retired record left behind starts without
  // a block (the block ids of that run are not this connection's to free).
  BlockState& state = blocks_[key];
  if (state.linkRecord != link) state = BlockState{link, 0, 0};

  auto dropBlock = [&] {
    if (state.id != 0) pass.releaseBlocks.insert(state.id);
    state.id = 0;
    state.capacity = 0;
  };

  const std::uint64_t v = vertices;
  const std::uint64_t i = indices;
  const std::uint64_t size = GeometryBlockBytes(v, i);
  if (v == 0) {
    dropBlock();
  } else if (size > kMaxBlockBytes) {
    // The header's counts and the block's size are 32-bit: a wrapped size
    // would make the copy run past the block.
    dropBlock();
    if (!reportedOverflow_.exchange(true)) {
      char text[160];
      std::snprintf(text, sizeof text,
                    "Corvanta: the geometry of material %016llx needs %llu bytes, more than a link block holds; "
                    "it is published without geometry\n",
                    static_cast<unsigned long long>(key), static_cast<unsigned long long>(size));
      Report(text);
    }
  } else {
    if (state.id == 0 || state.capacity < size || connection.GetBlockSize(state.id) < size) {
      dropBlock();
      const std::uint32_t capacity = static_cast<std::uint32_t>(std::min<std::uint64_t>(2 * size, kMaxBlockBytes));
      const std::uint32_t id = connection.CreateBlock(CorvantaAPI::LoadShared(link->id), capacity);
      if (id != 0) {
        state.id = id;
        state.capacity = capacity;
      }
    }
    void* view = state.id != 0 ? connection.OpenBlock(state.id) : nullptr;
    if (view != nullptr && connection.GetBlockSize(state.id) >= size) {
      CopyMeshesIntoBlock(static_cast<std::uint8_t*>(view), static_cast<std::uint32_t>(v),
                          static_cast<std::uint32_t>(i), group->data(), meshCount);
    } else {
      // A block that cannot be made or mapped would show the renderer
      // whatever it held before: the material goes without geometry until
      // its next write.
      dropBlock();
    }
  }

  // The record always names the block as this builder knows it, whatever a
  // renderer wrote there meanwhile.
  CorvantaAPI::StoreShared(*idField, state.id);
  CorvantaAPI::StoreShared(*capacityField, state.capacity);
  CorvantaAPI::StoreShared(*changeField, CorvantaAPI::LoadShared(*changeField) + 1);
  connection.SetRecordFlags(link, 1);
  pass.processedKeys.insert(key);
  if (std::chrono::steady_clock::now() >= pass.deadline) pass.keepGoing = false;
}

}  // namespace scene
