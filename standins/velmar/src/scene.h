// What velmar holds of a link, independent of how it arrived: surfaces with
// their parameters, texture and merged geometry, and the followed camera.
// Coordinates are the link's renderer frame: y up, x and z horizontal, a
// host point (x, y, z) stored as (x, z, y), so the frame is left-handed.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "image.h"

namespace velmar {

using Vec3 = std::array<float, 3>;

// The surface types the link sends as a number (0 none).
inline constexpr std::int32_t kSurfaceWater = 1;
inline constexpr std::int32_t kSurfaceGlass = 2;

struct Bounds {
  Vec3 min{};
  Vec3 max{};
  bool empty = true;
  void Add(const float* p);
  void Add(const Bounds& other);
};

// The arrays of a geometry, in the order the link's block holds them.
enum class GeometryArray : std::uint32_t { kPositions = 0, kNormals = 1, kTexCoords = 2, kIndices = 3 };
inline constexpr int kGeometryArrays = 4;

// Elements [first, first + count) of one array (floats, or indices): every
// element is four bytes, so this is bytes [4 first, 4 (first + count)).
struct ArrayRange {
  GeometryArray array = GeometryArray::kPositions;
  std::size_t first = 0, count = 0;
  bool operator==(const ArrayRange&) const = default;
};

// The triangles are summarised in pieces of at most this many, so that a
// change re-derives only the pieces it touched: their bounds, and their
// share of the digest (surface_digest.h).
inline constexpr std::size_t kPieceTriangles = 4096;
struct GeometryPiece {
  std::size_t firstTriangle = 0;
  std::uint32_t triangles = 0;                    // consecutive, from firstTriangle
  std::uint32_t firstVertex = 0, lastVertex = 0;  // the span of vertices its triangles use (inclusive)
  Bounds bounds;                                  // of those vertices
  std::uint64_t digestSum = 0;                    // of its triangles with every corner in range
  std::uint32_t digested = 0;                     // those triangles
};

struct Geometry {
  // Per vertex: three floats of position, three of normal, two of texture
  // coordinate (u, v with v = 0 at the top row of the image).
  std::vector<float> positions;
  std::vector<float> normals;
  std::vector<float> texCoords;
  std::vector<std::uint32_t> indices;  // three per triangle, all < vertexCount()
  // Of the vertices the triangles use, kept with the geometry (see
  // UsedBounds) so that a summary of a large scene after each update costs
  // nothing per vertex: the union of the pieces' bounds.
  Bounds bounds;
  // Consecutive pieces that cover the triangles. A read whole cuts them
  // evenly; a surface whose counts changed keeps the pieces of its
  // unchanged ends as they were, moved with their triangles.
  std::vector<GeometryPiece> pieces;

  // Each state of a surface's geometry has a revision of its own (0: made
  // by hand, never read). A holder of revision `base` reaches this one by
  // taking the `changed` ranges from it; base 0 means it was read whole.
  std::uint64_t revision = 0;
  std::uint64_t base = 0;
  std::vector<ArrayRange> changed;

  std::size_t vertexCount() const { return positions.size() / 3; }
  std::size_t triangleCount() const { return indices.size() / 3; }
};

// The bytes of one array of g (four per element).
std::span<const std::uint8_t> ArrayBytes(const Geometry& g, GeometryArray array);

// Fills g.pieces and g.bounds from its arrays. corners, when given, is
// scratch for the vertices' digests, kept by the caller so that a read of a
// large surface reuses memory already in use.
void SummarisePieces(Geometry& g, std::vector<std::uint64_t>* corners = nullptr);
// Re-derives the pieces a change of these ranges can have touched: those
// whose triangles changed, and those that use a changed vertex. Then the
// bounds again, from the pieces. Pieces that do not cover g's triangles are
// made anew.
void ResummarisePieces(Geometry& g, const std::vector<ArrayRange>& changed);
// Gives g the pieces front, then new pieces for the triangles between the
// end of front and the start of back, then back; front and back must
// already be right for g's triangles where they lie. Then the bounds.
void SummariseBetween(Geometry& g, std::vector<GeometryPiece> front, std::vector<GeometryPiece> back);
// g.pieces cover its triangles, one after another.
bool PiecesCover(const Geometry& g);
// Per piece of g: whether these ranges can have touched it (as above).
std::vector<bool> TouchedPieces(const Geometry& g, const std::vector<ArrayRange>& changed);

// The bounds of the vertices g's triangles use: a block's vertices beyond
// its indices draw nothing. Non-finite points are left out.
Bounds UsedBounds(const Geometry& g);

struct Texture {
  Image image;
  std::string source;  // the file path, or "block <id>"
};

struct Surface {
  std::uint32_t recordId = 0;
  std::uint32_t slot = 0;
  std::string name;  // UTF-8
  std::int32_t surfaceType = 0;
  std::uint32_t colour = 0xFFAAAAAA;  // ARGB; 0x00FFFFFF when a texture stands for it
  float shine = 1;
  float opacity = 1;  // 1 opaque; meaningful for glass
  float attenuation = 0;
  float percentage = 0;
  std::u16string texturePath;
  std::uint32_t textureStamp = 0;
  std::shared_ptr<const Texture> texture;    // null without (or with an unreadable) texture
  std::shared_ptr<const Geometry> geometry;  // null before the first geometry

  bool glass() const { return surfaceType == kSurfaceGlass; }
};

struct Camera {
  bool followed = false;  // the link's camera is active (kind 6)
  std::uint32_t kind = 0;
  std::array<float, 16> cameraToWorld{};  // rows: right, up, forward, eye
  float fieldOfView = 0;                  // degrees, as the link sends it
  Vec3 position{};
  Vec3 backward{};
  Vec3 up{};
};

struct Scene {
  std::vector<Surface> surfaces;  // in slot order
  Camera camera;
  std::map<std::string, std::string> status;  // the status map, text values decoded

  Bounds ComputeBounds() const;
  std::size_t VertexCount() const;
  std::size_t TriangleCount() const;
  std::size_t TextureCount() const;  // surfaces with a readable texture
};

}  // namespace velmar
