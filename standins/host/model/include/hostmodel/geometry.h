// Building bodies from faces: normals, convex splitting and boxes. Used by
// the importer, the sample building and edits that create geometry.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "hostmodel/model.h"

namespace hostmodel {

// A hash of a point or direction under which equal vectors (-0 equal to 0)
// hash alike, for tables of distinct positions or normals.
std::uint64_t VectorHash(const Vec3& v);

// Unit normal of a planar (or nearly planar) loop by Newell's method;
// (0,0,0) for a degenerate loop (collinear or repeated points).
Vec3 LoopNormal(const std::vector<Vec3>& points, std::span<const std::int32_t> loop);

// True when every turn of the loop goes the same way around `normal`
// (collinear corners allowed).
bool IsConvexLoop(const std::vector<Vec3>& points, std::span<const std::int32_t> loop, const Vec3& normal);

// Splits a simple polygon loop into convex pieces that keep its winding: the
// loop itself when convex, else an ear-clipping triangulation whose
// triangles are merged back into larger convex pieces where the merge stays
// convex. Returns nothing for a degenerate loop (fewer than 3 distinct
// corners or no area). *normal, when given, receives the loop's unit normal
// (the one LoopNormal gives for the loop without repeated corners), which
// the split works out anyway.
std::vector<std::vector<std::int32_t>> SplitConvex(const std::vector<Vec3>& points,
                                                   const std::vector<std::int32_t>& loop, Vec3* normal = nullptr);

// Accumulates one body: shares equal polygon normals, splits faces.
class BodyMaker {
 public:
  explicit BodyMaker(bool closed = true) { body_.closed = closed; }

  std::int32_t AddVertex(const Vec3& p);
  // With a per-vertex normal (and texture coordinate, model units) for
  // smooth surfaces and imported meshes.
  std::int32_t AddVertex(const Vec3& p, const Vec3& normal, const Vec2& uv);

  struct FaceOptions {
    std::int32_t materialIndex = 1;
    std::int32_t textureIndex = 0;
    bool curved = false;
    bool invisible = false;
    TextureMapping mapping;
  };
  // One polygon from a loop of vertex indices (counter-clockwise seen from
  // outside). Returns false, adding nothing, for a degenerate loop.
  bool AddFace(const std::vector<std::int32_t>& loop, const FaceOptions& options);
  // One polygon made of given convex pieces (a face with holes, say); the
  // normal comes from the first piece.
  bool AddPiecedFace(const std::vector<std::vector<std::int32_t>>& pieces, const FaceOptions& options);

  // Room for what is coming, so that large meshes grow without copies.
  void Reserve(std::size_t vertices, std::size_t polygons, bool perVertexData) {
    body_.vertices.reserve(body_.vertices.size() + vertices);
    if (perVertexData) {
      body_.vertexNormals.reserve(body_.vertexNormals.size() + vertices);
      body_.texCoords.reserve(body_.texCoords.size() + vertices);
    }
    body_.polygons.reserve(body_.polygons.size() + polygons);
  }
  const Body& body() const { return body_; }
  Body Take() {
    normalSlots_.clear();
    return std::move(body_);
  }

 private:
  std::int32_t NormalIndex(const Vec3& n);
  // A loop that needs no cleaning and no splitting becomes one piece as it
  // is: whether it made a polygon (not for a loop without area). Nothing
  // when it needs either; the caller then splits it.
  std::optional<bool> AddConvexLoop(const std::vector<std::int32_t>& loop, const FaceOptions& options);
  void AddPolygon(const FaceOptions& options, const Vec3& normal, ConvexPieces pieces);
  Body body_;
  // Open addressing over body_.polygonNormals: 1-based index of the normal
  // in each slot, 0 for an empty slot. Each distinct normal is stored once;
  // a tree or node map cost an allocation per normal.
  std::vector<std::int32_t> normalSlots_;
};

// Inserts into every convex piece the body's vertices that lie inside one of
// its edges, so that neighbouring faces share whole edges (no T-junctions,
// which show as hairline cracks once the faces are triangulated).
void CloseTJunctions(Body& body);

// A closed axis-aligned box with outward faces, Box texture mapping.
Body MakeBox(const Vec3& minCorner, const Vec3& maxCorner, std::int32_t materialIndex);

}  // namespace hostmodel
