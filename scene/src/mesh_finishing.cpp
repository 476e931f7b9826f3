// Finishing a raw mesh: its pieces' corners numbered as vertices (welded
// when optimising), each piece fanned into triangles, and the vertices
// emitted as the mesh's position, normal and texture coordinate arrays.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "base/scratch_pool.h"
#include "scene/material_record.h"
#include "scene/mesh_builder.h"
#include "weld_mesh_table.h"

namespace scene {

namespace {

// What finishing one mesh needs besides its results, kept per thread.
struct FinishScratch {
  // Scratch larger than this many vertices (a few MB) is given back after
  // the mesh, so one huge mesh does not pin its memory on every thread.
  static constexpr std::size_t kKeep = std::size_t{1} << 16;

  std::vector<WeldAttributes> vertices;  // the mesh's vertices so far
  WeldTable table;
  std::vector<std::uint32_t> numbers;                           // vertex numbers of one piece's corners
  std::vector<std::pair<std::uint32_t, std::uint32_t>> sorted;  // (vertex, corner) of a long piece
  std::vector<std::uint32_t> firstOf;

  void Begin(std::size_t corners, bool weld) {
    vertices.clear();
    vertices.reserve(corners);
    if (weld) table.Reset(corners);
  }

  std::uint32_t Append(const WeldAttributes& a) {
    vertices.push_back(a);
    return static_cast<std::uint32_t>(vertices.size() - 1);
  }

  std::uint32_t* PieceNumbers(std::size_t m) {
    if (numbers.size() < m) numbers.resize(m);
    return numbers.data();
  }

  void End() {
    if (vertices.capacity() > kKeep) vertices = {};
    table.Release(4 * kKeep);
    if (numbers.size() > kKeep) numbers = {};
    if (sorted.capacity() > kKeep) sorted = {};
    if (firstOf.capacity() > kKeep) firstOf = {};
  }
};

std::size_t CornersOf(std::int32_t count) { return count > 0 ? std::size_t(count) : 0; }

// The pieces of a mesh that are whole (counts and corners can disagree in a
// damaged PolygonData: what is whole is kept), their corners and the
// triangles they give.
struct WholePieces {
  std::size_t pieces = 0, corners = 0, triangles = 0;
};

WholePieces CountWholePieces(const PolygonData& data) {
  WholePieces whole;
  for (std::int32_t count : data.cornerCounts) {
    const std::size_t m = CornersOf(count);
    if (whole.corners + m > data.corners.size()) break;
    whole.corners += m;
    whole.triangles += m >= 3 ? m - 2 : 0;
    ++whole.pieces;
  }
  return whole;
}

// How a mesh's texture coordinates come out: host units divided by the
// texture's size, v turned upwards. Without a texture every vertex gets
// (0, 1).
struct TextureScale {
  bool textured;
  float width, height;
};

TextureScale TextureScaleOf(const MaterialRecord& record, const PolygonData& data) {
  const bool textured = record.HasTexture() && !data.cornerTexCoords.empty();
  const float width = std::isfinite(record.textureWidth) && record.textureWidth != 0 ? record.textureWidth : 1.0f;
  const float height = std::isfinite(record.textureHeight) && record.textureHeight != 0 ? record.textureHeight : 1.0f;
  return TextureScale{textured, width, height};
}

// Numbers the unique corners of one mesh as its vertices.
struct CornerNumbering {
  const PolygonData& data;
  const std::vector<Vec4f>& bodyPositions;
  bool smooth;
  TextureScale texture;
  bool weld;
  FinishScratch& scratch;

  // The vertex corner number c makes: the body's position, the corner's
  // normal (smooth) or its piece's (flat), and its texture coordinate. What
  // is missing stays zero.
  WeldAttributes Attributes(std::size_t c) const {
    WeldAttributes a{};
    float* f = a.f;
    const CornerKey key = data.corners[c];
    const std::uint32_t v = CornerVertex(key);
    if (v < bodyPositions.size()) {
      f[0] = bodyPositions[v].x;
      f[1] = bodyPositions[v].y;
      f[2] = bodyPositions[v].z;
    }
    if (smooth) {
      if (c < data.cornerNormals.size()) {
        const Vec3f& n = data.cornerNormals[c];
        f[3] = n.x;
        f[4] = n.y;
        f[5] = n.z;
      }
    } else {
      const std::uint32_t piece = CornerPiece(key);
      if (piece < data.flatNormals.size()) {
        f[3] = data.flatNormals[piece].x;
        f[4] = data.flatNormals[piece].y;
        f[5] = data.flatNormals[piece].z;
      }
    }
    if (texture.textured) {
      const Vec2f uv = c < data.cornerTexCoords.size() ? data.cornerTexCoords[c] : Vec2f{0, 0};
      f[6] = uv.u / texture.width;
      f[7] = 1.0f - uv.v / texture.height;
    } else {
      f[6] = MeshInfo::kPlainTexCoord.u;
      f[7] = MeshInfo::kPlainTexCoord.v;
    }
    return a;
  }

  // The vertex number of unique corner number c: a new vertex, or with
  // welding the first earlier vertex whose attribute bytes are all equal.
  // Unique corners come in the order the unwelded mesh lists its vertices,
  // so this is exactly what welding that mesh afterwards gives.
  std::uint32_t Number(std::size_t c) {
    const WeldAttributes a = Attributes(c);
    return weld ? scratch.table.Add(a, scratch.vertices) : scratch.Append(a);
  }
};

// Vertex numbers of the m corners of a short piece, the corners from number
// start on: a repeated vertex takes the number of its first corner, found by
// scanning the corners before it.
void NumberShortPiece(CornerNumbering& numbering, std::size_t start, std::size_t m, std::uint32_t* number) {
  const CornerKey* corners = numbering.data.corners.data() + start;
  for (std::size_t j = 0; j < m; ++j) {
    std::size_t first = j;
    for (std::size_t i = 0; i < j; ++i) {
      if (CornerVertex(corners[i]) == CornerVertex(corners[j])) {
        first = i;
        break;
      }
    }
    number[j] = first == j ? numbering.Number(start + j) : number[first];
  }
}

// Vertex numbers of the m corners of a long piece (a large curved face):
// the same as NumberShortPiece, with the first corner of each vertex found
// by sorting a copy instead of scanning.
void NumberLongPiece(CornerNumbering& numbering, std::size_t start, std::size_t m, std::uint32_t* number) {
  const CornerKey* corners = numbering.data.corners.data() + start;
  auto& sorted = numbering.scratch.sorted;
  sorted.clear();
  for (std::size_t j = 0; j < m; ++j) sorted.emplace_back(CornerVertex(corners[j]), std::uint32_t(j));
  std::sort(sorted.begin(), sorted.end());
  // First occurrence of each vertex: the smallest corner of its run.
  auto& firstOf = numbering.scratch.firstOf;
  firstOf.resize(m);
  for (std::size_t i = 0; i < m;) {
    std::size_t e = i;
    while (e < m && sorted[e].first == sorted[i].first) firstOf[sorted[e++].second] = sorted[i].second;
    i = e;
  }
  for (std::size_t j = 0; j < m; ++j) number[j] = firstOf[j] == j ? numbering.Number(start + j) : number[firstOf[j]];
}

// Fans a piece of m numbered corners from its first corner into out;
// returns the end of the triangles written.
std::uint32_t* FanTriangles(const std::uint32_t* number, std::size_t m, std::uint32_t* out) {
  for (std::size_t j = 1; j + 1 < m; ++j) {
    out[0] = number[0];
    out[1] = number[j];
    out[2] = number[j + 1];
    out += 3;
  }
  return out;
}

// Numbers the corners of the first pieceCount pieces and fans each piece
// into triangles at out. Unique corners are the first corner of each
// vertex within its piece; pieces are small, so the repeat test scans the
// piece's own corners, and pieces of many corners sort a copy instead.
// False, part way, once abandon is set (looked at every few thousand
// pieces).
bool NumberAndFanPieces(CornerNumbering& numbering, std::size_t pieceCount, std::uint32_t* out,
                        const std::atomic<bool>* abandon) {
  constexpr std::size_t kLookEvery = 4096;
  const PolygonData& data = numbering.data;
  std::size_t start = 0;
  for (std::size_t p = 0; p < pieceCount; ++p) {
    if (abandon != nullptr && p % kLookEvery == kLookEvery - 1 && abandon->load(std::memory_order_relaxed))
      return false;
    const std::size_t m = CornersOf(data.cornerCounts[p]);
    std::uint32_t* number = numbering.scratch.PieceNumbers(m);
    if (m <= 16) {
      NumberShortPiece(numbering, start, m, number);
    } else {
      NumberLongPiece(numbering, start, m, number);
    }
    out = FanTriangles(number, m, out);
    start += m;
  }
  return true;
}

// A mesh whose vertices have at most this many distinct normals holds each
// once (MeshInfo::normalOf); past it, the search for a vertex's entry would
// cost more than the memory saved.
constexpr std::size_t kSharedNormals = 32;

// The vertices' normals, each distinct one once, with each vertex's entry;
// false (and normals cut short) when there are more than kSharedNormals or
// sharing would not save memory.
bool ShareNormals(const std::vector<WeldAttributes>& vertices, std::vector<float>& normals,
                  std::vector<std::uint8_t>& normalOf) {
  const std::size_t u = vertices.size();
  // Compared as bits (-0 is not 0), in words: this runs for every vertex.
  struct Bits {
    std::uint32_t w[3];
    bool operator==(const Bits&) const = default;
  };
  Bits seen[kSharedNormals];
  std::size_t entries = 0;
  normalOf.resize(u);
  for (std::size_t k = 0; k < u; ++k) {
    Bits n;
    std::memcpy(n.w, vertices[k].f + 3, 12);
    std::size_t entry = 0;
    while (entry < entries && !(seen[entry] == n)) ++entry;
    if (entry == entries) {
      if (entries == kSharedNormals) return false;
      seen[entries++] = n;
    }
    normalOf[k] = static_cast<std::uint8_t>(entry);
  }
  normals.resize(3 * entries);
  if (entries != 0) std::memcpy(normals.data(), seen, 12 * entries);
  // The list and the entries, and the allocation they add, against a
  // normal per vertex.
  return 12 * entries + u + 32 < 12 * u;
}

// Gives the mesh its vertices as arrays: positions, normals (shared when
// few), and texture coordinates when textured (the plain pair otherwise,
// held nowhere).
void EmitVertices(const std::vector<WeldAttributes>& vertices, bool textured, MeshInfo& mesh) {
  const std::size_t u = vertices.size();
  std::vector<float> shared;
  std::vector<std::uint8_t> normalOf;
  const bool few = ShareNormals(vertices, shared, normalOf);
  std::vector<float> positions(3 * u), normals(few ? 0 : 3 * u), texCoords(textured ? 2 * u : 0);
  for (std::size_t k = 0; k < u; ++k) {
    const float* f = vertices[k].f;
    std::memcpy(&positions[3 * k], f, 12);
    if (!few) std::memcpy(&normals[3 * k], f + 3, 12);
    if (textured) std::memcpy(&texCoords[2 * k], f + 6, 8);
  }
  if (few) {
    normals = std::move(shared);
    mesh.normalOf = std::move(normalOf);
  } else {
    mesh.normalOf.clear();
  }
  mesh.vertexCount = static_cast<std::int32_t>(u);
  mesh.positions = std::move(positions);
  mesh.normals = std::move(normals);
  mesh.texCoords = std::move(texCoords);
}

}  // namespace

bool MeshBuilder::FinishMesh(MeshInfo* mesh, const MaterialRecord* record, std::unique_ptr<PolygonData>* spent,
                             const std::atomic<bool>* abandon) const {
  if (mesh == nullptr || mesh->polygons == nullptr || record == nullptr || mesh->body == nullptr) return false;
  const PolygonData& data = *mesh->polygons;
  const WholePieces whole = CountWholePieces(data);
  // Welding leaves meshes of fewer than two indices as they are.
  const bool weld = optimize_ && 3 * whole.triangles >= 2;

  // Scratch kept across meshes: finishing runs over tens of thousands of
  // small meshes, and fresh arrays for each would spend more time in the
  // allocator than in the work.
  static base::ScratchPool<FinishScratch> pool;
  const base::ScratchPool<FinishScratch>::Lease lease = pool.Take();
  FinishScratch& scratch = *lease;
  scratch.Begin(whole.corners, weld);
  CornerNumbering numbering{data, mesh->body->positions, mesh->smooth, TextureScaleOf(*record, data), weld, scratch};

  std::vector<std::uint32_t> indices(3 * whole.triangles);
  if (!NumberAndFanPieces(numbering, whole.pieces, indices.data(), abandon)) {
    scratch.End();
    return false;
  }
  EmitVertices(scratch.vertices, numbering.texture.textured, *mesh);
  scratch.End();

  mesh->indexCount = static_cast<std::int32_t>(indices.size());
  mesh->indices = std::move(indices);
  // The last of the body's meshes takes the body's vertices with its raw
  // data. The count falls only after this mesh is done reading them, and
  // the thread that takes it to zero sees every other mesh's reads done.
  BodyInfo& body = *mesh->body;
  if (body.rawMeshes.load(std::memory_order_relaxed) > 0 &&
      body.rawMeshes.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    mesh->polygons->bodyPositions.swap(body.positions);
  }
  if (spent != nullptr) {
    *spent = std::move(mesh->polygons);
  } else {
    mesh->polygons.reset();
  }
  return true;
}

}  // namespace scene
