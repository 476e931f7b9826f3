// The mesh builder's options, fault reports and mesh creation, and mesh
// finishing. Body reading is in body_reading.cpp.
#include "scene/mesh_builder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "hostsdk/acapi.h"
#include "scene/material_library.h"
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
  std::vector<std::uint32_t> numbers;  // vertex numbers of one piece's corners
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

}  // namespace

MeshBuilder::MeshBuilder(MaterialLibrary* materials, MaterialGroups* groups, DirtyKeySet* dirtyKeys)
    : materials_(materials), groups_(groups), dirtyKeys_(dirtyKeys) {}

MeshBuilder::~MeshBuilder() = default;

void MeshBuilder::SetOptions(bool smooth, bool optimize, float verticalOffset) {
  smooth_ = smooth;
  optimize_ = optimize;
  verticalOffset_ = verticalOffset;
  bodyCounter_ = 0;
  blocks_.clear();
  reportedOverflow_ = false;
}

void MeshBuilder::SetDebugOutput(std::function<void(std::string_view)> output) { debugOutput_ = std::move(output); }

void MeshBuilder::Report(std::string_view text) const {
  if (debugOutput_) {
    debugOutput_(text);
  } else {
    DBPrintf("%.*s", static_cast<int>(text.size()), text.data());
  }
}

MeshInfo* MeshBuilder::CreateMesh(BodyInfo& body, std::uint64_t key, bool smooth, std::int32_t polygonCount) {
  MeshInfo* mesh = new MeshInfo(&body, key, smooth, polygonCount);  // owned by body.meshes
  if (groups_ != nullptr) (*groups_)[key].insert(mesh);
  if (dirtyKeys_ != nullptr) dirtyKeys_->insert(key);
  return mesh;
}

bool MeshBuilder::FinishMesh(MeshInfo* mesh, const MaterialRecord* record) const {
  if (mesh == nullptr || mesh->polygons == nullptr || record == nullptr || mesh->body == nullptr) return false;
  const PolygonData& data = *mesh->polygons;
  const std::vector<Vec4f>& bodyPositions = mesh->body->positions;

  // The pieces that are whole (counts and corners can disagree in a damaged
  // PolygonData: what is whole is kept) and the triangles they give.
  std::size_t wholePieces = 0, wholeCorners = 0, triangles = 0;
  for (std::int32_t count : data.cornerCounts) {
    const std::size_t m = count > 0 ? std::size_t(count) : 0;
    if (wholeCorners + m > data.corners.size()) break;
    wholeCorners += m;
    triangles += m >= 3 ? m - 2 : 0;
    ++wholePieces;
  }
  // Welding leaves meshes of fewer than two indices as they are.
  const bool weld = optimize_ && 3 * triangles >= 2;

  const bool textured = record->HasTexture() && !data.cornerTexCoords.empty();
  const float width = std::isfinite(record->textureWidth) && record->textureWidth != 0 ? record->textureWidth : 1.0f;
  const float height =
      std::isfinite(record->textureHeight) && record->textureHeight != 0 ? record->textureHeight : 1.0f;

  // Scratch kept by the thread across meshes: finishing runs over tens of
  // thousands of small meshes, and fresh arrays for each would spend more
  // time in the allocator than in the work.
  thread_local FinishScratch scratch;
  scratch.Begin(wholeCorners, weld);

  std::vector<std::uint32_t> indices(3 * triangles);
  std::uint32_t* out = indices.data();

  // The vertex number of a unique corner: a new vertex, or with welding the
  // first earlier vertex whose attribute bytes are all equal. Unique
  // corners come in the order the unwelded mesh lists its vertices, so this
  // is exactly what welding that mesh afterwards gives.
  auto addCorner = [&](CornerKey key) -> std::uint32_t {
    WeldAttributes a{};
    float* f = a.f;
    const std::uint32_t v = CornerVertex(key);
    if (v < bodyPositions.size()) {
      f[0] = bodyPositions[v].x;
      f[1] = bodyPositions[v].y;
      f[2] = bodyPositions[v].z;
    }
    if (mesh->smooth) {
      if (const Vec3f* n = data.cornerNormals.find(key)) {
        f[3] = n->x;
        f[4] = n->y;
        f[5] = n->z;
      }
    } else {
      const std::uint32_t piece = CornerPiece(key);
      if (piece < data.flatNormals.size()) {
        f[3] = data.flatNormals[piece].x;
        f[4] = data.flatNormals[piece].y;
        f[5] = data.flatNormals[piece].z;
      }
    }
    if (textured) {
      Vec2f uv{0, 0};
      if (const Vec2f* found = data.cornerTexCoords.find(key)) uv = *found;
      f[6] = uv.u / width;
      f[7] = 1.0f - uv.v / height;
    } else {
      f[6] = 0.0f;
      f[7] = 1.0f;
    }
    return weld ? scratch.table.Add(a, scratch.vertices) : scratch.Append(a);
  };

  // Unique corners: the first corner of each vertex within its piece.
  // Pieces are small, so the repeat test scans the piece's own corners;
  // pieces of many corners (large curved faces) sort a copy instead.
  std::size_t start = 0;
  for (std::size_t p = 0; p < wholePieces; ++p) {
    const std::size_t m = data.cornerCounts[p] > 0 ? std::size_t(data.cornerCounts[p]) : 0;
    const CornerKey* corners = data.corners.data() + start;
    std::uint32_t* number = scratch.PieceNumbers(m);
    if (m <= 16) {
      for (std::size_t j = 0; j < m; ++j) {
        std::size_t first = j;
        for (std::size_t i = 0; i < j; ++i) {
          if (CornerVertex(corners[i]) == CornerVertex(corners[j])) {
            first = i;
            break;
          }
        }
        number[j] = first == j ? addCorner(corners[j]) : number[first];
      }
    } else {
      auto& sorted = scratch.sorted;
      sorted.clear();
      for (std::size_t j = 0; j < m; ++j) sorted.emplace_back(CornerVertex(corners[j]), std::uint32_t(j));
      std::sort(sorted.begin(), sorted.end());
      // First occurrence of each vertex: the smallest corner of its run.
      auto& firstOf = scratch.firstOf;
      firstOf.resize(m);
      for (std::size_t i = 0; i < m;) {
        std::size_t e = i;
        while (e < m && sorted[e].first == sorted[i].first) firstOf[sorted[e++].second] = sorted[i].second;
        i = e;
      }
      for (std::size_t j = 0; j < m; ++j) number[j] = firstOf[j] == j ? addCorner(corners[j]) : number[firstOf[j]];
    }
    // Fan from the piece's first corner.
    for (std::size_t j = 1; j + 1 < m; ++j) {
      out[0] = number[0];
      out[1] = number[j];
      out[2] = number[j + 1];
      out += 3;
    }
    start += m;
  }

  const std::size_t u = scratch.vertices.size();
  std::vector<float> positions(3 * u), normals(3 * u), texCoords(2 * u);
  for (std::size_t k = 0; k < u; ++k) {
    const float* f = scratch.vertices[k].f;
    std::memcpy(&positions[3 * k], f, 12);
    std::memcpy(&normals[3 * k], f + 3, 12);
    std::memcpy(&texCoords[2 * k], f + 6, 8);
  }
  scratch.End();

  mesh->vertexCount = static_cast<std::int32_t>(u);
  mesh->indexCount = static_cast<std::int32_t>(indices.size());
  mesh->indices = std::move(indices);
  mesh->positions = std::move(positions);
  mesh->normals = std::move(normals);
  mesh->texCoords = std::move(texCoords);
  mesh->polygons.reset();
  return true;
}

}  // namespace scene
