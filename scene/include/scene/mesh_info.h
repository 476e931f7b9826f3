// The records the mesh builder produces: a BodyInfo per host body (its
// vertices in the renderer's frame) owning one MeshInfo per combination of
// material and smoothing its visible polygons use. A MeshInfo is raw (it
// holds PolygonData) until MeshBuilder::FinishMesh turns it into an indexed
// triangle list; then it is final.
//
// Frame: a host point (x, y, z), z up, is stored as (x, z + vertical offset,
// y); a host normal as (x, z, y).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_set>
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

  std::int32_t cornerTotal = 0;              // corners over all pieces
  std::vector<Vec4f> flatNormals;            // one per piece; flat meshes only
  std::vector<std::int32_t> cornerCounts;    // one per piece
  std::vector<CornerKey> corners;            // every corner, piece by piece
  // Per corner, beside corners: empty, or as long as corners once the body
  // is read. Only the first corner of each vertex within a piece is read;
  // a corner with nothing recorded holds zeros. Flat arrays, not maps keyed
  // by corner: no hashing on the host thread or when finishing, and less
  // memory than a map's keys and spare slots.
  std::vector<Vec2f> cornerTexCoords;        // host texture units; textured meshes only
  std::vector<Vec3f> cornerNormals;          // smooth meshes only

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
  std::vector<float> normals;             // three per vertex
  std::vector<float> texCoords;           // two per vertex
  // The mesh's slot in the material group that holds it (kNoSlot when
  // none); kept by the group.
  static constexpr std::size_t kNoSlot = ~std::size_t{0};
  std::size_t groupSlot = kNoSlot;

  bool IsFinished() const { return polygons == nullptr; }
  // Bytes held by the finished arrays (their sizes, not capacities).
  std::size_t GeometryBytes() const;
};

struct BodyInfo {
  bool doubleSided = false;        // the host body is not closed
  std::uint64_t id = 0;            // the builder's body counter
  float centre[3] = {0, 0, 0};     // mean host vertex, converted like a position
  std::int32_t vertexCount = 0;    // host vertex count
  std::vector<Vec4f> positions;    // one per host vertex, host order
  std::vector<std::unique_ptr<MeshInfo>> meshes;  // creation order
  std::unordered_set<std::uint64_t> materialKeys; // keys of visible polygons
};

}  // namespace scene
