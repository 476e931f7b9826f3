// The per-material geometry write of a publish pass: every finished mesh of
// one material merged into that material's link block.
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

// Byte offsets of one mesh's copies within the four arrays of a block.
struct Placement {
  std::uint64_t vertex = 0;  // first vertex of its front copy
  std::uint64_t index = 0;   // first index of its front copy
};

// Where the four arrays of a block start.
struct Arrays {
  std::uint8_t* positions;
  std::uint8_t* normals;
  std::uint8_t* texCoords;
  std::uint8_t* indices;
};

// Vertices [from, to) of one copy of a mesh (front, or back with negated
// normals) to block vertex base + from onward.
void CopyVertices(const MeshInfo& mesh, const Arrays& out, std::uint64_t base, std::size_t from, std::size_t to,
                  bool back) {
  const std::size_t n = to - from;
  std::memcpy(out.positions + 12 * (base + from), mesh.positions.data() + 3 * from, 12 * n);
  std::memcpy(out.texCoords + 8 * (base + from), mesh.texCoords.data() + 2 * from, 8 * n);
  float* normals = reinterpret_cast<float*>(out.normals + 12 * (base + from));
  const float* in = mesh.normals.data() + 3 * from;
  if (back) {
    for (std::size_t i = 0; i < 3 * n; ++i) normals[i] = -in[i];
  } else {
    std::memcpy(normals, in, 12 * n);
  }
}

// Indices [from, to) of one copy of a mesh to block index base + from
// onward, offset by the copy's first vertex: the front copy takes the
// mesh's list reversed (which turns every triangle), the back copy its own
// order.
void CopyIndices(const MeshInfo& mesh, const Arrays& out, std::uint64_t base, std::uint32_t vertexOffset,
                 std::size_t from, std::size_t to, bool back) {
  std::uint32_t* o = reinterpret_cast<std::uint32_t*>(out.indices + 4 * base);
  const std::uint32_t* in = mesh.indices.data();
  const std::size_t ic = static_cast<std::size_t>(mesh.indexCount);
  if (back) {
    for (std::size_t k = from; k < to; ++k) o[k] = in[k] + vertexOffset;
  } else {
    const std::uint32_t* last = in + ic - 1;
    for (std::size_t k = from; k < to; ++k) o[k] = last[-std::ptrdiff_t(k)] + vertexOffset;
  }
}

// Asks for part of a mesh's arrays ahead of their copy. The meshes of a
// group lie scattered over the heap, in four arrays each of a few hundred
// bytes: too short for the hardware to see a stream, so without this every
// copy waits for memory.
void Ahead(const void* data, std::size_t bytes) {
  const char* p = static_cast<const char*>(data);
  for (std::size_t at = 0; at < bytes; at += 64) __builtin_prefetch(p + at);
}
void PrefetchVertices(const MeshInfo& mesh) {
  const std::size_t vc = static_cast<std::size_t>(mesh.vertexCount);
  Ahead(mesh.positions.data(), 12 * vc);
  Ahead(mesh.normals.data(), 12 * vc);
  Ahead(mesh.texCoords.data(), 8 * vc);
}
void PrefetchIndices(const MeshInfo& mesh) {
  Ahead(mesh.indices.data(), 4 * static_cast<std::size_t>(mesh.indexCount));
}

// Prefetch distances in meshes (arrays, then the records that point to
// them); the block size from which a second thread helps, and the number of
// byte ranges it is cut into then.
constexpr std::size_t kArraysAhead = 2;
constexpr std::size_t kRecordsAhead = 4;
constexpr std::uint64_t kParallelVertices = 1u << 18;
constexpr std::size_t kRanges = 16;

bool Copyable(const MeshInfo* mesh) {
  if (mesh == nullptr || !mesh->IsFinished() || mesh->vertexCount < 0 || mesh->indexCount < 0) return false;
  const std::size_t vc = static_cast<std::size_t>(mesh->vertexCount);
  const std::size_t ic = static_cast<std::size_t>(mesh->indexCount);
  return mesh->positions.size() >= 3 * vc && mesh->normals.size() >= 3 * vc && mesh->texCoords.size() >= 2 * vc &&
         mesh->indices.size() >= ic;
}

}  // namespace

std::uint64_t GeometryBlockBytes(std::uint64_t vertexCount, std::uint64_t indexCount, std::uint64_t texSets) {
  return 4 * (3 + 6 * vertexCount + 2 * texSets * vertexCount + indexCount);
}

void CopyMeshesIntoBlock(std::uint8_t* block, std::uint32_t vertexCount, std::uint32_t indexCount,
                         const MeshInfo* const* meshes, std::size_t meshCount) {
  const CorvantaAPI::GeometryBlockHeader header{vertexCount, indexCount, CorvantaAPI::kGeometryTexCoordSets};
  std::memcpy(block, &header, sizeof header);
  const std::uint64_t v = vertexCount;
  std::uint8_t* positions = block + sizeof header;
  std::uint8_t* normals = positions + 12 * v;
  std::uint8_t* texCoords = normals + 12 * v;
  std::uint8_t* indices = texCoords + 8 * v;

  // Where each mesh goes; meshes beyond the header's totals are left out
  // rather than written past them.
  std::vector<Placement> placements;
  std::vector<const MeshInfo*> copied;
  placements.reserve(meshCount);
  copied.reserve(meshCount);
  Placement next;
  for (std::size_t i = 0; i < meshCount; ++i) {
    const MeshInfo* mesh = meshes[i];
    if (!Copyable(mesh)) continue;
    const std::uint64_t copies = mesh->doubleSided ? 2 : 1;
    const std::uint64_t vc = copies * std::uint64_t(mesh->vertexCount);
    const std::uint64_t ic = copies * std::uint64_t(mesh->indexCount);
    if (next.vertex + vc > vertexCount || next.index + ic > indexCount) break;
    placements.push_back(next);
    copied.push_back(mesh);
    next.vertex += vc;
    next.index += ic;
  }

  // The block is cut into ranges of vertices and of indices, each range
  // carrying the same share of both, so that the tasks are even by bytes
  // whatever the sizes of the meshes (one mesh may hold most of a
  // material). A range never overlaps another, so tasks write apart.
  placements.push_back(next);  // sentinel: the end of the last mesh
  const Arrays out{positions, normals, texCoords, indices};
  // The first mesh whose copies reach past position at of a count.
  auto firstMesh = [&](std::uint64_t at, std::uint64_t Placement::*field) {
    auto it = std::upper_bound(placements.begin(), placements.end() - 1, at,
                               [field](std::uint64_t value, const Placement& p) { return value < p.*field; });
    return static_cast<std::size_t>(it - placements.begin()) - 1;
  };
  // Part [a, b) of the block's vertices or of its indices (field says
  // which; count gives a mesh's number of them): every copy of a mesh that
  // overlaps the part hands its overlap to copy (mesh, index, back side,
  // block position of the copy, range within the copy).
  auto copyPart = [&](std::uint64_t a, std::uint64_t b, std::uint64_t Placement::*field, auto prefetch, auto count,
                      auto copy) {
    if (a >= b) return;
    std::size_t i = firstMesh(a, field);
    for (std::size_t k = i; k < std::min(copied.size(), i + kArraysAhead); ++k) prefetch(*copied[k]);
    for (; i < copied.size() && placements[i].*field < b; ++i) {
      if (i + kRecordsAhead < copied.size()) __builtin_prefetch(copied[i + kRecordsAhead]);
      if (i + kArraysAhead < copied.size()) prefetch(*copied[i + kArraysAhead]);
      const MeshInfo& mesh = *copied[i];
      const std::uint64_t n = count(mesh);
      for (int side = 0; side < (mesh.doubleSided ? 2 : 1); ++side) {
        const std::uint64_t base = placements[i].*field + side * n;
        const std::uint64_t from = std::max(a, base), to = std::min(b, base + n);
        if (from < to) copy(mesh, i, side == 1, base, std::size_t(from - base), std::size_t(to - base));
      }
    }
  };
  auto verticesOf = [](const MeshInfo& m) { return static_cast<std::uint64_t>(m.vertexCount); };
  auto indicesOf = [](const MeshInfo& m) { return static_cast<std::uint64_t>(m.indexCount); };
  auto copyVertices = [&](std::uint64_t a, std::uint64_t b) {
    copyPart(a, b, &Placement::vertex, PrefetchVertices, verticesOf,
             [&](const MeshInfo& mesh, std::size_t, bool back, std::uint64_t base, std::size_t from, std::size_t to) {
               CopyVertices(mesh, out, base, from, to, back);
             });
  };
  auto copyIndices = [&](std::uint64_t a, std::uint64_t b) {
    copyPart(a, b, &Placement::index, PrefetchIndices, indicesOf,
             [&](const MeshInfo& mesh, std::size_t i, bool back, std::uint64_t base, std::size_t from, std::size_t to) {
               // The back copy's vertices follow the front copy's.
               const std::uint64_t first = placements[i].vertex + (back ? verticesOf(mesh) : 0);
               CopyIndices(mesh, out, base, static_cast<std::uint32_t>(first), from, to, back);
             });
  };
  auto copyRange = [&](std::size_t r, std::size_t ranges) {
    copyVertices(next.vertex * r / ranges, next.vertex * (r + 1) / ranges);
    copyIndices(next.index * r / ranges, next.index * (r + 1) / ranges);
  };
  if (next.vertex < kParallelVertices) {
    copyRange(0, 1);
  } else {
    base::ParallelFor(kRanges, [&](std::size_t r) { copyRange(r, kRanges); });
  }
}

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
