// The geometry block of one material: its size and vertex room, and the
// copy of a group's finished meshes into it (front copies with their
// triangles turned, back copies of double-sided meshes), cut into byte-even
// ranges that threads copy apart on a large block; whole, or only the
// vertices of the meshes that changed since the block's last write and the
// indices that moved with them.
#include "base/parallel_for.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <unordered_map>
#include <vector>

#include "livelink/layout.h"
#include "scene/mesh_builder.h"
#include "scene/mesh_group.h"

namespace scene {

namespace {

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
  if (mesh.HoldsTexCoords()) {
    std::memcpy(out.texCoords + 8 * (base + from), mesh.texCoords.data() + 2 * from, 8 * n);
  } else {
    const Vec2f plain = MeshInfo::kPlainTexCoord;
    for (std::size_t k = 0; k < n; ++k) std::memcpy(out.texCoords + 8 * (base + from + k), &plain, 8);
  }
  float* normals = reinterpret_cast<float*>(out.normals + 12 * (base + from));
  if (!mesh.normalOf.empty()) {
    // Shared normals, each vertex's looked up.
    for (std::size_t i = 0; i < n; ++i) {
      const float* in = mesh.NormalOf(from + i);
      for (int k = 0; k < 3; ++k) normals[3 * i + k] = back ? -in[k] : in[k];
    }
    return;
  }
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
  if (mesh.normalOf.empty()) {
    Ahead(mesh.normals.data(), 12 * vc);
  } else {
    Ahead(mesh.normalOf.data(), vc);
  }
  Ahead(mesh.texCoords.data(), mesh.HoldsTexCoords() ? 8 * vc : 0);
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
  return mesh->positions.size() >= 3 * vc && mesh->NormalsCover(vc) &&
         (!mesh->HoldsTexCoords() || mesh->texCoords.size() >= 2 * vc) && mesh->indices.size() >= ic;
}

// Where the meshes go in a block: the copied meshes in order, each with
// its placement, then one more placement for the end of the last.
struct BlockPlan {
  std::vector<Placement> placements;
  std::vector<const MeshInfo*> copied;
  std::vector<std::size_t> slotOf;  // the group's slot of each copied mesh

  const Placement& End() const { return placements.back(); }
};

// Places every copyable mesh of meshes after the one before it; meshes
// beyond the header's totals are left out rather than written past them.
// With a group, also says for every slot what it puts into the block, and
// takes a slot that written holds as it was written.
void PlaceMeshes(const MeshInfo* const* meshes, std::size_t meshCount, std::uint32_t vertexCount,
                 std::uint32_t indexCount, BlockPlan& plan, const MaterialGroup* group = nullptr,
                 const BlockContents* written = nullptr, std::vector<WrittenSlot>* slots = nullptr) {
  plan.placements.clear();
  plan.copied.clear();
  plan.slotOf.clear();
  plan.placements.reserve(meshCount + 1);
  plan.copied.reserve(meshCount);
  plan.slotOf.reserve(meshCount);
  if (slots != nullptr) slots->assign(meshCount, WrittenSlot{});
  Placement next;
  for (std::size_t i = 0; i < meshCount; ++i) {
    const MeshInfo* mesh = meshes[i];
    std::uint64_t vc = 0, ic = 0;
    if (written != nullptr && written->Holds(*group, i)) {
      vc = written->slots[i].vertices;
      ic = written->slots[i].indices;
    } else if (Copyable(mesh)) {
      const std::uint64_t copies = mesh->doubleSided ? 2 : 1;
      vc = copies * std::uint64_t(mesh->vertexCount);
      ic = copies * std::uint64_t(mesh->indexCount);
    } else {
      continue;
    }
    if (next.vertex + vc > vertexCount || next.index + ic > indexCount) break;
    plan.placements.push_back(next);
    plan.copied.push_back(mesh);
    plan.slotOf.push_back(i);
    if (slots != nullptr) (*slots)[i] = WrittenSlot{group != nullptr ? group->serial(i) : 0, vc, ic, next.vertex};
    next.vertex += vc;
    next.index += ic;
  }
  plan.placements.push_back(next);  // sentinel: the end of the last mesh
}

std::uint64_t VerticesOf(const MeshInfo& m) { return static_cast<std::uint64_t>(m.vertexCount); }
std::uint64_t IndicesOf(const MeshInfo& m) { return static_cast<std::uint64_t>(m.indexCount); }

// The copy of a planned block. The block is cut into ranges of vertices and
// of indices, each range carrying the same share of both, so that the tasks
// are even by bytes whatever the sizes of the meshes (one mesh may hold most
// of a material). A range never overlaps another, so tasks write apart.
struct BlockCopy {
  const BlockPlan& plan;
  Arrays out;

  // The first mesh whose copies reach past position at of a count.
  std::size_t FirstMesh(std::uint64_t at, std::uint64_t Placement::*field) const {
    const auto& placements = plan.placements;
    auto it = std::upper_bound(placements.begin(), placements.end() - 1, at,
                               [field](std::uint64_t value, const Placement& p) { return value < p.*field; });
    return static_cast<std::size_t>(it - placements.begin()) - 1;
  }

  // Part [a, b) of the block's vertices or of its indices (field says
  // which; count gives a mesh's number of them): every copy of a mesh that
  // overlaps the part hands its overlap to copy (mesh, index, back side,
  // block position of the copy, range within the copy).
  template <class Prefetch, class Count, class Copy>
  void CopyPart(std::uint64_t a, std::uint64_t b, std::uint64_t Placement::*field, Prefetch prefetch, Count count,
                Copy copy) const {
    if (a >= b) return;
    const auto& copied = plan.copied;
    std::size_t i = FirstMesh(a, field);
    for (std::size_t k = i; k < std::min(copied.size(), i + kArraysAhead); ++k) prefetch(*copied[k]);
    for (; i < copied.size() && plan.placements[i].*field < b; ++i) {
      if (i + kRecordsAhead < copied.size()) __builtin_prefetch(copied[i + kRecordsAhead]);
      if (i + kArraysAhead < copied.size()) prefetch(*copied[i + kArraysAhead]);
      const MeshInfo& mesh = *copied[i];
      const std::uint64_t n = count(mesh);
      for (int side = 0; side < (mesh.doubleSided ? 2 : 1); ++side) {
        const std::uint64_t base = plan.placements[i].*field + side * n;
        const std::uint64_t from = std::max(a, base), to = std::min(b, base + n);
        if (from < to) copy(mesh, i, side == 1, base, std::size_t(from - base), std::size_t(to - base));
      }
    }
  }

  void CopyVertexPart(std::uint64_t a, std::uint64_t b) const {
    CopyPart(a, b, &Placement::vertex, PrefetchVertices, VerticesOf,
             [&](const MeshInfo& mesh, std::size_t, bool back, std::uint64_t base, std::size_t from, std::size_t to) {
               CopyVertices(mesh, out, base, from, to, back);
             });
  }

  void CopyIndexPart(std::uint64_t a, std::uint64_t b) const {
    CopyPart(a, b, &Placement::index, PrefetchIndices, IndicesOf,
             [&](const MeshInfo& mesh, std::size_t i, bool back, std::uint64_t base, std::size_t from, std::size_t to) {
               // The back copy's vertices follow the front copy's.
               const std::uint64_t first = plan.placements[i].vertex + (back ? VerticesOf(mesh) : 0);
               CopyIndices(mesh, out, base, static_cast<std::uint32_t>(first), from, to, back);
             });
  }

  // Indices [a, b), in ranges split over threads when they are many.
  void CopyIndexSpan(std::uint64_t a, std::uint64_t b) const {
    if (b <= a) return;
    const std::uint64_t n = b - a;
    if (n < 3 * kParallelVertices) {
      CopyIndexPart(a, b);
    } else {
      base::ParallelFor(kRanges, [&](std::size_t r) { CopyIndexPart(a + n * r / kRanges, a + n * (r + 1) / kRanges); });
    }
  }

  // Every copy of one copied mesh's vertices, at its placement.
  void CopyMeshVertices(std::size_t c) const {
    const MeshInfo& mesh = *plan.copied[c];
    const std::uint64_t n = VerticesOf(mesh);
    for (int side = 0; side < (mesh.doubleSided ? 2 : 1); ++side)
      CopyVertices(mesh, out, plan.placements[c].vertex + side * n, 0, std::size_t(n), side == 1);
  }

  // The vertices and indices from one placement up to another, in ranges
  // of the same share of both, split over threads when they are many.
  void CopySpan(const Placement& from, const Placement& to) const {
    const std::uint64_t nv = to.vertex - from.vertex, ni = to.index - from.index;
    auto range = [&](std::size_t r, std::size_t ranges) {
      CopyVertexPart(from.vertex + nv * r / ranges, from.vertex + nv * (r + 1) / ranges);
      CopyIndexPart(from.index + ni * r / ranges, from.index + ni * (r + 1) / ranges);
    };
    if (nv < kParallelVertices) {
      range(0, 1);
    } else {
      base::ParallelFor(kRanges, [&](std::size_t r) { range(r, kRanges); });
    }
  }
};

Arrays ArraysOf(std::uint8_t* block, std::uint32_t vertexCount) {
  const std::uint64_t v = vertexCount;
  std::uint8_t* positions = block + sizeof(CorvantaAPI::GeometryBlockHeader);
  return Arrays{positions, positions + 12 * v, positions + 24 * v, positions + 32 * v};
}

// The header's counts, one 32-bit store each (the block is shared memory
// that a renderer may be reading).
void WriteCounts(std::uint8_t* block, std::uint32_t vertexCount, std::optional<std::uint32_t> indexCount) {
  auto* header = reinterpret_cast<CorvantaAPI::GeometryBlockHeader*>(block);
  CorvantaAPI::StoreShared(header->vertexCount, vertexCount);
  CorvantaAPI::StoreShared(header->texCoordSets, CorvantaAPI::kGeometryTexCoordSets);
  if (indexCount) CorvantaAPI::StoreShared(header->indexCount, *indexCount);
}

// The room's filler: the first corner that a triangle of the plan names, as
// its front copy holds it. False (filler emptied) when no triangle names
// any vertex.
bool PickFiller(const BlockPlan& plan, const std::vector<WrittenSlot>* slots, RoomFiller& filler) {
  for (std::size_t c = 0; c < plan.copied.size(); ++c) {
    const MeshInfo& mesh = *plan.copied[c];
    if (mesh.indexCount <= 0 || mesh.vertexCount <= 0) continue;
    const std::uint32_t v = mesh.indices[0];
    if (v >= static_cast<std::uint32_t>(mesh.vertexCount)) continue;
    std::memcpy(filler.vertex, mesh.positions.data() + 3 * std::size_t{v}, 12);
    std::memcpy(filler.vertex + 3, mesh.NormalOf(v), 12);
    const Vec2f uv = mesh.HoldsTexCoords()
                         ? Vec2f{mesh.texCoords[2 * std::size_t{v}], mesh.texCoords[2 * std::size_t{v} + 1]}
                         : MeshInfo::kPlainTexCoord;
    filler.vertex[6] = uv.u;
    filler.vertex[7] = uv.v;
    filler.slot = plan.slotOf[c];
    filler.serial = slots != nullptr ? (*slots)[filler.slot].serial : 0;
    return true;
  }
  filler = RoomFiller{};
  return false;
}

// Vertices [from, to) of every vertex array to copies of the filler: room
// no mesh uses holds no stale geometry, and nothing a renderer could take
// for anything but one of the block's own corners (a zero vertex would be
// a point at the origin with no normal, and stretch any bounds taken from
// the arrays there).
void FillVertices(const Arrays& out, std::uint64_t from, std::uint64_t to, const RoomFiller& filler) {
  if (from >= to) return;
  for (std::uint64_t v = from; v < to; ++v) {
    std::memcpy(out.positions + 12 * v, filler.vertex, 12);
    std::memcpy(out.normals + 12 * v, filler.vertex + 3, 12);
    std::memcpy(out.texCoords + 8 * v, filler.vertex + 6, 8);
  }
}

// The whole block: the meshes from the first vertex in the group's order,
// the room after them filled with a corner of the first.
void CopyWhole(const BlockCopy& copy, std::uint32_t vertexCount, const std::vector<WrittenSlot>* slots,
               RoomFiller& filler) {
  copy.CopySpan(Placement{}, copy.plan.End());
  PickFiller(copy.plan, slots, filler);
  FillVertices(copy.out, copy.plan.End().vertex, vertexCount, filler);
}

// The room of a block: the vertex ranges no mesh holds, by first vertex,
// neighbours joined.
class VertexRoom {
 public:
  explicit VertexRoom(std::map<std::uint64_t, std::uint64_t>& rooms) : free_(rooms) {}

  // Room again: vertices [first, first + count), which no mesh holds now.
  void Give(std::uint64_t first, std::uint64_t count) {
    if (count == 0) return;
    auto next = free_.lower_bound(first);
    if (next != free_.begin()) {
      auto before = std::prev(next);
      if (before->first + before->second == first) {
        first = before->first;
        count += before->second;
        free_.erase(before);
      }
    }
    if (next != free_.end() && next->first == first + count) {
      count += next->second;
      free_.erase(next);
    }
    free_.emplace(first, count);
  }

  // Takes count vertices at wanted if they are room, else the lowest room
  // that holds them. False when none does, or when the rooms looked at in
  // this block's write pass a bound: a block cut into many small rooms is
  // better written whole (which closes them up) than searched mesh by mesh.
  bool Take(std::uint64_t count, std::uint64_t wanted, std::uint64_t* first) {
    auto it = free_.upper_bound(wanted);
    if (it != free_.begin()) {
      auto around = std::prev(it);
      if (around->first + around->second >= wanted + count) return Carve(around, wanted, count, first);
    }
    for (it = free_.begin(); it != free_.end() && looked_ < kLookBound; ++it, ++looked_)
      if (it->second >= count) return Carve(it, it->first, count, first);
    return false;
  }

 private:
  bool Carve(std::map<std::uint64_t, std::uint64_t>::iterator room, std::uint64_t at, std::uint64_t count,
             std::uint64_t* first) {
    const std::uint64_t start = room->first, end = room->first + room->second;
    free_.erase(room);
    if (at > start) free_.emplace(start, at - start);
    if (end > at + count) free_.emplace(at + count, end - at - count);
    *first = at;
    return true;
  }

  static constexpr std::uint64_t kLookBound = 1u << 16;
  std::map<std::uint64_t, std::uint64_t>& free_;
  std::uint64_t looked_ = 0;
};

// Where the block's meshes go when it keeps its vertex count: a mesh copied
// before (its serial, in whatever slot) stays where its vertices lie, a new
// one takes room. Sets now's first vertices (not the plan's), says which
// copied meshes need their vertices written (fresh) and which vertex ranges
// of the last write no mesh holds now (freed), and brings rooms up to date.
// False when some new mesh finds no room, or the new meshes hold most
// vertices: the block is then written whole (and rooms made anew).
bool PlaceInRoom(const BlockPlan& plan, std::vector<WrittenSlot>& now, const std::vector<WrittenSlot>& before,
                 std::uint64_t vertexCount, std::map<std::uint64_t, std::uint64_t>& rooms, std::vector<char>& kept,
                 std::vector<std::size_t>& fresh, std::vector<std::pair<std::uint64_t, std::uint64_t>>& freed) {
  const std::size_t copied = plan.copied.size();
  kept.assign(before.size(), 0);
  // Most meshes are in the slot they were. The others are new, or moved
  // when the group closed its holes: looked up by serial, unless they are
  // so many that the block is written whole anyway.
  const auto keep = [&](WrittenSlot& is, std::size_t from) {
    const WrittenSlot& was = before[from];
    if (kept[from] || was.vertices != is.vertices || was.firstVertex + was.vertices > vertexCount) return false;
    kept[from] = 1;
    is.firstVertex = was.firstVertex;
    return true;
  };
  std::uint64_t otherVertices = 0;
  for (std::size_t c = 0; c < copied; ++c) {
    const std::size_t slot = plan.slotOf[c];
    WrittenSlot& is = now[slot];
    if (is.vertices == 0) continue;
    if (slot < before.size() && before[slot].serial == is.serial && keep(is, slot)) continue;
    // Mostly new meshes (a material read again whole) are written faster
    // from the first vertex on, by even ranges over threads, than placed
    // one by one; that also closes the room between them up. Known as soon
    // as they pass half, before the rest are listed.
    otherVertices += is.vertices;
    if (2 * otherVertices > plan.End().vertex) return false;
    fresh.push_back(c);
  }
  if (!fresh.empty()) {
    std::unordered_map<std::uint64_t, std::size_t> moved;
    for (std::size_t j = 0; j < before.size(); ++j)
      if (!kept[j] && before[j].serial != 0) moved.emplace(before[j].serial, j);
    std::size_t stillFresh = 0;
    for (std::size_t c : fresh) {
      WrittenSlot& is = now[plan.slotOf[c]];
      auto found = moved.find(is.serial);
      if (found == moved.end() || !keep(is, found->second)) fresh[stillFresh++] = c;
    }
    fresh.resize(stillFresh);
  }
  VertexRoom room(rooms);
  for (std::size_t j = 0; j < before.size(); ++j) {
    // (A write never places vertices past the header's count; were one
    // recorded there, no room may reach past the block's arrays.)
    const std::uint64_t from = before[j].firstVertex, to = std::min(from + before[j].vertices, vertexCount);
    if (kept[j] || from >= to) continue;
    freed.emplace_back(from, to - from);
    room.Give(from, to - from);
  }
  for (std::size_t c : fresh) {
    const std::size_t slot = plan.slotOf[c];
    WrittenSlot& is = now[slot];
    // Where the slot's former mesh lay: an element read again with fewer
    // or as many vertices writes over its own.
    const std::uint64_t wanted = slot < before.size() && before[slot].vertices > 0 ? before[slot].firstVertex : 0;
    if (!room.Take(is.vertices, wanted, &is.firstVertex)) return false;
  }
  return true;
}

// Whether the filler's mesh stays where it was in this write (kept, in the
// slot it had or another): then its corner is still one of the block's, and
// the room's copies of it stand. Follows the mesh to its slot now.
bool FillerKept(RoomFiller& filler, const std::vector<WrittenSlot>& before, const std::vector<char>& kept,
                const std::vector<WrittenSlot>& now) {
  if (filler.serial == 0 || filler.slot >= before.size() || !kept[filler.slot] ||
      before[filler.slot].serial != filler.serial)
    return false;
  if (filler.slot < now.size() && now[filler.slot].serial == filler.serial) return true;
  for (std::size_t slot = 0; slot < now.size(); ++slot) {
    if (now[slot].serial == filler.serial) {
      filler.slot = slot;
      return true;
    }
  }
  return false;
}

}  // namespace

std::uint64_t GeometryBlockBytes(std::uint64_t vertexCount, std::uint64_t indexCount, std::uint64_t texSets) {
  return 4 * (3 + 6 * vertexCount + 2 * texSets * vertexCount + indexCount);
}

std::uint32_t GeometryBlockCapacity(std::uint64_t bytes) {
  constexpr std::uint64_t kLimit = std::numeric_limits<std::uint32_t>::max();
  if (bytes >= kLimit) return static_cast<std::uint32_t>(kLimit);
  const std::uint64_t room = bytes <= kGeometryBlockDoubled ? bytes : std::max(bytes / 8, kGeometryBlockDoubled);
  return static_cast<std::uint32_t>(std::min(bytes + room, kLimit));
}

std::uint64_t GeometryVertexCount(std::uint64_t used, std::uint64_t indexCount, std::uint64_t written) {
  if (used == 0) return 0;
  constexpr std::uint64_t kLimit = std::numeric_limits<std::uint32_t>::max();
  const auto fits = [&](std::uint64_t v) { return GeometryBlockBytes(v, indexCount) <= kLimit; };
  const std::uint64_t room = std::max(used / 16, kGeometryVertexRoom);
  if (written >= used && written <= used + 2 * room && fits(written)) return written;
  return fits(used + room) ? used + room : used;
}

void CopyMeshesIntoBlock(std::uint8_t* block, std::uint32_t vertexCount, std::uint32_t indexCount,
                         const MeshInfo* const* meshes, std::size_t meshCount) {
  BlockPlan plan;
  PlaceMeshes(meshes, meshCount, vertexCount, indexCount, plan);
  WriteCounts(block, vertexCount, indexCount);
  RoomFiller filler;
  CopyWhole(BlockCopy{plan, ArraysOf(block, vertexCount)}, vertexCount, nullptr, filler);
}

// What a block's writes reuse (see BlockContents::scratch).
struct BlockScratch {
  BlockPlan plan;
  std::vector<WrittenSlot> slots;
  std::vector<char> kept;
};

BlockWrite WriteGroupIntoBlock(std::uint8_t* block, std::uint32_t vertexCount, std::uint32_t indexCount,
                               const MaterialGroup& group, BlockContents& contents) {
  if (!contents.scratch) contents.scratch = std::make_shared<BlockScratch>();
  BlockScratch& scratch = *contents.scratch;
  BlockPlan& plan = scratch.plan;
  std::vector<WrittenSlot>& now = scratch.slots;
  PlaceMeshes(group.data(), group.size(), vertexCount, indexCount, plan, &group, contents.known ? &contents : nullptr,
              &now);
  // A renderer that reads without the lock must never see the header count
  // an index that is not in place: a shrinking index count is stored before
  // the indices are written, a growing one after them.
  std::uint32_t indicesBefore = 0;
  std::memcpy(&indicesBefore, block + offsetof(CorvantaAPI::GeometryBlockHeader, indexCount), 4);
  const bool growing = indexCount > indicesBefore;
  WriteCounts(block, vertexCount, growing ? std::nullopt : std::optional(indexCount));
  const BlockCopy copy{plan, ArraysOf(block, vertexCount)};
  const std::vector<WrittenSlot>& before = contents.slots;
  std::vector<std::size_t> fresh;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> freed;
  RoomFiller& filler = contents.filler;

  BlockWrite kind = BlockWrite::kFull;
  if (!contents.known || contents.vertexCount != vertexCount ||
      !PlaceInRoom(plan, now, before, vertexCount, contents.rooms, scratch.kept, fresh, freed)) {
    // Another vertex count moves every array but the first: nothing stays
    // in place. The meshes' places are then those the plan gave them, and
    // the room is what follows them.
    for (std::size_t c = 0; c < plan.copied.size(); ++c) now[plan.slotOf[c]].firstVertex = plan.placements[c].vertex;
    CopyWhole(copy, vertexCount, &now, filler);
    contents.rooms.clear();
    if (vertexCount > plan.End().vertex) contents.rooms.emplace(plan.End().vertex, vertexCount - plan.End().vertex);
  } else {
    for (std::size_t c = 0; c < plan.copied.size(); ++c) plan.placements[c].vertex = now[plan.slotOf[c]].firstVertex;
    if (FillerKept(filler, before, scratch.kept, now)) {
      // Vertices: what this write freed and is still room after it (no new
      // mesh took it) becomes the filler; the rest of the room already is.
      for (const auto& [first, count] : freed) {
        auto room = contents.rooms.upper_bound(first);
        if (room != contents.rooms.begin()) --room;
        for (; room != contents.rooms.end() && room->first < first + count; ++room)
          FillVertices(copy.out, std::max(first, room->first), std::min(first + count, room->first + room->second),
                       filler);
      }
    } else {
      // The filler's mesh left the block: its corner may lie nowhere near
      // the geometry now. Every room takes a corner that is there.
      PickFiller(plan, &now, filler);
      for (const auto& [first, count] : contents.rooms) FillVertices(copy.out, first, first + count, filler);
    }
    std::uint64_t freshVertices = 0;
    for (std::size_t c : fresh) freshVertices += now[plan.slotOf[c]].vertices;
    if (freshVertices < kParallelVertices) {
      for (std::size_t c : fresh) copy.CopyMeshVertices(c);
    } else {
      base::ParallelFor(fresh.size(), [&](std::size_t k) { copy.CopyMeshVertices(fresh[k]); });
    }
    // Indices lie in the group's order. Up to the first slot whose index
    // count changed every slot's indices start where they did, so only
    // the slots whose mesh or vertices changed are written (neighbours
    // joined into one span); from that slot on everything may have moved.
    kind = BlockWrite::kPartial;
    const WrittenSlot none;
    std::uint64_t at = 0, spanFrom = 0, spanTo = 0;
    auto flush = [&] {
      copy.CopyIndexSpan(spanFrom, spanTo);
      spanFrom = spanTo = at;
    };
    for (std::size_t k = 0; k < std::max(before.size(), now.size()); ++k) {
      const WrittenSlot& was = k < before.size() ? before[k] : none;
      const WrittenSlot& is = k < now.size() ? now[k] : none;
      if (was.indices != is.indices) {
        flush();
        spanTo = plan.End().index;
        kind = BlockWrite::kSuffix;
        break;
      }
      if (is.indices == 0 || (is.serial == was.serial && is.firstVertex == was.firstVertex)) {
        at += is.indices;
        continue;
      }
      if (spanTo != at) flush();
      at += is.indices;
      spanTo = at;
    }
    copy.CopyIndexSpan(spanFrom, spanTo);
  }
  if (growing) {
    // The indices are in place; only now may the header count them.
    CorvantaAPI::StoreShared(reinterpret_cast<CorvantaAPI::GeometryBlockHeader*>(block)->indexCount, indexCount);
  }
  contents.known = true;
  contents.vertexCount = vertexCount;
  contents.indexCount = indexCount;
  // The slots written before become the next write's buffer.
  contents.slots.swap(now);
  return kind;
}

}  // namespace scene
