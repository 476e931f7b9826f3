// Reading a host body into a BodyInfo: its vertices and centre, its polygon
// normals, and each visible polygon's convex pieces recorded as raw corners
// into the mesh of the polygon's material and smoothing.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "base/scratch_pool.h"
#include "scene/material_library.h"
#include "scene/mesh_builder.h"

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

// The arrays reading a body works in, kept by the thread from body to body:
// a large model is tens of thousands of small bodies, and fresh arrays for
// each would spend much of the read in the allocator.
struct BodyScratch {
  // Arrays larger than this many entries are given back after the body, so
  // that one huge body does not pin its memory for the rest of the read.
  static constexpr std::size_t kKeep = std::size_t{1} << 16;

  std::vector<std::uint8_t> usable;  // the vertex is finite and may be a corner
  std::vector<Vec4f> normals;        // the body's polygon normals, renderer frame
  // Which vertices the current piece has met: seen[v] == pieceSerial. A
  // serial instead of a table refilled with -1 per piece keeps a body of
  // many pieces and many vertices linear; it runs on across bodies, so
  // marks an earlier body left are never taken for the current piece's.
  std::vector<std::uint32_t> seen;
  std::uint32_t pieceSerial = 0;
  // The current piece: its usable corners' vertices and their positions in
  // the polygon's corner numbering, and the host points of its corners.
  std::vector<std::uint32_t> pieceVertices;
  std::vector<std::int32_t> piecePositions;
  std::vector<ModelerAPI::Vertex> piecePoints;

  void Begin(std::size_t vertices) {
    usable.assign(vertices, 0);
    if (seen.size() < vertices) seen.resize(vertices, 0);
    normals.clear();
  }

  void End() {
    if (usable.capacity() > kKeep) usable = {};
    if (seen.size() > kKeep) {
      seen = {};
      pieceSerial = 0;
    }
    if (normals.capacity() > kKeep) normals = {};
    if (pieceVertices.capacity() > kKeep) pieceVertices = {};
    if (piecePositions.capacity() > kKeep) piecePositions = {};
    if (piecePoints.capacity() > kKeep) piecePoints = {};
  }
};

// What reading one body keeps while it walks the polygons: the body and a
// scratch lent for the body, reused by every polygon and piece.
struct BodyRead {
  BodyRead(const ModelerAPI::Body& hostBody, std::int32_t vertices, BodyScratch& s)
      : host(hostBody), vertexCount(vertices), scratch(s) {
    s.Begin(static_cast<std::size_t>(vertices));
  }
  ~BodyRead() { scratch.End(); }
  BodyRead(const BodyRead&) = delete;
  BodyRead& operator=(const BodyRead&) = delete;

  const ModelerAPI::Body& host;
  const std::int32_t vertexCount;
  BodyScratch& scratch;
  // The body's own: a piece holds on to the host's model.
  ModelerAPI::ConvexPolygon piece;
};

// How the corners of one polygon are recorded.
struct PolygonStyle {
  Vec4f normal;  // the host's polygon normal; zero when unknown
  bool smooth;   // corners carry their own normals
  bool needsUV;  // corners carry texture coordinates
};

// Reads the body's vertices into body.positions (renderer frame, lifted by
// verticalOffset) and their mean into body.centre. A vertex that is not
// finite is kept in the list (indices stay the host's) but is marked not
// usable, so no corner uses it, and it stays out of the centre.
void ReadVerticesAndCentre(BodyRead& read, float verticalOffset, BodyInfo& body) {
  body.positions.resize(static_cast<std::size_t>(read.vertexCount));
  double sx = 0, sy = 0, sz = 0;
  std::size_t finiteCount = 0;
  for (std::int32_t i = 0; i < read.vertexCount; ++i) {
    ModelerAPI::Vertex p;
    read.host.GetVertex(i + 1, &p);
    body.positions[std::size_t(i)] =
        Vec4f{static_cast<float>(p.x), static_cast<float>(p.z) + verticalOffset, static_cast<float>(p.y), 1};
    const Vec4f& stored = body.positions[std::size_t(i)];
    if (Finite(p.x, p.y, p.z) && std::isfinite(stored.y)) {
      read.scratch.usable[std::size_t(i)] = 1;
      sx += p.x;
      sy += p.y;
      sz += p.z;
      ++finiteCount;
    }
  }
  if (finiteCount > 0) {
    const double n = static_cast<double>(finiteCount);
    body.centre[0] = static_cast<float>(sx / n);
    body.centre[1] = static_cast<float>(sz / n) + verticalOffset;
    body.centre[2] = static_cast<float>(sy / n);
  }
}

// Reads the body's list of polygon normals in the renderer's frame.
void ReadPolygonNormals(BodyRead& read) {
  const std::int32_t normalCount = std::max<std::int32_t>(read.host.GetPolygonVectorNum(), 0);
  read.scratch.normals.resize(static_cast<std::size_t>(normalCount));
  for (std::int32_t i = 0; i < normalCount; ++i) {
    ModelerAPI::Vector v;
    read.host.GetVector(i + 1, &v);
    read.scratch.normals[std::size_t(i)] = NormalFrom(v.x, v.y, v.z);
  }
}

// The material record of a polygon: its attribute's, or the record for its
// own texture on that material. Null without a library, or when the
// library has no record for it.
const MaterialRecord* PolygonMaterial(MaterialLibrary* materials, const ModelerAPI::Polygon& polygon) {
  if (materials == nullptr) return nullptr;
  ModelerAPI::AttributeIndex index;
  polygon.GetMaterialIndex(index);
  MaterialRecord* found = materials->ForAttributeIndex(index.GetIndex());
  if (polygon.HasPolygonTexture()) {
    ModelerAPI::Texture texture;
    polygon.GetPolygonTexture(&texture);
    found = materials->WithPolygonTexture(found, texture);
  }
  return found;
}

// The polygon normal: entry |k| - 1 of the body's list, negated by negation
// for a negative k. An index of 0 or past the list leaves it unknown (zero);
// each piece then gets the normal of its own corners.
Vec4f PolygonNormal(const BodyRead& read, const ModelerAPI::Polygon& polygon, const Vec4f& negation) {
  const std::int32_t k = polygon.GetNormalVectorIndex();
  const std::int64_t slot = std::abs(static_cast<std::int64_t>(k)) - 1;
  Vec4f n{0, 0, 0, 1};
  if (k != 0 && slot < static_cast<std::int64_t>(read.scratch.normals.size())) {
    n = read.scratch.normals[std::size_t(slot)];
    if (k < 0) n = Vec4f{n.x * negation.x, n.y * negation.y, n.z * negation.z, n.w * negation.w};
  }
  return n;
}

// Collects the current piece's usable corners into read.scratch.pieceVertices and
// read.scratch.piecePositions: corners whose vertex is outside the body (or not
// finite) are dropped. firstPosition is the number of the polygon's corners
// in its earlier pieces.
void CollectUsableCorners(BodyRead& read, std::int32_t cornerCount, std::int32_t firstPosition) {
  read.scratch.pieceVertices.clear();
  read.scratch.piecePositions.clear();
  for (std::int32_t j = 1; j <= cornerCount; ++j) {
    const std::int64_t v = static_cast<std::int64_t>(read.piece.GetVertexIndex(j)) - 1;
    if (v < 0 || v >= read.vertexCount || !read.scratch.usable[std::size_t(v)]) continue;
    read.scratch.pieceVertices.push_back(static_cast<std::uint32_t>(v));
    read.scratch.piecePositions.push_back(firstPosition + j);
  }
}

// The normal of the current piece: the polygon's when known, else the
// normal its corners span.
Vec4f PieceNormalOf(BodyRead& read, const PolygonStyle& style) {
  if (!IsZero(style.normal)) return style.normal;
  read.scratch.piecePoints.clear();
  for (std::uint32_t v : read.scratch.pieceVertices) {
    ModelerAPI::Vertex q;
    read.host.GetVertex(static_cast<std::int32_t>(v) + 1, &q);
    read.scratch.piecePoints.push_back(q);
  }
  return PieceNormal(read.scratch.piecePoints);
}

// Starts the marks of a new piece in read.scratch.seen.
void BeginPieceMarks(BodyRead& read) {
  if (++read.scratch.pieceSerial == 0) {  // wrapped: start the marks afresh
    std::fill(read.scratch.seen.begin(), read.scratch.seen.end(), 0);
    read.scratch.pieceSerial = 1;
  }
}

// Brings a per-corner array up to the corners before the one being
// recorded: corners of pieces that recorded nothing into it hold zeros. A
// first use makes room for every corner the mesh has reserved.
template <typename T>
void CatchUp(std::vector<T>& values, const PolygonData& data) {
  const std::size_t before = data.corners.size() - 1;
  if (values.size() == before) return;
  if (values.empty()) values.reserve(data.corners.capacity());
  values.resize(before);
}

// Records the current piece's usable corners into data as piece number
// pieceIndex. The first corner of each vertex within the piece also records
// its host normal (smooth; the piece's normal when the host gives none) and
// its texture coordinate (textured; (0, 0) when not finite); a repeated
// corner records zeros, as the vertex of its first corner stands for it.
void RecordCorners(BodyRead& read, const ModelerAPI::Polygon& polygon, const PolygonStyle& style,
                   const Vec4f& pieceNormal, std::uint32_t pieceIndex, PolygonData& data) {
  BeginPieceMarks(read);
  for (std::size_t j = 0; j < read.scratch.pieceVertices.size(); ++j) {
    const std::uint32_t v = read.scratch.pieceVertices[j];
    data.corners.push_back(MakeCornerKey(v, pieceIndex));
    const bool first = read.scratch.seen[v] != read.scratch.pieceSerial;
    read.scratch.seen[v] = read.scratch.pieceSerial;
    if (style.smooth) {
      Vec3f normal{};
      if (first) {
        ModelerAPI::Vector hostNormal;
        polygon.GetNormalVectorByVertex(read.scratch.piecePositions[j], &hostNormal);
        Vec4f cn = NormalFrom(hostNormal.x, hostNormal.y, hostNormal.z);
        if (IsZero(cn)) cn = pieceNormal;
        normal = Vec3f{cn.x, cn.y, cn.z};
      }
      CatchUp(data.cornerNormals, data);
      data.cornerNormals.push_back(normal);
    }
    if (style.needsUV) {
      Vec2f texCoord{};
      if (first) {
        ModelerAPI::Vertex q;
        read.host.GetVertex(static_cast<std::int32_t>(v) + 1, &q);
        ModelerAPI::TextureCoordinate uv;
        polygon.GetTextureCoordinate(&q, &uv);
        if (std::isfinite(static_cast<float>(uv.u)) && std::isfinite(static_cast<float>(uv.v)))
          texCoord = Vec2f{static_cast<float>(uv.u), static_cast<float>(uv.v)};
      }
      CatchUp(data.cornerTexCoords, data);
      data.cornerTexCoords.push_back(texCoord);
    }
  }
}

// Records every convex piece of polygon into data. A piece left with fewer
// than 3 usable corners has no area and is dropped whole.
void RecordPieces(BodyRead& read, const ModelerAPI::Polygon& polygon, const PolygonStyle& style, PolygonData& data) {
  // The host numbers a polygon's corners across all of its pieces; the
  // per-corner normals are read by that running position.
  std::int32_t runningPosition = 0;
  const std::int32_t pieceCount = polygon.GetConvexPolygonNum();
  for (std::int32_t c = 1; c <= pieceCount; ++c) {
    polygon.GetConvexPolygon(c, &read.piece);
    const std::int32_t m = std::max<std::int32_t>(read.piece.GetVertexNum(), 0);
    CollectUsableCorners(read, m, runningPosition);
    runningPosition += m;
    if (read.scratch.pieceVertices.size() < 3) continue;

    const std::uint32_t pieceIndex = static_cast<std::uint32_t>(data.cornerCounts.size());
    const std::int32_t kept = static_cast<std::int32_t>(read.scratch.pieceVertices.size());
    data.cornerTotal += kept;
    data.cornerCounts.push_back(kept);
    const Vec4f pieceNormal = PieceNormalOf(read, style);
    if (!style.smooth) data.flatNormals.push_back(pieceNormal);
    RecordCorners(read, polygon, style, pieceNormal, pieceIndex, data);
  }
}

// The meshes one body has made so far, in creation order. Polygons of one
// material and smoothing usually come in runs, so the last mesh used is
// tried first.
struct BodyMeshes {
  std::vector<MeshInfo*> created;
  MeshInfo* last = nullptr;

  // The body's mesh of material key and smoothing, or null when it has none
  // yet.
  MeshInfo* Find(std::uint64_t key, bool smooth) {
    if (last != nullptr && last->materialKey == key && last->smooth == smooth) return last;
    for (MeshInfo* m : created) {
      if (m->materialKey == key && m->smooth == smooth) return last = m;
    }
    return nullptr;
  }

  void Add(MeshInfo* mesh) {
    created.push_back(mesh);
    last = mesh;
  }
};

}  // namespace

std::unique_ptr<BodyInfo> MeshBuilder::BuildBody(const ModelerAPI::Body& hostBody) {
  auto body = std::make_unique<BodyInfo>();
  const std::int32_t vertexCount = std::max<std::int32_t>(hostBody.GetVertexNum(), 0);
  body->doubleSided = !hostBody.IsClosed();
  body->vertexCount = vertexCount;
  body->id = ++bodyCounter_;
  body->meshes.reserve(32);

  static base::ScratchPool<BodyScratch> pool;
  const base::ScratchPool<BodyScratch>::Lease scratch = pool.Take();
  BodyRead read(hostBody, vertexCount, *scratch);
  ReadVerticesAndCentre(read, verticalOffset_, *body);
  ReadPolygonNormals(read);

  const std::int32_t polygonCount = std::max<std::int32_t>(hostBody.GetPolygonCount(), 0);
  BodyMeshes meshes;
  ModelerAPI::Polygon polygon;
  try {
    for (std::int32_t p = 1; p <= polygonCount; ++p) {
      hostBody.GetPolygon(p, &polygon);
      if (polygon.IsInvalid() || polygon.IsInvisible()) continue;
      const bool smoothHere = polygon.IsCurved() && smooth_;
      const MaterialRecord* record = PolygonMaterial(materials_, polygon);
      const std::uint64_t key = record != nullptr ? record->key : kDefaultMaterialKey;
      MeshInfo* mesh = meshes.Find(key, smoothHere);
      if (mesh == nullptr) {
        // A key new to the body always makes a mesh.
        if (!body->UsesMaterial(key)) body->materialKeys.push_back(key);
        mesh = CreateMesh(*body, key, smoothHere, polygonCount);
        meshes.Add(mesh);
      }
      const PolygonStyle style{PolygonNormal(read, polygon, negation_), smoothHere,
                               record != nullptr && record->HasTexture()};
      RecordPieces(read, polygon, style, *mesh->polygons);
    }
    for (MeshInfo* mesh : meshes.created) mesh->polygons->Trim();
    body->meshes.shrink_to_fit();
  } catch (...) {
    // The body's meshes are in their material groups from their creation
    // on: out of them before the body, their owner, frees them, or the next
    // publication would read freed meshes.
    if (groups_ != nullptr) {
      for (const auto& mesh : body->meshes) {
        const auto group = groups_->find(mesh->materialKey);
        if (group != groups_->end()) group->second.erase(mesh.get());
      }
    }
    throw;
  }
  body->rawMeshes.store(static_cast<std::int32_t>(body->meshes.size()), std::memory_order_relaxed);
  return body;
}

}  // namespace scene
