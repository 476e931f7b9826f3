// Body building and mesh finishing.
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

// Finite also once stored as floats: a coordinate of 1e300 is finite as a
// double and infinite as a float.
bool Finite(double x, double y, double z) {
  return std::isfinite(static_cast<float>(x)) && std::isfinite(static_cast<float>(y)) &&
         std::isfinite(static_cast<float>(z));
}

// The host's (x, y, z) as a normal in the renderer's frame (x, z, y); a
// vector that is not finite becomes the zero normal.
Vec4f NormalFrom(double x, double y, double z) {
  if (!Finite(x, y, z)) return Vec4f{0, 0, 0, 1};
  return Vec4f{static_cast<float>(x), static_cast<float>(z), static_cast<float>(y), 1};
}

bool IsZero(const Vec4f& n) { return n.x == 0 && n.y == 0 && n.z == 0; }

// Normal of a planar piece from its corners (Newell's method) in the
// renderer's frame, for a polygon whose host normal index is unusable.
// Zero when the corners span no area. The frame change swaps two axes, a
// reflection, so the host-frame cross product is converted like a normal.
Vec4f PieceNormal(const std::vector<ModelerAPI::Vertex>& pts) {
  double nx = 0, ny = 0, nz = 0;
  for (std::size_t i = 0; i < pts.size(); ++i) {
    const ModelerAPI::Vertex& a = pts[i];
    const ModelerAPI::Vertex& b = pts[(i + 1) % pts.size()];
    nx += (a.y - b.y) * (a.z + b.z);
    ny += (a.z - b.z) * (a.x + b.x);
    nz += (a.x - b.x) * (a.y + b.y);
  }
  const double len = std::sqrt(nx * nx + ny * ny + nz * nz);
  if (!(len > 0) || !std::isfinite(len)) return Vec4f{0, 0, 0, 1};
  return NormalFrom(nx / len, ny / len, nz / len);
}

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

std::unique_ptr<BodyInfo> MeshBuilder::BuildBody(const ModelerAPI::Body& hostBody) {
  auto body = std::make_unique<BodyInfo>();
  const std::int32_t vertexCount = std::max<std::int32_t>(hostBody.GetVertexNum(), 0);
  body->doubleSided = !hostBody.IsClosed();
  body->vertexCount = vertexCount;
  body->id = ++bodyCounter_;
  body->meshes.reserve(32);

  // Vertices. A vertex that is not finite is kept in the list (indices stay
  // the host's) but no corner uses it, and it stays out of the centre.
  body->positions.resize(static_cast<std::size_t>(vertexCount));
  std::vector<std::uint8_t> usable(static_cast<std::size_t>(vertexCount), 0);
  double sx = 0, sy = 0, sz = 0;
  std::size_t finiteCount = 0;
  for (std::int32_t i = 0; i < vertexCount; ++i) {
    ModelerAPI::Vertex p;
    hostBody.GetVertex(i + 1, &p);
    body->positions[std::size_t(i)] =
        Vec4f{static_cast<float>(p.x), static_cast<float>(p.z) + verticalOffset_, static_cast<float>(p.y), 1};
    const Vec4f& stored = body->positions[std::size_t(i)];
    if (Finite(p.x, p.y, p.z) && std::isfinite(stored.y)) {
      usable[std::size_t(i)] = 1;
      sx += p.x;
      sy += p.y;
      sz += p.z;
      ++finiteCount;
    }
  }
  if (finiteCount > 0) {
    const double n = static_cast<double>(finiteCount);
    body->centre[0] = static_cast<float>(sx / n);
    body->centre[1] = static_cast<float>(sz / n) + verticalOffset_;
    body->centre[2] = static_cast<float>(sy / n);
  }

  // The polygon normals.
  const std::int32_t normalCount = std::max<std::int32_t>(hostBody.GetPolygonVectorNum(), 0);
  std::vector<Vec4f> normals(static_cast<std::size_t>(normalCount));
  for (std::int32_t i = 0; i < normalCount; ++i) {
    ModelerAPI::Vector v;
    hostBody.GetVector(i + 1, &v);
    normals[std::size_t(i)] = NormalFrom(v.x, v.y, v.z);
  }

  // Which vertices the current piece has met: seen[v] == pieceSerial. A
  // serial instead of a table refilled with -1 per piece keeps a body of
  // many pieces and many vertices linear.
  std::vector<std::uint32_t> seen(static_cast<std::size_t>(vertexCount), 0);
  std::uint32_t pieceSerial = 0;

  const std::int32_t polygonCount = std::max<std::int32_t>(hostBody.GetPolygonCount(), 0);
  std::vector<MeshInfo*> created;
  MeshInfo* lastMesh = nullptr;
  std::vector<std::uint32_t> pieceVertices;
  std::vector<std::int32_t> piecePositions;
  std::vector<ModelerAPI::Vertex> piecePoints;
  ModelerAPI::Polygon polygon;
  ModelerAPI::ConvexPolygon piece;

  for (std::int32_t p = 1; p <= polygonCount; ++p) {
    hostBody.GetPolygon(p, &polygon);
    if (polygon.IsInvalid() || polygon.IsInvisible()) continue;
    const bool smoothHere = polygon.IsCurved() && smooth_;

    const MaterialRecord* record = nullptr;
    if (materials_ != nullptr) {
      ModelerAPI::AttributeIndex index;
      polygon.GetMaterialIndex(index);
      MaterialRecord* found = materials_->ForAttributeIndex(index.GetIndex());
      if (polygon.HasPolygonTexture()) {
        ModelerAPI::Texture texture;
        polygon.GetPolygonTexture(&texture);
        found = materials_->WithPolygonTexture(found, texture);
      }
      record = found;
    }
    const std::uint64_t key = record != nullptr ? record->key : kDefaultMaterialKey;
    const bool needsUV = record != nullptr && record->HasTexture();
    body->materialKeys.insert(key);

    MeshInfo* mesh = nullptr;
    if (lastMesh != nullptr && lastMesh->materialKey == key && lastMesh->smooth == smoothHere) {
      mesh = lastMesh;
    } else {
      for (MeshInfo* m : created) {
        if (m->materialKey == key && m->smooth == smoothHere) {
          mesh = m;
          break;
        }
      }
      if (mesh == nullptr) {
        mesh = CreateMesh(*body, key, smoothHere, polygonCount);
        created.push_back(mesh);
      }
      lastMesh = mesh;
    }
    PolygonData& data = *mesh->polygons;

    // The polygon normal: entry |k| - 1, negated for a negative k. An index
    // of 0 or past the list leaves it unknown; each piece then gets the
    // normal of its own corners.
    const std::int32_t k = polygon.GetNormalVectorIndex();
    const std::int64_t slot = std::abs(static_cast<std::int64_t>(k)) - 1;
    Vec4f n{0, 0, 0, 1};
    if (k != 0 && slot < normalCount) {
      n = normals[std::size_t(slot)];
      if (k < 0) n = Vec4f{n.x * negation_.x, n.y * negation_.y, n.z * negation_.z, n.w * negation_.w};
    }
    const bool normalKnown = !IsZero(n);

    // The host numbers a polygon's corners across all of its pieces; the
    // per-corner normals are read by that running position.
    std::int32_t runningPosition = 0;
    const std::int32_t pieceCount = polygon.GetConvexPolygonNum();
    for (std::int32_t c = 1; c <= pieceCount; ++c) {
      polygon.GetConvexPolygon(c, &piece);
      const std::int32_t m = std::max<std::int32_t>(piece.GetVertexNum(), 0);
      const std::int32_t firstPosition = runningPosition;
      runningPosition += m;

      // Corners whose vertex is outside the body (or not finite) are
      // dropped; a piece left with fewer than 3 corners has no area and is
      // dropped whole.
      pieceVertices.clear();
      piecePositions.clear();
      for (std::int32_t j = 1; j <= m; ++j) {
        const std::int64_t v = static_cast<std::int64_t>(piece.GetVertexIndex(j)) - 1;
        if (v < 0 || v >= vertexCount || !usable[std::size_t(v)]) continue;
        pieceVertices.push_back(static_cast<std::uint32_t>(v));
        piecePositions.push_back(firstPosition + j);
      }
      if (pieceVertices.size() < 3) continue;

      const std::uint32_t pieceIndex = static_cast<std::uint32_t>(data.cornerCounts.size());
      const std::int32_t kept = static_cast<std::int32_t>(pieceVertices.size());
      data.cornerTotal += kept;
      data.cornerCounts.push_back(kept);

      Vec4f pieceNormal = n;
      if (!normalKnown) {
        piecePoints.clear();
        for (std::uint32_t v : pieceVertices) {
          ModelerAPI::Vertex q;
          hostBody.GetVertex(static_cast<std::int32_t>(v) + 1, &q);
          piecePoints.push_back(q);
        }
        pieceNormal = PieceNormal(piecePoints);
      }
      if (!smoothHere) data.flatNormals.push_back(pieceNormal);

      if (++pieceSerial == 0) {  // wrapped: start the marks afresh
        std::fill(seen.begin(), seen.end(), 0);
        pieceSerial = 1;
      }
      for (std::size_t j = 0; j < pieceVertices.size(); ++j) {
        const std::uint32_t v = pieceVertices[j];
        const CornerKey cornerKey = MakeCornerKey(v, pieceIndex);
        data.corners.push_back(cornerKey);
        if (seen[v] == pieceSerial) continue;
        seen[v] = pieceSerial;
        if (smoothHere) {
          ModelerAPI::Vector hostNormal;
          polygon.GetNormalVectorByVertex(piecePositions[j], &hostNormal);
          Vec4f cn = NormalFrom(hostNormal.x, hostNormal.y, hostNormal.z);
          if (IsZero(cn)) cn = pieceNormal;
          data.cornerNormals.insert(cornerKey, Vec3f{cn.x, cn.y, cn.z});
        }
        if (needsUV) {
          ModelerAPI::Vertex q;
          hostBody.GetVertex(static_cast<std::int32_t>(v) + 1, &q);
          ModelerAPI::TextureCoordinate uv;
          polygon.GetTextureCoordinate(&q, &uv);
          if (!std::isfinite(static_cast<float>(uv.u)) || !std::isfinite(static_cast<float>(uv.v)))
            uv = ModelerAPI::TextureCoordinate{};
          data.cornerTexCoords.insert(cornerKey, Vec2f{static_cast<float>(uv.u), static_cast<float>(uv.v)});
        }
      }
    }
  }

  for (MeshInfo* mesh : created) mesh->polygons->Trim();
  body->meshes.shrink_to_fit();
  return body;
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
