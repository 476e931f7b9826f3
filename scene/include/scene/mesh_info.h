// The records the mesh builder produces: a BodyInfo per host body (its
// vertices in the renderer's frame) owning one MeshInfo per combination of
// material and smoothing its visible polygons use. A MeshInfo is raw (it
// holds PolygonData) until MeshBuilder::FinishMesh turns it into an indexed
// triangle list; then it is final.
//
// Frame: a host point (x, y, z), z up, is stored as (x, z + vertical offset,
// y); a host normal as (x, z, y).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace scene {

struct Vec2f {
  float u = 0, v = 0;
};
struct Vec3f {
  float x = 0, y = 0, z = 0;
};
// Vectors while a body is built: w is 1.
struct Vec4f {
  float x = 0, y = 0, z = 0, w = 1;
};

// A corner of a convex piece: the low 32 bits hold the 0-based host vertex
// index, the high 32 bits the 0-based index of the piece within its
// PolygonData.
using CornerKey = std::uint64_t;
constexpr CornerKey MakeCornerKey(std::uint32_t vertex, std::uint32_t piece) {
  return (static_cast<std::uint64_t>(piece) << 32) | vertex;
}
constexpr std::uint32_t CornerVertex(CornerKey key) { return static_cast<std::uint32_t>(key); }
constexpr std::uint32_t CornerPiece(CornerKey key) { return static_cast<std::uint32_t>(key >> 32); }

// The raw polygons of one mesh, as the host split them into convex pieces.
struct PolygonData {
  // Reserves room for a body of polygonCount host polygons; the builder
  // trims it once the body is read.
  explicit PolygonData(std::int32_t polygonCount);

  std::int32_t cornerTotal = 0;            // corners over all pieces
  std::vector<Vec4f> flatNormals;          // one per piece; flat meshes only
  std::vector<std::int32_t> cornerCounts;  // one per piece
  std::vector<CornerKey> corners;          // every corner, piece by piece
  // Per corner, beside corners: empty, or as long as corners once the body
  // is read. Only the first corner of each vertex within a piece is read;
  // a corner with nothing recorded holds zeros. Flat arrays, not maps keyed
  // by corner: no hashing on the host thread or when finishing, and less
  // memory than a map's keys and spare slots.
  std::vector<Vec2f> cornerTexCoords;  // host texture units; textured meshes only
  std::vector<Vec3f> cornerNormals;    // smooth meshes only
  // The body's vertices, when this was the last of its meshes to be
  // finished: they go with the raw data, to be freed by the thread that
  // frees it.
  std::vector<Vec4f> bodyPositions;

  // Gives the per-corner arrays in use their full length and frees the
  // spare capacity of the reservations.
  void Trim();
};

struct BodyInfo;

struct MeshInfo {
  // Appends the new mesh to body->meshes, which then owns it: a mesh with a
  // body must be created with new.
  MeshInfo(BodyInfo* body, std::uint64_t materialKey, bool smooth, std::int32_t polygonCount);

  BodyInfo* body = nullptr;
  std::uint64_t materialKey = 0;
  std::unique_ptr<PolygonData> polygons;  // non-null until finished
  bool doubleSided = false;               // copied from the body
  bool smooth = false;                    // holds smooth-shaded polygons
  std::int32_t vertexCount = 0;           // 0 until finished
  std::int32_t indexCount = 0;            // 0 until finished
  std::vector<std::uint32_t> indices;     // three per triangle
  std::vector<float> positions;           // three per vertex
  // Three per vertex; or, when normalOf is not empty, three per entry of
  // the mesh's own few normals, each vertex naming its entry there. A flat
  // mesh has one normal per face direction (a wall's six): a large flat
  // material would otherwise hold a quarter of its finished geometry in
  // repeats.
  std::vector<float> normals;
  std::vector<std::uint8_t> normalOf;  // per vertex, or empty
  // Two per vertex; empty when every vertex has kPlainTexCoord, as a mesh
  // without texture has: a large plain material would otherwise hold a
  // sixth of its finished geometry in one repeated pair.
  std::vector<float> texCoords;
  // The mesh's slot in the material group that holds it (kNoSlot when
  // none); kept by the group.
  static constexpr std::size_t kNoSlot = ~std::size_t{0};
  std::size_t groupSlot = kNoSlot;

  static constexpr Vec2f kPlainTexCoord{0.0f, 1.0f};

  bool IsFinished() const { return polygons == nullptr; }
  // The finished mesh's texture coordinates are held (not all plain).
  bool HoldsTexCoords() const { return !texCoords.empty(); }
  // Vertex v's normal, three floats; v must be below a count NormalsCover
  // holds for.
  const float* NormalOf(std::size_t v) const {
    return normalOf.empty() ? &normals[3 * v] : &normals[3 * std::size_t{normalOf[v]}];
  }
  // Every vertex below `vertices` has a normal held (a shared entry in range).
  bool NormalsCover(std::size_t vertices) const;
  // Bytes held by the finished arrays (their sizes, not capacities).
  std::size_t GeometryBytes() const;
};

struct BodyInfo {
  bool doubleSided = false;      // the host body is not closed
  std::uint64_t id = 0;          // the builder's body counter
  float centre[3] = {0, 0, 0};   // mean host vertex, converted like a position
  std::int32_t vertexCount = 0;  // host vertex count
  // One per host vertex, host order. Only finishing reads them, so the last
  // of the body's meshes to be finished frees them: on a large model they
  // weigh about a third of the finished geometry.
  std::vector<Vec4f> positions;
  // Meshes not yet finished, as BuildBody left them; 0 for a body made
  // otherwise, whose positions are then kept.
  std::atomic<std::int32_t> rawMeshes{0};
  std::vector<std::unique_ptr<MeshInfo>> meshes;  // creation order
  // The keys of its visible polygons, each once, in first use: a body has
  // one or a few, and a list costs less than a set on a model of many
  // bodies.
  std::vector<std::uint64_t> materialKeys;
  bool UsesMaterial(std::uint64_t key) const;
};

}  // namespace scene
