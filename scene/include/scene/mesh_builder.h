// The mesh builder: turns host bodies into BodyInfo records, finishes their
// meshes into indexed triangle lists (optionally welded), and writes the
// merged geometry of one material into its link block during a publish pass.
//
// Threads: SetOptions and BuildBody run on the host thread (they change the
// owner's groups and insert into its dirty key set). FinishMesh and
// WriteGeometry run on parallel-loop threads: one mesh is finished by one
// task, one material key is written by one task per pass; the material
// library is only read meanwhile.
//
// Bad host data never makes the builder read out of range: a corner whose
// vertex index is outside the body is dropped, a piece left with fewer than
// three corners yields no triangles, a normal index of 0 or past the list
// gives each piece the normal of its own corners ((0, 0, 0) when they span
// no area), and a vertex that is not finite stays in the body's list but no
// corner uses it.
//
// Implemented in scene/src/ by:
//   mesh_builder.cpp    options, fault reports, the meshes it creates
//   body_reading.cpp    BuildBody
//   mesh_finishing.cpp  FinishMesh
//   geometry_write.cpp  WriteGeometry and ForgetBlock
//   geometry_block.cpp  GeometryBlockBytes, GeometryBlockCapacity,
//                       GeometryVertexCount, CopyMeshesIntoBlock and
//                       WriteGroupIntoBlock
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/concurrent_containers.h"
#include "hostsdk/modeler.h"
#include "scene/mesh_group.h"
#include "scene/mesh_info.h"

namespace CorvantaAPI {
class LiveConnection;
struct Record;
}  // namespace CorvantaAPI

namespace scene {

class MaterialLibrary;
struct MaterialRecord;

// The owner's material groups (the scene's, or the exporter's).
using MaterialGroups = std::unordered_map<std::uint64_t, MaterialGroup>;
// The owner's concurrent set of material keys whose geometry must be written.
using DirtyKeySet = base::ConcurrentSet<std::uint64_t>;

// What the tasks of one publish pass share.
struct GeometryPass {
  const std::atomic<bool>& publishRequested;  // the scene's flag; work stops when it drops
  std::atomic<bool>& keepGoing;               // cleared once the deadline passed
  std::chrono::steady_clock::time_point deadline;
  base::ConcurrentSet<std::uint64_t>& processedKeys;  // keys written completely
  base::ConcurrentSet<std::uint32_t>& releaseBlocks;  // blocks replaced or emptied

  bool Going() const {
    return publishRequested.load(std::memory_order_relaxed) && keepGoing.load(std::memory_order_relaxed);
  }
};

// Bytes of a geometry block with V vertices, I indices and K texture
// coordinate sets: 4 * (3 + 6V + 2KV + I). Computed in 64 bits.
std::uint64_t GeometryBlockBytes(std::uint64_t vertexCount, std::uint64_t indexCount, std::uint64_t texSets = 1);

// The capacity a new geometry block is made with for bytes of geometry,
// leaving room for the material to grow before its block must be made
// again: twice the size up to kGeometryBlockDoubled, above it an eighth
// more (at least kGeometryBlockDoubled more). A block's memory is committed
// when it is made, and for the material that holds most of a large model
// doubling would commit hundreds of megabytes it never uses, taking the
// time to do so out of the link's start. Never past the 32-bit limit of a
// block's size; bytes past that limit give the limit.
constexpr std::uint64_t kGeometryBlockDoubled = std::uint64_t{64} << 20;
std::uint32_t GeometryBlockCapacity(std::uint64_t bytes);

// The vertex count a material's block header gives for `used` vertices of
// meshes: room for the material to change without its arrays moving. The
// normal, texture coordinate and index arrays start at offsets that depend
// on the header's vertex count, so a block whose count changed is a new
// block for the renderer, written and read whole; with room, an element
// added, removed or read again with other counts writes only its own
// vertices and the indices from it on. The room a block already has
// (written, 0 for a new block) is kept while it holds used and is not more
// than twice what a new block would get; otherwise used plus a sixteenth
// (at least kGeometryVertexRoom). The room is left out when the block would
// pass the 32-bit limit of a block's size with it (indexCount indices).
constexpr std::uint64_t kGeometryVertexRoom = 64;
std::uint64_t GeometryVertexCount(std::uint64_t used, std::uint64_t indexCount, std::uint64_t written);

// Writes the header and every mesh of meshes (in order) into block, which
// must hold GeometryBlockBytes of the totals: for each mesh a front copy with
// its index list reversed, then for a double-sided mesh a back copy with
// negated normals and its own index order; the vertices past the meshes'
// (room the header gives) are copies of the first corner a triangle names
// (zero when no triangle names any). Meshes that are not finished are
// skipped; meshes past the header's totals are left out rather than written
// past them. The copy is never cut short: a block is written whole.
void CopyMeshesIntoBlock(std::uint8_t* block, std::uint32_t vertexCount, std::uint32_t indexCount,
                         const MeshInfo* const* meshes, std::size_t meshCount);

// What a write put into a geometry block, slot by slot of the group it came
// from, so that the next write of the same block knows which bytes already
// hold what it would write.
struct WrittenSlot {
  std::uint64_t serial = 0;    // the group's serial of the copied mesh; 0: nothing copied (a hole, a raw mesh)
  std::uint64_t vertices = 0;  // copied, front and back copies counted
  std::uint64_t indices = 0;
  std::uint64_t firstVertex = 0;  // where its vertices lie in the block (its indices follow the slot before)
};
struct BlockScratch;  // buffers of the writer's own
// The vertex a block's room repeats: a corner of one of its meshes, so that
// a renderer that reads every vertex (for bounds, say) meets only geometry.
struct RoomFiller {
  std::uint64_t serial = 0;  // the mesh it was taken from; 0: none (the room is zero)
  std::size_t slot = 0;      // that mesh's slot at the last write
  float vertex[8] = {};      // position, normal, texture coordinates
};
struct BlockContents {
  bool known = false;             // false: the block may hold anything
  std::uint32_t vertexCount = 0;  // the header's: the meshes' vertices and the room left between and after them
  std::uint32_t indexCount = 0;
  std::vector<WrittenSlot> slots;
  std::map<std::uint64_t, std::uint64_t> rooms;  // vertices no mesh holds: first -> count, neighbours joined
  RoomFiller filler;                             // what every vertex of the rooms holds
  // Buffers kept from write to write: at 10M triangles a material has
  // 100,000 meshes and more, and arrays that long, allocated anew for
  // every write, cost more in first touches of fresh memory than an edit's
  // own bytes. One write at a time uses them.
  std::shared_ptr<BlockScratch> scratch;

  // Whether group's slot still holds the mesh copied there, whose counts
  // are then those written: a finished mesh never changes, so a large
  // group's unchanged meshes need not be visited (each is a cache miss).
  bool Holds(const MaterialGroup& group, std::size_t slot) const {
    return slot < slots.size() && slots[slot].serial != 0 && slots[slot].serial == group.serial(slot);
  }
};

// How a write brought a block up to date.
enum class BlockWrite {
  kNone,     // not written (no block, or nothing to write)
  kFull,     // header and every mesh, in the group's order from the first vertex
  kSuffix,   // the vertices of the meshes that changed, and the indices from the first slot whose counts changed
  kPartial,  // only the meshes that changed
};

// Brings block, which holds what contents says, to what CopyMeshesIntoBlock
// writes for group's slots under these totals, triangle for triangle in the
// same order, and contents to what the block then holds. With known
// contents of the same vertex count, a mesh copied before keeps its
// vertices where they lie (whatever its slot now), a new mesh takes room
// that no mesh uses (where the slot's former mesh lay, if it fits, else the
// lowest room that fits), the vertices no mesh uses any longer become copies
// of the room's filler (all room is filled anew when the filler's mesh left),
// and the indices are written for the slots that changed and, from the
// first slot whose index count changed, up to the end. Without such
// contents, or when no room fits a new mesh, the block is written whole.
// The header is always written. contents must be forgotten (known false)
// whenever the block is replaced, lost or written by anything else: a write
// trusts it without looking at the block.
BlockWrite WriteGroupIntoBlock(std::uint8_t* block, std::uint32_t vertexCount, std::uint32_t indexCount,
                               const MaterialGroup& group, BlockContents& contents);

class MeshBuilder {
 public:
  // materials maps polygon materials to records (required for BuildBody);
  // groups and dirtyKeys, when set, receive every mesh created.
  MeshBuilder(MaterialLibrary* materials, MaterialGroups* groups, DirtyKeySet* dirtyKeys);
  ~MeshBuilder();
  MeshBuilder(const MeshBuilder&) = delete;
  MeshBuilder& operator=(const MeshBuilder&) = delete;

  // Sets the options and restarts the body counter at 0. A new run of the
  // link starts here, so the geometry blocks of an earlier run are forgotten.
  void SetOptions(bool smooth, bool optimize, float verticalOffset);
  bool Smooth() const { return smooth_; }
  bool Optimize() const { return optimize_; }
  float VerticalOffset() const { return verticalOffset_; }
  std::uint64_t BodyCounter() const { return bodyCounter_; }

  // Where faults are reported; the host's debug output (DBPrintf) until set.
  void SetDebugOutput(std::function<void(std::string_view)> output);
  // One line to that output, from any thread that may write it.
  void Report(std::string_view text) const;

  // Reads a host body into a new BodyInfo with one raw mesh per material
  // and smoothing its visible polygons use; each new mesh enters the group
  // of its material key and marks the key dirty. Never null.
  std::unique_ptr<BodyInfo> BuildBody(const ModelerAPI::Body& body);

  // Finishes a raw mesh: unique corners, fan triangles, normals, texture
  // coordinates (scaled by the record's texture size; (0, 1) without
  // texture), welding when optimize is on; frees its PolygonData. False,
  // with nothing changed, when mesh, its PolygonData or record is missing.
  // With spent, the PolygonData is moved there instead of being freed, for
  // the thread that allocated it to free. A mesh of many pieces is given up
  // part way, with nothing changed and false returned, once abandon is set.
  bool FinishMesh(MeshInfo* mesh, const MaterialRecord* record, std::unique_ptr<PolygonData>* spent = nullptr,
                  const std::atomic<bool>* abandon = nullptr) const;

  // The geometry write of one dirty material key in a publish pass:
  // finishes the key's raw meshes, and if the pass is still going, writes
  // the merged geometry into the material's link block (created or grown to
  // twice the needed size; released when the group is empty), bumps the
  // record's geometry change counter and flags it. A block kept from the
  // key's last write gets only the bytes that changed (WriteGroupIntoBlock):
  // an edit of one element costs its own meshes, not its material's size. A block whose size would
  // not fit in 32 bits is not written: the material is published without
  // geometry and the fault is reported once. Does nothing when the pass is
  // not going. The key is added to the pass's processed keys only when its
  // block and record were written completely: once the copy has begun it
  // runs to the end even if the pass is asked to stop, so a stop leaves a
  // key either untouched (and dirty) or whole. A key the library no longer
  // holds writes no record at all (not even the default material's): its
  // block, if any, is queued for release.
  void WriteGeometry(CorvantaAPI::LiveConnection& connection, std::uint64_t key, GeometryPass& pass);
  // How the last write of key brought its block up to date (kNone when it
  // has no block). Host thread, while no publish pass runs.
  BlockWrite LastWrite(std::uint64_t key) const;
  // Releases the geometry block this builder made for key, at once, and
  // forgets it: for a material record that is retired. Host thread, while
  // no publish pass runs.
  void ForgetBlock(CorvantaAPI::LiveConnection& connection, std::uint64_t key);

 private:
  // Geometry block of one material as this builder made it, and what it
  // wrote there last. Kept here, not read back from the link record or the
  // block, which the renderer can write.
  struct BlockState {
    CorvantaAPI::Record* linkRecord = nullptr;
    std::uint32_t id = 0;
    std::uint32_t capacity = 0;
    BlockContents contents;
    BlockWrite lastWrite = BlockWrite::kNone;

    // Queues the block, if any, for release after the pass and forgets it
    // and its contents.
    void Drop(GeometryPass& pass);
    // Keeps the block when it holds bytes; otherwise drops it and creates
    // one of twice that size (at most 32 bits) for linkRecord. Without a
    // block (id 0) when the creation fails.
    void Fit(CorvantaAPI::LiveConnection& connection, std::uint64_t bytes, GeometryPass& pass);
  };

  // The finished meshes of one material's group and what they put into its
  // block, front and back copies counted.
  struct GroupGeometry {
    const MaterialGroup* group = nullptr;  // null when the owner has none for the key
    std::uint64_t vertices = 0;
    std::uint64_t indices = 0;
  };

  MeshInfo* CreateMesh(BodyInfo& body, std::uint64_t key, bool smooth, std::int32_t polygonCount);

  // The steps of WriteGeometry.
  // Queues the block of a key the library no longer holds for release,
  // forgets it, and counts the key as processed.
  void ReleaseKeyWithoutMaterial(std::uint64_t key, GeometryPass& pass);
  // Finishes the raw meshes of key's group and counts the group's finished
  // geometry (a slot that written holds is counted as it was written).
  // False when the pass stopped before every raw mesh was tried: the key
  // must then be left untouched for a later pass.
  bool FinishGroup(std::uint64_t key, const MaterialRecord& record, const BlockContents* written,
                   GroupGeometry& geometry, GeometryPass& pass) const;
  // This builder's block state for key, started afresh when it belonged to
  // another link record.
  BlockState& BlockFor(std::uint64_t key, CorvantaAPI::Record* link);
  // Sizes the block for geometry, creates or grows it, and brings it up to
  // date with the group (a new block is written whole); an empty group, a size past 32 bits (reported once) or a block
  // that cannot be made or mapped leaves the state without a block.
  void FillBlock(CorvantaAPI::LiveConnection& connection, std::uint64_t key, BlockState& state,
                 const GroupGeometry& geometry, GeometryPass& pass);
  void ReportOverflow(std::uint64_t key, std::uint64_t bytes) const;

  MaterialLibrary* materials_;
  MaterialGroups* groups_;
  DirtyKeySet* dirtyKeys_;
  Vec4f negation_{-1, -1, -1, 1};
  bool smooth_ = true;
  bool optimize_ = false;
  float verticalOffset_ = 0.01f;
  std::uint64_t bodyCounter_ = 0;

  base::ConcurrentMap<std::uint64_t, BlockState> blocks_;
  std::function<void(std::string_view)> debugOutput_;
  mutable std::atomic<bool> reportedOverflow_{false};
};

}  // namespace scene
