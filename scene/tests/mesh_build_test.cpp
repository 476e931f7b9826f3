// From host bodies to a material's link block, each step against a
// reference worked out apart from the builder, the block over real shared
// memory. Random polygon soups with bad host data run the whole path (under
// AddressSanitizer any access out of range); MESH_FUZZ_SEED replays a seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "isolation.h"
#include "livelink/layout.h"
#include "livelink/live_connection.h"
#include "scene/material_library.h"
#include "scene/mesh_builder.h"
#include "scene/mesh_finisher.h"
#include "scene/weld_mesh.h"
#include "test_host.h"
#include "test_temp_dir.h"
#include "../src/weld_mesh_table.h"

using namespace scene;
using namespace scene_test;
using CorvantaAPI::LiveConnection;
using Floats = std::vector<float>;

namespace {

struct Vertex {
  float p[3], n[3], t[2];
};
using Bytes = std::array<std::uint8_t, 32>;

// Makes mesh a finished mesh of these vertices and indices.
MeshInfo* Fill(MeshInfo* mesh, const std::vector<Vertex>& vertices, std::vector<std::uint32_t> indices,
               bool doubleSided = false) {
  mesh->polygons.reset();
  mesh->doubleSided = doubleSided;
  for (const Vertex& v : vertices) {
    mesh->positions.insert(mesh->positions.end(), v.p, v.p + 3);
    mesh->normals.insert(mesh->normals.end(), v.n, v.n + 3);
    mesh->texCoords.insert(mesh->texCoords.end(), v.t, v.t + 2);
  }
  mesh->vertexCount = std::int32_t(vertices.size());
  mesh->indices = std::move(indices);
  mesh->indexCount = std::int32_t(mesh->indices.size());
  return mesh;
}

// A finished mesh of n vertices owned by body: vertex k at (k, 10k, 100k),
// normal (1, 2, 3) + k, texture coordinate (k, -k); a fan over them.
MeshInfo* Fan(BodyInfo& body, int n, bool doubleSided, float base = 0) {
  std::vector<Vertex> vertices;
  std::vector<std::uint32_t> indices;
  for (int k = 0; k < n; ++k) {
    const float f = base + float(k);
    vertices.push_back({{f, 10 * f, 100 * f}, {1 + f, 2 + f, 3 + f}, {f, -f}});
    if (k >= 2) indices.insert(indices.end(), {0u, std::uint32_t(k - 1), std::uint32_t(k)});
  }
  return Fill(new MeshInfo(&body, kDefaultMaterialKey, false, 0), vertices, std::move(indices), doubleSided);
}

// A body of these polygons over these vertices (the unit square by
// default), its one polygon normal host +z.
hostmodel::Body Flat(std::vector<hostmodel::Polygon> polygons,
                     std::vector<hostmodel::Vec3> vertices = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}},
                     std::vector<hostmodel::Vec3> vertexNormals = {}, std::vector<hostmodel::Vec2> texCoords = {}) {
  hostmodel::Body b;
  b.vertices = std::move(vertices);
  b.polygonNormals = {{0, 0, 1}};
  b.vertexNormals = std::move(vertexNormals);
  b.texCoords = std::move(texCoords);
  b.polygons = std::move(polygons);
  // Mapping 1 takes the vertices' own texture coordinates.
  b.mappings = {hostmodel::TextureMapping{hostmodel::TextureProjection::Vertex, {}, {1, 0, 0}, {0, 1, 0}}};
  return b;
}

// A polygon of these convex pieces.
hostmodel::Polygon Pieces(std::vector<std::vector<std::int32_t>> pieces, bool curved = false) {
  hostmodel::Polygon p;
  p.curved = curved;
  p.convexPieces = hostmodel::ConvexPieces(pieces);
  return p;
}

const MaterialRecord kPlainRecord = [] {
  MaterialRecord r;
  r.key = kDefaultMaterialKey;
  return r;
}();

// A finished mesh's normals, three per vertex, shared ones spelt out.
Floats NormalsOf(const MeshInfo& mesh) {
  Floats out;
  for (int k = 0; k < mesh.vertexCount; ++k) out.insert(out.end(), mesh.NormalOf(k), mesh.NormalOf(k) + 3);
  return out;
}

// A finished mesh's texture coordinates, two per vertex, the plain ones
// spelt out.
Floats TexCoordsOf(const MeshInfo& mesh) {
  if (mesh.HoldsTexCoords()) return mesh.texCoords;
  Floats plain;
  for (int k = 0; k < mesh.vertexCount; ++k) plain.insert(plain.end(), {0.0f, 1.0f});
  return plain;
}

// The attribute bytes of vertex k.
Bytes BytesOf(const MeshInfo& mesh, std::size_t k) {
  Bytes bytes;
  std::memcpy(bytes.data(), &mesh.positions[3 * k], 12);
  std::memcpy(bytes.data() + 12, mesh.NormalOf(k), 12);
  const float plain[2] = {0.0f, 1.0f};
  std::memcpy(bytes.data() + 24, mesh.HoldsTexCoords() ? &mesh.texCoords[2 * k] : plain, 8);
  return bytes;
}

// A weld worked out plainly: vertices in order, each new byte pattern kept,
// each index sent to the first vertex of its pattern.
struct Welded {
  std::vector<Bytes> vertices;
  std::vector<std::uint32_t> indices;
  bool operator==(const Welded&) const = default;
};
Welded ReferenceWeld(const MeshInfo& mesh) {
  Welded out;
  std::map<Bytes, std::uint32_t> first;
  std::vector<std::uint32_t> to(std::size_t(mesh.vertexCount));
  for (std::size_t k = 0; k < to.size(); ++k) {
    const auto [at, added] = first.emplace(BytesOf(mesh, k), std::uint32_t(out.vertices.size()));
    if (added) out.vertices.push_back(at->first);
    to[k] = at->second;
  }
  for (std::uint32_t i : mesh.indices) out.indices.push_back(to[i]);
  return out;
}
Welded AsWelded(const MeshInfo& mesh) {
  Welded out{{}, mesh.indices};
  for (std::size_t k = 0; k < std::size_t(mesh.vertexCount); ++k) out.vertices.push_back(BytesOf(mesh, k));
  return out;
}

// What a block must hold for these meshes, built independently of the
// writer: for each mesh the front copy (indices reversed), then the back
// copy of a double-sided one (normals negated, own index order).
std::vector<std::uint8_t> ExpectedBlock(const std::vector<const MeshInfo*>& meshes) {
  Floats positions, normals, texCoords;
  std::vector<std::uint32_t> indices;
  std::uint32_t vo = 0;
  for (const MeshInfo* m : meshes) {
    for (int side = 0; side < (m == nullptr ? 0 : m->doubleSided ? 2 : 1); ++side) {  // a hole is no mesh
      positions.insert(positions.end(), m->positions.begin(), m->positions.end());
      for (float n : NormalsOf(*m)) normals.push_back(side ? -n : n);
      const Floats uv = TexCoordsOf(*m);
      texCoords.insert(texCoords.end(), uv.begin(), uv.end());
      const std::size_t ic = m->indices.size();
      for (std::size_t k = 0; k < ic; ++k) indices.push_back((side ? m->indices[k] : m->indices[ic - 1 - k]) + vo);
      vo += std::uint32_t(m->vertexCount);
    }
  }
  std::vector<std::uint8_t> out(12);
  const std::uint32_t head[3] = {vo, std::uint32_t(indices.size()), 1};
  std::memcpy(out.data(), head, 12);
  auto append = [&](const void* p, std::size_t bytes) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    out.insert(out.end(), b, b + bytes);
  };
  append(positions.data(), positions.size() * 4);
  append(normals.data(), normals.size() * 4);
  append(texCoords.data(), texCoords.size() * 4);
  append(indices.data(), indices.size() * 4);
  return out;
}

// What a renderer draws of a block: for every index, in order, its vertex's
// 32 attribute bytes; and, sorted, the vertices no index names that are not
// copies of a corner an index names (a mesh's own vertices that no triangle
// uses). The room a block keeps between and after its meshes must be such
// copies: a zero vertex there, or a stale one, shows among these.
struct Drawn {
  std::vector<Bytes> corners;
  std::vector<Bytes> unnamed;
};
Drawn DrawnOf(const std::uint8_t* block) {
  std::uint32_t head[3];
  std::memcpy(head, block, 12);
  const std::uint64_t v = head[0];
  const std::uint8_t* positions = block + 12;
  const std::uint8_t *normals = positions + 12 * v, *uv = positions + 24 * v, *indices = positions + 32 * v;
  Drawn out;
  std::vector<char> named(v, 0);
  for (std::uint32_t k = 0; k < head[1]; ++k) {
    std::uint32_t i;
    std::memcpy(&i, indices + 4 * k, 4);
    if (i >= v) {
      ADD_FAILURE() << "index " << k << " names vertex " << i << " of " << v;
      return out;
    }
    named[i] = 1;
    Bytes& c = out.corners.emplace_back();
    std::memcpy(c.data(), positions + 12 * i, 12);
    std::memcpy(c.data() + 12, normals + 12 * i, 12);
    std::memcpy(c.data() + 24, uv + 8 * i, 8);
  }
  std::vector<Bytes> unnamed;
  for (std::uint64_t i = 0; i < v; ++i) {
    if (named[i]) continue;
    Bytes& b = unnamed.emplace_back();
    std::memcpy(b.data(), positions + 12 * i, 12);
    std::memcpy(b.data() + 12, normals + 12 * i, 12);
    std::memcpy(b.data() + 24, uv + 8 * i, 8);
  }
  // The room is many copies of few corners: its distinct values are looked
  // for among the corners, not the corners sorted.
  std::sort(unnamed.begin(), unnamed.end());
  std::vector<Bytes> distinct = unnamed;
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  std::vector<char> isCorner(distinct.size(), 0);
  for (const Bytes& c : out.corners) {
    auto at = std::lower_bound(distinct.begin(), distinct.end(), c);
    if (at != distinct.end() && *at == c) isCorner[std::size_t(at - distinct.begin())] = 1;
  }
  for (const Bytes& b : unnamed)
    if (!isCorner[std::size_t(std::lower_bound(distinct.begin(), distinct.end(), b) - distinct.begin())])
      out.unnamed.push_back(b);
  return out;
}

}  // namespace

// Builder options and bookkeeping that no mesh content shows: body ids,
// sidedness, material groups and dirty keys, hidden and empty bodies, and a
// mesh finished only once and only with a record.
TEST(MeshBuilder, CountsBodiesRegistersMeshesAndFinishesOnce) {
  hostmodel::Body b = Flat({Piece({0, 1, 2})}), invisible = Flat({Piece({0, 1, 2}), Piece({0, 2, 3})});
  b.closed = false;
  for (auto& p : invisible.polygons) p.invisible = true;
  HostModel model(OneElement({b, invisible, hostmodel::Body{}}));
  MaterialGroups groups;
  DirtyKeySet dirty;
  MeshBuilder builder(nullptr, &groups, &dirty);
  builder.SetOptions(true, false, 0.5f);
  auto body = builder.BuildBody(model.Body());
  EXPECT_EQ(std::tuple(body->id, body->doubleSided, body->vertexCount), std::tuple(1u, true, 4));
  ASSERT_EQ(body->meshes.size(), 1u);
  MeshInfo* mesh = body->meshes[0].get();
  EXPECT_TRUE(mesh->doubleSided && mesh->materialKey == kDefaultMaterialKey);
  EXPECT_TRUE(groups[kDefaultMaterialKey].contains(mesh) && dirty.count(kDefaultMaterialKey) == 1 &&
              body->materialKeys == std::vector<std::uint64_t>{kDefaultMaterialKey});
  // Invisible polygons and an empty body give no meshes and no groups.
  auto hidden = builder.BuildBody(model.Body(1, 2));
  EXPECT_TRUE(hidden->meshes.empty() && hidden->materialKeys.empty());
  auto none = builder.BuildBody(model.Body(1, 3));
  EXPECT_EQ(std::tuple(none->vertexCount, none->centre[0], none->centre[1]), std::tuple(0, 0.0f, 0.0f));
  EXPECT_EQ(std::pair(groups.size(), groups[kDefaultMaterialKey].size()), std::pair(std::size_t(1), std::size_t(1)));
  // Without a record the mesh stays raw; once finished it is final.
  EXPECT_FALSE(builder.FinishMesh(mesh, nullptr) || mesh->IsFinished());
  ASSERT_TRUE(builder.FinishMesh(mesh, &kPlainRecord));
  EXPECT_TRUE(mesh->IsFinished());
  EXPECT_FALSE(builder.FinishMesh(mesh, &kPlainRecord) || builder.FinishMesh(nullptr, &kPlainRecord));
  // Ids restart with new options.
  EXPECT_EQ(builder.BuildBody(model.Body())->id, 4u);
  builder.SetOptions(true, false, 0.5f);
  EXPECT_EQ(builder.BuildBody(model.Body())->id, 1u);
}

namespace {

// A flat strip of n - 2 triangles over n vertices: one mesh of many pieces.
hostmodel::Body Strip(int n) {
  std::vector<hostmodel::Vec3> vertices;
  std::vector<hostmodel::Polygon> triangles;
  for (int k = 0; k < n; ++k) {
    vertices.push_back({double(k), double(k % 2), 0});
    if (k >= 2) triangles.push_back(Piece({k - 2, k - 1, k}));
  }
  return Flat(triangles, vertices);
}

}  // namespace

// A large mesh given up part way (the walk ended while the finishing thread
// held it) stays raw and whole, and finishes later exactly as if it had
// never been started; a small one is never given up.
TEST(MeshBuilder, AMeshGivenUpPartWayStaysRawAndFinishesLaterTheSame) {
  HostModel model(OneElement({Strip(6000), Flat({Piece({0, 1, 2})})}));
  MeshBuilder builder(nullptr, nullptr, nullptr);
  builder.SetOptions(true, true, 0.0f);
  auto large = builder.BuildBody(model.Body(1, 1)), again = builder.BuildBody(model.Body(1, 1));
  auto small = builder.BuildBody(model.Body(1, 2));
  const std::atomic<bool> abandon{true};
  std::unique_ptr<PolygonData> spent;
  MeshInfo& given = *large->meshes[0];
  EXPECT_FALSE(builder.FinishMesh(&given, &kPlainRecord, &spent, &abandon));
  EXPECT_TRUE(!given.IsFinished() && spent == nullptr && given.vertexCount == 0 && given.indices.empty());
  EXPECT_EQ(given.polygons->cornerCounts.size(), 5998u);
  // Finished afterwards, it equals a mesh that was never given up.
  ASSERT_TRUE(builder.FinishMesh(&given, &kPlainRecord) && builder.FinishMesh(again->meshes[0].get(), &kPlainRecord));
  EXPECT_EQ(AsWelded(given), AsWelded(*again->meshes[0]));
  EXPECT_EQ(given.indexCount, 3 * 5998);
  // A small mesh is done before it looks at the flag; its raw data goes to
  // spent for the thread that made it.
  EXPECT_TRUE(builder.FinishMesh(small->meshes[0].get(), &kPlainRecord, &spent, &abandon));
  EXPECT_TRUE(small->meshes[0]->IsFinished() && spent != nullptr && spent->corners.size() == 3);
}

// A body's vertices go once its last mesh is finished, with that mesh's raw
// data: not before (a mesh still raw reads them), and not when a mesh gave
// up or had no record. Meshes finished in either order come out the same.
TEST(MeshBuilder, ABodysVerticesGoWithItsLastMeshFinished) {
  // A flat and a curved polygon: two meshes of one body when smoothing.
  const hostmodel::Body b = Flat({Pieces({{0, 1, 2}}), Pieces({{0, 2, 3}}, true)});
  HostModel model(OneElement({b}));
  MeshBuilder builder(nullptr, nullptr, nullptr);
  builder.SetOptions(true, true, 0.0f);
  auto body = builder.BuildBody(model.Body()), reversed = builder.BuildBody(model.Body());
  ASSERT_EQ(body->meshes.size(), 2u);
  const std::atomic<bool> abandon{true};
  std::unique_ptr<PolygonData> spent;
  EXPECT_FALSE(builder.FinishMesh(body->meshes[1].get(), nullptr));
  ASSERT_TRUE(builder.FinishMesh(body->meshes[0].get(), &kPlainRecord, &spent, &abandon));
  EXPECT_TRUE(spent->bodyPositions.empty());
  EXPECT_EQ(body->positions.size(), 4u);
  ASSERT_TRUE(builder.FinishMesh(body->meshes[1].get(), &kPlainRecord, &spent));
  EXPECT_TRUE(body->positions.empty());
  EXPECT_EQ(spent->bodyPositions.size(), 4u);
  // The other order, without a spent list: the first mesh finished is the
  // curved one, and the flat one after it still finds every vertex.
  ASSERT_TRUE(builder.FinishMesh(reversed->meshes[1].get(), &kPlainRecord));
  EXPECT_EQ(reversed->positions.size(), 4u);
  ASSERT_TRUE(builder.FinishMesh(reversed->meshes[0].get(), &kPlainRecord));
  EXPECT_TRUE(reversed->positions.empty());
  for (std::size_t m = 0; m < 2; ++m) EXPECT_EQ(AsWelded(*body->meshes[m]), AsWelded(*reversed->meshes[m]));
  // A body made by hand has no count and keeps its vertices.
  BodyInfo manual;
  manual.positions.resize(3);
  MeshInfo* raw = new MeshInfo(&manual, kDefaultMaterialKey, false, 1);
  raw->polygons->cornerCounts = {3};
  raw->polygons->corners = {MakeCornerKey(0, 0), MakeCornerKey(1, 0), MakeCornerKey(2, 0)};
  raw->polygons->cornerTotal = 3;
  raw->polygons->flatNormals = {Vec4f{0, 1, 0, 1}};
  ASSERT_TRUE(builder.FinishMesh(raw, &kPlainRecord));
  EXPECT_EQ(manual.positions.size(), 3u);
}

// The finishing thread beside a reading thread, as in a large walk: every
// mesh it reaches is finished exactly as the host thread would finish it,
// the raw data of each is handed back and freed (the sanitizers see a leak
// or a race), and what it has not reached, or gave up at the stop, stays raw
// and whole for the publication.
TEST(MeshFinisher, FinishesWhatItReachesAsTheHostWouldAndLeavesTheRestRaw) {
  HostModel model(OneElement({Flat({Piece({0, 1, 2}), Piece({0, 2, 3})}), Strip(9000)}));
  MeshBuilder builder(nullptr, nullptr, nullptr);
  builder.SetOptions(true, true, 0.0f);
  for (const bool stopEarly : {false, true}) {
    std::vector<std::unique_ptr<BodyInfo>> bodies, copies;
    {
      MeshFinisher finisher(builder);
      for (int i = 0; i < 1200; ++i) {
        // Now and then a large body, so that a stop can meet one in hand.
        const int which = i % 200 == 199 ? 2 : 1;
        bodies.push_back(builder.BuildBody(model.Body(1, which)));
        copies.push_back(builder.BuildBody(model.Body(1, which)));
        finisher.Queue(bodies.back()->meshes[0].get(), &kPlainRecord);
        if (stopEarly && i == 600) finisher.Stop();
      }
    }  // the destructor stops the thread
    std::size_t finished = 0, finishedAfterStop = 0;
    for (std::size_t i = 0; i < bodies.size(); ++i) {
      MeshInfo& mesh = *bodies[i]->meshes[0];
      if (mesh.IsFinished()) {
        ++finished;
        finishedAfterStop += i > 600;
      } else {
        ASSERT_EQ(mesh.polygons->corners.size(), copies[i]->meshes[0]->polygons->corners.size()) << i;
        ASSERT_TRUE(builder.FinishMesh(&mesh, &kPlainRecord)) << i;
      }
      ASSERT_TRUE(builder.FinishMesh(copies[i]->meshes[0].get(), &kPlainRecord));
      ASSERT_EQ(AsWelded(mesh), AsWelded(*copies[i]->meshes[0])) << i;
    }
    // Meshes queued after a stop stay raw; without one, the thread does a
    // share of the work (on a loaded machine perhaps little of it).
    if (stopEarly) {
      EXPECT_EQ(finishedAfterStop, 0u);
    } else {
      EXPECT_GT(finished, 0u);
    }
  }
}

namespace {

struct Corners {
  bool smooth;
  Floats positions, normals, texCoords;
  std::vector<std::uint32_t> indices;
  bool operator==(const Corners&) const = default;
};

// The finished meshes a body must give, worked out from the host's data
// alone: every visible piece keeps its corners that name a vertex finite as
// a float, and is dropped with fewer than three; a corner per vertex and
// piece, fanned from the first corner; the renderer's frame (x, z + offset,
// y); each polygon's flat normal as the case gives it, or on a curved
// polygon with smoothing the vertex's own normal where it is finite; (0, 1)
// without a texture, else the coordinate over the texture's repeat size,
// v from the top. One mesh per texture and smoothness, in polygon order.
std::vector<Corners> Reference(const hostmodel::Project& p, const std::vector<Floats>& flat, bool smoothing,
                               float offset) {
  const hostmodel::Body& b = p.elements[0].bodies[0];
  std::vector<std::pair<std::pair<int, bool>, Corners>> meshes;
  auto finite = [](const hostmodel::Vec3& v) {
    return std::isfinite(float(v.x)) && std::isfinite(float(v.y)) && std::isfinite(float(v.z));
  };
  for (std::size_t i = 0; i < b.polygons.size(); ++i) {
    const hostmodel::Polygon& poly = b.polygons[i];
    const bool smooth = smoothing && poly.curved;
    for (const auto& piece : poly.convexPieces) {
      std::vector<std::int32_t> kept;
      for (std::int32_t c : piece)
        if (c >= 0 && std::size_t(c) < b.vertices.size() && finite(b.vertices[std::size_t(c)])) kept.push_back(c);
      if (poly.invisible || kept.size() < 3) continue;
      const std::pair key(poly.textureIndex, smooth);
      auto at = std::find_if(meshes.begin(), meshes.end(), [&](const auto& m) { return m.first == key; });
      Corners& m = at != meshes.end() ? at->second : meshes.emplace_back(key, Corners{smooth, {}, {}, {}, {}}).second;
      std::map<std::int32_t, std::uint32_t> corner;
      for (std::int32_t c : kept) {
        if (!corner.emplace(c, std::uint32_t(m.positions.size() / 3)).second) continue;
        const hostmodel::Vec3& v = b.vertices[std::size_t(c)];
        m.positions.insert(m.positions.end(), {float(v.x), float(v.z + offset), float(v.y)});
        const bool own = smooth && finite(b.vertexNormals[std::size_t(c)]);
        const hostmodel::Vec3& n = own ? b.vertexNormals[std::size_t(c)] : hostmodel::Vec3{};
        const Floats normal = own ? Floats{float(n.x), float(n.z), float(n.y)} : flat[i];
        m.normals.insert(m.normals.end(), normal.begin(), normal.end());
        const hostmodel::Texture* t = poly.textureIndex ? &p.textures[std::size_t(poly.textureIndex - 1)] : nullptr;
        const hostmodel::Vec2 uv = t ? b.texCoords[std::size_t(c)] : hostmodel::Vec2{};
        m.texCoords.insert(m.texCoords.end(), {t ? float(uv.u / t->xSize) : 0, t ? float(1 - uv.v / t->ySize) : 1});
      }
      for (std::size_t k = 2; k < kept.size(); ++k)
        m.indices.insert(m.indices.end(), {corner[kept[0]], corner[kept[k - 1]], corner[kept[k]]});
    }
  }
  std::vector<Corners> out;
  for (auto& m : meshes) out.push_back(std::move(m.second));
  return out;
}

}  // namespace

// One body in, finished meshes out, against the reference; the body's centre
// is the mean of its usable vertices; and finished with a record without
// texture, every mesh maps (0, 1).
TEST(MeshBuilder, FinishedCornersFollowTheHostsBody) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Floats up{0, 1, 0}, down{0, -1, 0};
  struct Case {
    const char* what;
    hostmodel::Body body;
    std::vector<Floats> flat;  // each polygon's normal in the renderer's frame
    bool smoothing = true;
    float offset = 0;
  };
  const std::vector<hostmodel::Vec3> square = Flat({}).vertices;
  const auto textured = [](hostmodel::Polygon p) {
    p.textureIndex = 1;
    p.mappingIndex = 1;  // Flat's vertex mapping
    return p;
  };
  hostmodel::Body bad =
      Flat({Piece({0, 1, 2}), Piece({0, 7, 1, 2}), Piece({0, -5, 1}), Piece({0, 1, 3}), Piece({4, 1, 2}),
            Piece({0, 1, 2}, 2), Pieces({}), Pieces({{0, 1}, {}}), Pieces({{0, 1, 2}}, true)},
           {{0, 0, 0}, {3, 0, 0}, {0, 3, 0}, {nan, 0, 0}, {0, 1e300, 0}},  // 1e300 is no float
           {{nan, 0, 0}, {0, 0, 1}, {0, 0, 1}, {0, 0, 1}, {0, 0, 1}});
  bad.polygonNormals.push_back({nan, 0, 1});
  const hostmodel::Body smooth = Flat({Pieces({{0, 1, 2}, {0, 2, 3}}, true), Piece({0, 1, 2})}, square,
                                      {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0.6, 0.8, 0}});
  const Case cases[] = {
      // Host z plus the offset is up.
      {"frame", Flat({Piece({0, 1, 2})}, {{1, 2, 3}, {3, 4, 5}, {5, 6, 7}}), {up}, true, 0.5f},
      // Signed normal indices; unusable ones fall back to the corners
      // (vertex 4 lies on the line through 0 and 1).
      {"polygon normals",
       Flat({Piece({0, 1, 2}, 1), Piece({0, 1, 2}, -1), Piece({0, 1, 2}, 0), Piece({0, 3, 2, 1}, 7),
             Piece({0, 1, 4}, 0)},
            {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {2, 0, 0}}),
       {up, down, up, down, {0, 0, 0}}},
      // Two pieces of one polygon sharing vertices; a vertex twice in a piece.
      {"unique corners and fans",
       Flat({Pieces({{0, 1, 2, 3, 4}, {0, 4, 5}}), Piece({6, 7, 6, 8})},
            {{0, 0, 0}, {1, 1, 0}, {2, 4, 0}, {3, 9, 0}, {4, 16, 0}, {5, 25, 0}, {6, 36, 0}, {7, 49, 0}, {8, 64, 0}}),
       {up, up}},
      // Smooth and flat polygons of one material kept apart; then no smoothing.
      {"smooth normals", smooth, {up, up}},
      {"smoothing off", smooth, {up, up}, false},
      // A polygon's own texture, scaled by its repeat size.
      {"texture",
       Flat({textured(Piece({0, 1, 2, 3})), Piece({0, 1, 2})}, square, {}, {{0, 0}, {1, 0}, {1, 2}, {0, 2}}),
       {up, up}},
      // Bad host data: corners and pieces go, nothing is read out of range.
      {"bad host data", bad, std::vector<Floats>(9, up)},
  };
  hostmodel::Texture tiles;
  std::tie(tiles.width, tiles.height, tiles.pixels, tiles.fingerprint, tiles.xSize, tiles.ySize) =
      std::tuple(2, 2, std::vector<std::uint8_t>(16, 200), "tiles", 2.0, 4.0);
  const testsupport::TempDir folder;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    hostmodel::Project project = OneElement({c.body});
    project.textures.push_back(tiles);
    const std::vector<Corners> expected = Reference(project, c.flat, c.smoothing, c.offset);
    HostModel model(project);
    MaterialLibrary library;
    library.BeginExport(&model.Model(), (folder.path() / "out.dae").u16string());
    MeshBuilder builder(&library, nullptr, nullptr);
    builder.SetOptions(c.smoothing, false, c.offset);
    auto body = builder.BuildBody(model.Body());
    ASSERT_EQ(body->meshes.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      MeshInfo* m = body->meshes[i].get();
      ASSERT_TRUE(builder.FinishMesh(m, library.Find(m->materialKey)));
      EXPECT_TRUE((Corners{m->smooth, m->positions, NormalsOf(*m), TexCoordsOf(*m), m->indices} == expected[i])) << i;
    }
    float centre[4] = {};  // x, y, z and the count of usable vertices
    for (const hostmodel::Vec3& v : c.body.vertices)
      if (const float f[3] = {float(v.x), float(v.z + c.offset), float(v.y)}; std::isfinite(f[0] + f[1] + f[2]))
        for (int k = 0; k < 4; ++k) centre[k] += k < 3 ? f[k] : 1;
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(body->centre[k], centre[k] / centre[3], 1e-5) << k;
    auto again = builder.BuildBody(model.Body());
    for (auto& m : again->meshes) {
      ASSERT_TRUE(builder.FinishMesh(m.get(), &kPlainRecord));
      // Without a texture every vertex has (0, 1), held nowhere.
      EXPECT_FALSE(m->HoldsTexCoords());
    }
    library.Reset();
  }
}

namespace {
// One digest for every vertex: each is a candidate for each other, and only
// their bytes may keep them apart.
std::uint64_t OneDigest(const WeldAttributes&) { return 7; }
}  // namespace

// Every case welds twice: as a mesh, and through a table whose digests all
// collide, which must weld the same.
TEST(WeldMesh, EqualBytesMergeAndNothingElse) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    const char* what;
    std::vector<Vertex> vertices;
    std::vector<std::uint32_t> indices;
    std::size_t merged;
  };
  const Case cases[] = {
      // Position bytes equal to normal bytes cancel the terms of a key made
      // of xored digests: such vertices are still different.
      {"cancelling digests", {{{0, 1, 0}, {0, 1, 0}, {0, 1}}, {{1, 0, 0}, {1, 0, 0}, {0, 1}}}, {0, 1, 1}, 0},
      // +0 and -0 are equal numbers with different bytes; a NaN equals no
      // number but has the same bytes as itself.
      {"signed zeros and NaN",
       {{{0, 0, 0}, {0, 1, 0}, {0, 1}},
        {{-0.0f, 0, 0}, {0, 1, 0}, {0, 1}},
        {{nan, 0, 0}, {0, 1, 0}, {0, 1}},
        {{nan, 0, 0}, {0, 1, 0}, {0, 1}}},
       {0, 1, 2, 1, 2, 3},
       1},
      {"one attribute apart", {{{1, 2, 3}, {0, 1, 0}, {0, 1}}, {{1, 2, 3}, {0, 1, 0}, {0, 2}}}, {0, 1, 0}, 0},
      {"fewer than 2 indices: not welded", {{{1, 2, 3}, {0, 1, 0}, {0, 1}}, {{1, 2, 3}, {0, 1, 0}, {0, 1}}}, {0}, 0},
      {"same vertex", {{{1, 2, 3}, {0, 1, 0}, {0, 1}}, {{1, 2, 3}, {0, 1, 0}, {0, 1}}}, {1, 0, 1}, 1},
      {"equal ones among others",
       {{{1, 2, 3}, {0, 1, 0}, {0, 1}},
        {{1, 2, 3}, {0, 0, 1}, {0, 1}},
        {{1, 2, 3}, {0, 1, 0}, {0, 1}},
        {{1, 2, 3}, {0, 1, 0}, {1, 1}},
        {{1, 2, 3}, {0, 0, 1}, {0, 1}}},
       {0, 1, 2, 2, 3, 4},
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MeshInfo mesh(nullptr, 1, false, 0), original(nullptr, 1, false, 0);
    Fill(&original, c.vertices, c.indices);
    EXPECT_EQ(WeldMesh(*Fill(&mesh, c.vertices, c.indices)), c.merged);
    // A weld that merges nothing leaves the mesh as it was.
    EXPECT_EQ(AsWelded(mesh), c.merged == 0 ? AsWelded(original) : ReferenceWeld(original));

    BasicWeldTable<OneDigest> table;
    table.Reset(c.vertices.size());
    std::vector<WeldAttributes> distinct;
    std::vector<std::uint32_t> to;
    for (std::size_t k = 0; k < c.vertices.size(); ++k) {
      WeldAttributes a;
      std::memcpy(a.f, BytesOf(original, k).data(), 32);
      to.push_back(table.Add(a, distinct));
    }
    Welded colliding;
    for (const WeldAttributes& a : distinct) std::memcpy(colliding.vertices.emplace_back().data(), a.f, 32);
    for (std::uint32_t i : c.indices) colliding.indices.push_back(to[i]);
    EXPECT_EQ(colliding, ReferenceWeld(original));
  }
}

namespace {

double Coordinate(std::mt19937& r) {
  switch (std::uniform_int_distribution<int>(0, 39)(r)) {
    case 0: return std::numeric_limits<double>::quiet_NaN();
    case 1: return std::numeric_limits<double>::infinity();
    case 2: return -1e300;
    case 3: return 0.0;
    default: return std::uniform_real_distribution<double>(-50, 50)(r);
  }
}

// Vertex indices out of range, normal indices 0 or past the list, NaN and
// infinite coordinates, pieces of 0 to 2 corners, repeated corners.
hostmodel::Body RandomBody(std::mt19937& r, int maxCorners) {
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(r); };
  hostmodel::Body b;
  b.closed = pick(0, 1) == 1;
  const int v = pick(0, 30);
  for (int i = 0; i < v; ++i) b.vertices.push_back({Coordinate(r), Coordinate(r), Coordinate(r)});
  for (int i = pick(0, 4); i > 0; --i) b.polygonNormals.push_back({Coordinate(r), Coordinate(r), Coordinate(r)});
  if (pick(0, 1))
    for (int i = 0; i < v; ++i) b.vertexNormals.push_back({Coordinate(r), Coordinate(r), Coordinate(r)});
  if (pick(0, 1))
    for (int i = 0; i < v; ++i) b.texCoords.push_back({Coordinate(r), Coordinate(r)});
  for (int p = pick(0, 16); p > 0; --p) {
    hostmodel::Polygon poly;
    poly.invisible = pick(0, 9) == 0;
    poly.curved = pick(0, 2) == 0;
    poly.normalIndex = pick(-6, 6);
    poly.textureIndex = pick(0, 3) == 0 ? pick(0, 3) : 0;  // 1 exists, 2 and 3 do not
    poly.materialIndex = pick(-2, 4);
    hostmodel::TextureMapping mapping;
    mapping.projection = static_cast<hostmodel::TextureProjection>(pick(0, 2));
    hostmodel::SetMapping(b, poly, mapping);
    for (int c = pick(0, 4); c > 0; --c) {
      std::vector<std::int32_t> piece;
      for (int k = pick(0, maxCorners); k > 0; --k) piece.push_back(pick(-3, v + 3));
      poly.convexPieces.push_back(std::move(piece));
    }
    b.polygons.push_back(std::move(poly));
  }
  return b;
}

// A finished mesh's arrays agree with its counts and hold no index out of
// range, no point that is not finite and no NaN.
void CheckFinished(const MeshInfo& m, std::uint32_t seed) {
  const auto n = std::size_t(m.vertexCount);
  ASSERT_TRUE(m.indexCount % 3 == 0 && m.indices.size() == std::size_t(m.indexCount) && m.positions.size() == 3 * n &&
              m.NormalsCover(n) && (m.normalOf.empty() ? m.normals.size() == 3 * n : m.normalOf.size() == n) &&
              (!m.HoldsTexCoords() || m.texCoords.size() == 2 * n))
      << "seed " << seed;
  ASSERT_TRUE(std::all_of(m.indices.begin(), m.indices.end(), [&](std::uint32_t i) { return i < n; }))
      << "seed " << seed;
  ASSERT_TRUE(std::all_of(m.positions.begin(), m.positions.end(), [](float f) { return std::isfinite(f); }))
      << "seed " << seed;
  for (const Floats* v : {&m.normals, &m.texCoords})
    ASSERT_TRUE(std::none_of(v->begin(), v->end(), [](float f) { return std::isnan(f); })) << "seed " << seed;
}

}  // namespace

// Welding afterwards, or while finishing with optimisation, must give the
// plain weld; the block must hold what the reference puts there.
TEST(MeshFuzz, RandomPolygonSoupsBuildFinishWeldAndCopyConsistently) {
  std::uint32_t seed = std::random_device{}();
  if (const char* fixed = std::getenv("MESH_FUZZ_SEED"))
    seed = static_cast<std::uint32_t>(std::strtoul(fixed, nullptr, 10));
  std::printf("mesh fuzz seed %u (MESH_FUZZ_SEED=%u replays it)\n", seed, seed);
  std::mt19937 r(seed);
  const testsupport::TempDir folder;
  std::size_t merged = 0, sharedNormals = 0, ownNormals = 0;
  for (int round = 0; round < 60; ++round) {
    hostmodel::Texture t;  // a repeat of 0 must not divide
    std::tie(t.width, t.height, t.pixels, t.fingerprint, t.xSize) =
        std::tuple(1, 1, std::vector<std::uint8_t>{255, 1, 2, 3}, "fuzz", round % 4 == 1 ? 0.0 : 2.5);
    std::vector<hostmodel::Body> bodies;
    // Pieces of up to 40 corners reach the welding's path for long pieces.
    for (int i = 0; i < 10; ++i) bodies.push_back(RandomBody(r, round % 2 ? 40 : 9));
    hostmodel::Project project = OneElement(std::move(bodies));
    project.textures.push_back(t);
    HostModel model(std::move(project));
    MaterialLibrary library;
    library.BeginExport(&model.Model(), (folder.path() / "fuzz.dae").u16string());
    MaterialGroups groups;
    DirtyKeySet dirty;
    MeshBuilder welding(&library, &groups, &dirty), plain(&library, nullptr, nullptr);
    welding.SetOptions(round % 3 != 0, true, 0.25f);
    plain.SetOptions(round % 3 != 0, false, 0.25f);
    for (int b = 1; b <= 10; ++b) {
      auto body = welding.BuildBody(model.Body(1, b));
      auto unwelded = plain.BuildBody(model.Body(1, b));
      ASSERT_EQ(body->meshes.size(), unwelded->meshes.size());
      std::vector<const MeshInfo*> finished;
      for (std::size_t m = 0; m < body->meshes.size(); ++m) {
        MeshInfo& a = *body->meshes[m];
        MeshInfo& c = *unwelded->meshes[m];
        const PolygonData& data = *a.polygons;
        ASSERT_TRUE(
            std::all_of(data.cornerCounts.begin(), data.cornerCounts.end(), [](std::int32_t n) { return n >= 3; }));
        const std::int64_t total = std::accumulate(data.cornerCounts.begin(), data.cornerCounts.end(), std::int64_t(0));
        ASSERT_EQ(std::pair(total, std::int64_t(data.corners.size())),
                  std::pair(std::int64_t(data.cornerTotal), total));
        for (CornerKey k : data.corners) ASSERT_LT(CornerVertex(k), body->positions.size());
        ASSERT_TRUE(welding.FinishMesh(&a, library.Find(a.materialKey)));
        ASSERT_TRUE(plain.FinishMesh(&c, library.Find(c.materialKey)));
        ASSERT_NO_FATAL_FAILURE(CheckFinished(c, seed));
        const Welded expected = ReferenceWeld(c);
        merged += WeldMesh(c);
        ASSERT_NO_FATAL_FAILURE(CheckFinished(a, seed));
        ++(a.normalOf.empty() ? ownNormals : sharedNormals);
        EXPECT_TRUE(AsWelded(c) == expected) << "seed " << seed;
        EXPECT_TRUE(AsWelded(a) == expected) << "seed " << seed;
        finished.push_back(&a);
      }
      // Under the totals, and under totals short of the last mesh (left
      // out): the reference, and nothing written past it (in heap memory,
      // where the sanitizer sees any byte past the guard).
      for (std::size_t cut = 0; cut <= std::min<std::size_t>(1, finished.size()); ++cut) {
        const std::vector<std::uint8_t> expected = ExpectedBlock({finished.begin(), finished.end() - long(cut)});
        std::vector<std::uint8_t> block(expected.size() + 16, 0xCD), guarded = expected;
        std::uint32_t totals[2];
        std::memcpy(totals, expected.data(), 8);
        guarded.resize(block.size(), 0xCD);
        CopyMeshesIntoBlock(block.data(), totals[0], totals[1], finished.data(), finished.size());
        ASSERT_TRUE(block == guarded) << "seed " << seed << ", cut " << cut;
      }
      for (auto& mesh : body->meshes) groups[mesh->materialKey].erase(mesh.get());
    }
    library.Reset();
  }
  EXPECT_GT(merged, 0u);  // the soups do share attribute sets, or the welds compared nothing
  // Both forms of normals were finished, welded and copied: shared by
  // vertices of few directions, and one per vertex.
  EXPECT_TRUE(sharedNormals > 0 && ownNormals > 0) << sharedNormals << " " << ownNormals;
}

// One material's block over real shared memory, written pass by pass.
class GeometryWrite : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(connection_.Create(livelink_test::UniqueName("geometry"), 16), CorvantaAPI::CreateResult::kOk);
    link_ = connection_.CreateRecord(CorvantaAPI::kTypeSurface);
    ASSERT_NE(link_, nullptr);
    library_.DefaultMaterial().linkRecord = link_;
    builder_.SetOptions(true, false, 0);
    builder_.SetDebugOutput([this](std::string_view text) { reports_.emplace_back(text); });
  }
  void TearDown() override {
    library_.DefaultMaterial().linkRecord = nullptr;
    connection_.Destroy();
  }
  // One pass over the default material's key.
  void Write(std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::now() +
                                                              std::chrono::seconds(10)) {
    processed_.clear();
    released_.clear();
    keepGoing_ = true;
    GeometryPass pass{publishRequested_, keepGoing_, deadline, processed_, released_};
    builder_.WriteGeometry(connection_, kDefaultMaterialKey, pass);
  }
  CorvantaAPI::SurfaceRecord& Record() { return *reinterpret_cast<CorvantaAPI::SurfaceRecord*>(link_); }
  // The record's block, capacity and geometry change count.
  using Fields3 = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>;
  Fields3 Fields() { return {Record().geometryBlockId, Record().geometryBlockCapacity, Record().geometryChangeCount}; }
  // The block's header: vertex and index counts.
  std::pair<std::uint32_t, std::uint32_t> Header() {
    const auto* p = static_cast<const std::uint8_t*>(connection_.OpenBlock(Record().geometryBlockId));
    std::uint32_t head[2];
    std::memcpy(head, p, 8);
    return {head[0], head[1]};
  }
  // The block draws what the reference puts there for these meshes, corner
  // for corner in the same order, bit for bit; its vertex count is the
  // room GeometryVertexCount allows and every vertex of the room no mesh
  // uses is a copy of a corner the block's triangles name.
  void ExpectBlock(const std::vector<const MeshInfo*>& meshes) {
    const std::vector<std::uint8_t> expected = ExpectedBlock(meshes);
    std::uint32_t want[3];
    std::memcpy(want, expected.data(), 12);
    const auto [v, i] = Header();
    const std::uint64_t room = std::max<std::uint64_t>(want[0] / 16, kGeometryVertexRoom);
    ASSERT_TRUE(v >= want[0] && v <= want[0] + 2 * room && i == want[1]) << v << " " << i << " for " << want[0];
    ASSERT_GE(connection_.GetBlockSize(Record().geometryBlockId), GeometryBlockBytes(v, i));
    const Drawn drawn = DrawnOf(static_cast<const std::uint8_t*>(connection_.OpenBlock(Record().geometryBlockId)));
    const Drawn reference = DrawnOf(expected.data());
    ASSERT_TRUE(drawn.corners == reference.corners);
    ASSERT_TRUE(drawn.unnamed == reference.unnamed);
  }
  MeshInfo* Add(MeshInfo* mesh) {
    groups_[kDefaultMaterialKey].insert(mesh);
    return mesh;
  }

  LiveConnection connection_;
  CorvantaAPI::Record* link_ = nullptr;
  MaterialLibrary library_{&connection_};
  MaterialGroups groups_;
  DirtyKeySet dirty_;
  MeshBuilder builder_{&library_, &groups_, &dirty_};
  std::atomic<bool> publishRequested_{true}, keepGoing_{true};
  base::ConcurrentSet<std::uint64_t> processed_;
  base::ConcurrentSet<std::uint32_t> released_;
  std::vector<std::string> reports_;
  BodyInfo body_;
};

// Sizes a 32-bit field cannot hold and record fields the renderer can
// write: neither may send a write past the end of a block or free a block
// that is not the material's. (Growth, reuse and release follow the
// group's size in the seeded test below.)
TEST_F(GeometryWrite, NoSizeOrRecordFieldSendsAWritePastTheBlockOrFreesAnother) {
  MeshInfo* a = Add(Fan(body_, 3, false));
  Write();
  const std::uint32_t first = Record().geometryBlockId;
  ASSERT_NE(first, 0u);
  // 150 million vertices: 4.8 GB, which a 32-bit size would wrap to about
  // 500 MB (nothing is copied, so the arrays are not needed). The block
  // goes, and the fault is reported once.
  auto* huge = new MeshInfo(&body_, kDefaultMaterialKey, false, 0);
  huge->polygons.reset();
  huge->vertexCount = 150'000'000;
  Add(huge);
  Write();
  EXPECT_EQ(processed_.count(kDefaultMaterialKey), 1u);
  EXPECT_EQ(released_.count(first), 1u);
  EXPECT_EQ(Fields(), Fields3(0, 0, 2));
  Write();
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_NE(reports_[0].find("ffffffffffffffff"), std::string::npos);
  groups_[kDefaultMaterialKey].erase(huge);
  Write();
  ExpectBlock({a});
  // A capacity far beyond the block: geometry that outgrows the real block
  // still gets a new one instead of being written past its end.
  const std::size_t realSize = connection_.GetBlockSize(Record().geometryBlockId);
  Record().geometryBlockCapacity = 0xFFFFFFF0u;
  MeshInfo* big = Add(Fan(body_, 400, false, 10));
  Write();
  ASSERT_GT(GeometryBlockBytes(403, 3 + 3 * 398), realSize);
  ExpectBlock({a, big});
  // A block id that is not the one written last: never released on its
  // word; the material keeps its own block and the record names it again.
  const std::uint32_t own = Record().geometryBlockId;
  Record().geometryBlockId = 12345;
  Write();
  EXPECT_EQ(std::pair(released_.size(), Record().geometryBlockId), std::pair(std::size_t(0), own));
  ExpectBlock({a, big});
  // Empty group: the block goes, the record says so.
  groups_[kDefaultMaterialKey].clear();
  Write();
  EXPECT_EQ(std::tuple(released_.count(own), std::get<0>(Fields()), std::get<1>(Fields())), std::tuple(1u, 0u, 0u));
}

TEST(GeometryBlock, NewBlocksLeaveRoomToGrowWithoutDoublingALargeMaterial) {
  constexpr std::uint64_t kDoubled = kGeometryBlockDoubled;
  constexpr std::uint64_t kLimit = 0xFFFFFFFFu;
  // Small and medium blocks double; a large one gets an eighth more, but
  // never less room than the largest doubled block had.
  for (const auto& [bytes, capacity] : {std::pair<std::uint64_t, std::uint64_t>{0, 0},
                                        {16, 32},
                                        {kDoubled, 2 * kDoubled},
                                        {kDoubled + 8, 2 * kDoubled + 8},
                                        {8 * kDoubled, 9 * kDoubled},
                                        {800'000'000, 900'000'000},
                                        // Near the 32-bit size of a block the room shrinks to what fits.
                                        {kLimit - 100, kLimit},
                                        {kLimit, kLimit},
                                        {kLimit + 1, kLimit},
                                        {~std::uint64_t{0}, kLimit}})
    EXPECT_EQ(GeometryBlockCapacity(bytes), capacity) << bytes;
}

TEST(GeometryBlock, VertexRoomIsKeptWhileItHoldsTheMeshesAndNotTooLarge) {
  constexpr std::uint64_t kMin = kGeometryVertexRoom;
  // A new block: a sixteenth more, at least kGeometryVertexRoom; none
  // without vertices.
  EXPECT_EQ(GeometryVertexCount(0, 0, 0), 0u);
  EXPECT_EQ(GeometryVertexCount(10, 24, 0), 10 + kMin);
  EXPECT_EQ(GeometryVertexCount(16000, 24, 0), 17000u);
  // A written count stays while it holds the vertices and is at most twice
  // the room a new block would get past them; else a new one.
  EXPECT_EQ(GeometryVertexCount(16000, 24, 16000), 16000u);
  EXPECT_EQ(GeometryVertexCount(16000, 24, 18000), 18000u);
  EXPECT_EQ(GeometryVertexCount(16000, 24, 18001), 17000u);
  EXPECT_EQ(GeometryVertexCount(16001, 24, 16000), 17001u);
  // Near the 32-bit size of a block the room goes first: a block that
  // fits without it is not refused for it.
  const std::uint64_t most = (0xFFFFFFFFu / 4 - 3) / 8;  // vertices that fit with no index
  EXPECT_EQ(GeometryVertexCount(most, 0, 0), most);
  EXPECT_EQ(GeometryVertexCount(most - 10, 0, most), most);
  EXPECT_EQ(GeometryVertexCount(most - 10, 60, most), most - 10);
  EXPECT_LE(GeometryBlockBytes(GeometryVertexCount(most / 2, 0, 0), 0), 0xFFFFFFFFu);
}

TEST_F(GeometryWrite, StoppedOrLatePassesLeaveTheKeyForLater) {
  // Raw meshes from a real body: the write finishes them.
  const hostmodel::Body b = Flat({Piece({0, 1, 2, 3})});
  HostModel model(OneElement({b, b}));
  auto first = builder_.BuildBody(model.Body(1, 1));
  auto second = builder_.BuildBody(model.Body(1, 2));
  publishRequested_ = false;
  Write();
  EXPECT_TRUE(processed_.empty());
  EXPECT_FALSE(first->meshes[0]->IsFinished());
  // Past the deadline: meshes started are finished, the block is not
  // written and the key stays dirty.
  publishRequested_ = true;
  Write(std::chrono::steady_clock::now() - std::chrono::seconds(1));
  EXPECT_TRUE(processed_.empty());
  EXPECT_FALSE(keepGoing_.load());
  EXPECT_EQ(Fields(), Fields3(0, 0, 0));
  Write();
  EXPECT_EQ(processed_.count(kDefaultMaterialKey), 1u);
  ExpectBlock({first->meshes[0].get(), second->meshes[0].get()});
}

// An element removed, or read again with other counts, writes its own
// vertices and the indices from its slot on: every other mesh's vertices
// stay where they lay, byte for byte, and the header's vertex count stays,
// so a renderer that compares the block with its copy finds one changed
// range of vertices. A mesh read again stays where it was when it fits
// there, a new one takes the room a removed one left; one that fits
// nowhere has the block written whole, its room closed up.
TEST_F(GeometryWrite, ACountChangeLeavesTheOtherMeshesVerticesInPlace) {
  std::vector<MeshInfo*> m;
  for (int k = 0; k < 8; ++k) m.push_back(Add(Fan(body_, 10 + k, k % 3 == 0, float(10 * k))));
  Write();
  // The vertices of the block, and those that differ between two of them.
  auto vertices = [&] {
    const auto* p = static_cast<const std::uint8_t*>(connection_.OpenBlock(Record().geometryBlockId));
    return std::vector<std::uint8_t>(p + 12, p + 12 + 32 * std::uint64_t(Header().first));
  };
  auto changed = [&](const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    const std::size_t v = a.size() / 32;
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < v; ++i)
      if (std::memcmp(&a[12 * i], &b[12 * i], 12) != 0 || std::memcmp(&a[12 * (v + i)], &b[12 * (v + i)], 12) != 0 ||
          std::memcmp(&a[24 * v + 8 * i], &b[24 * v + 8 * i], 8) != 0)
        out.push_back(i);
    return out;
  };
  const std::uint32_t vertexCount = Header().first;
  // A write, how it went and the vertices it changed.
  auto write = [&] {
    const std::vector<std::uint8_t> before = vertices();
    Write();
    return std::pair(builder_.LastWrite(kDefaultMaterialKey), changed(before, vertices()));
  };
  auto span = [](std::size_t from, std::size_t n) {
    std::vector<std::size_t> out(n);
    std::iota(out.begin(), out.end(), from);
    return out;
  };
  // The fourth mesh's vertices follow the first three's (both sides of the
  // first).
  const std::size_t first = 2 * 10 + 11 + 12, count = 2 * 13;
  MaterialGroup& group = groups_[kDefaultMaterialKey];

  group.erase(m[3]);
  EXPECT_EQ(write(), std::pair(BlockWrite::kSuffix, span(first, count)));
  EXPECT_EQ(Header().first, vertexCount);
  ExpectBlock({m[0], m[1], m[2], m[4], m[5], m[6], m[7]});

  // Twelve vertices, both sides: 24, which fit where the 26 were.
  MeshInfo* n = Add(Fan(body_, 12, true, 500));
  EXPECT_EQ(write(), std::pair(BlockWrite::kSuffix, span(first, 24)));
  ASSERT_EQ(group[3], n);
  ExpectBlock({m[0], m[1], m[2], n, m[4], m[5], m[6], m[7]});

  // A mesh read again with fewer vertices stays where it was, the rest of
  // its vertices becoming room: the second (eleven, after the first's
  // twenty) as two.
  group.erase(m[1]);
  MeshInfo* shrunk = Add(Fan(body_, 2, false, 600));
  ASSERT_EQ(group[1], shrunk);
  EXPECT_EQ(write().second, span(20, 11));
  ExpectBlock({m[0], shrunk, m[2], n, m[4], m[5], m[6], m[7]});

  // A mesh read again with the same counts writes its own bytes over its
  // own and nothing else, though the room the second left would hold it.
  group.erase(m[5]);
  MeshInfo* again = Add(Fan(body_, 15, false, 700));
  ASSERT_EQ(group[5], again);
  // (after the fourth's room and the fifth mesh's 14)
  EXPECT_EQ(write(), std::pair(BlockWrite::kPartial, span(first + count + 14, 15)));
  ExpectBlock({m[0], shrunk, m[2], n, m[4], again, m[6], m[7]});

  // The room repeats a corner of the first mesh. When that mesh goes, its
  // corner may lie nowhere near the geometry any more: its own vertices and
  // every room take a corner that is still there (a stale copy would show
  // in ExpectBlock).
  const std::vector<std::uint8_t> held = vertices();
  group.erase(m[0]);
  Write();
  const std::vector<std::size_t> refilled = changed(held, vertices()), gone = span(0, 20);
  EXPECT_TRUE(std::includes(refilled.begin(), refilled.end(), gone.begin(), gone.end()));
  ExpectBlock({shrunk, m[2], n, m[4], again, m[6], m[7]});
  MeshInfo* back = Add(Fan(body_, 10, true, 0));
  ASSERT_EQ(group[0], back);

  // More vertices than the room holds anywhere: written whole, from the
  // first vertex on, with new room.
  MeshInfo* large = Add(Fan(body_, 300, false, 900));
  Write();
  EXPECT_EQ(builder_.LastWrite(kDefaultMaterialKey), BlockWrite::kFull);
  EXPECT_GT(Header().first, vertexCount);
  ExpectBlock({back, shrunk, m[2], n, m[4], again, m[6], m[7], large});
}

// Element edits as the scene makes them, seeded: meshes replaced by ones of
// the same counts (back in their own slots), of other counts, removed (a
// hole), added (into the lowest hole), and now and then a mesh large enough
// for threads to split its spans. After every write the block holds byte
// for byte what a full copy of the same group writes; a replacement in its
// own slot is written partially, and every way of writing, a growth past
// the block's capacity, a reused hole and a compaction all occur.
TEST_F(GeometryWrite, EveryWriteHoldsWhatAFullCopyOfTheGroupWrites) {
  std::mt19937 random(23);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
  MaterialGroup& group = groups_[kDefaultMaterialKey];
  std::vector<MeshInfo*> live;
  auto add = [&](int n, bool twoSided) { live.push_back(Add(Fan(body_, n, twoSided, float(pick(0, 999))))); };
  for (int m = 0; m < 60; ++m) add(pick(0, 40), pick(0, 2) == 0);
  std::map<BlockWrite, int> ways;
  int grown = 0, reused = 0, compacted = 0;
  for (int step = 0; step < 240; ++step) {
    // An element of one to three meshes read again with the same counts
    // (most often), with other counts, removed, or a new one added; at step
    // 30 a mesh split over threads arrives (the block grows), at 32 it is
    // replaced by a small one; a run of removals from 120 on compacts.
    const int kind = step == 30 ? 3 : step == 32 ? 1 : step >= 120 && step < 170 ? 2 : std::max(0, pick(-1, 3));
    const std::size_t holes = group.holes();
    std::shuffle(live.begin(), live.end(), random);
    auto fewer = [](const MeshInfo* a, const MeshInfo* b) { return a->vertexCount < b->vertexCount; };
    if (step == 32) std::swap(*std::max_element(live.begin(), live.end(), fewer), live.back());
    const std::size_t taken = kind == 3 || live.size() < 4 ? 0 : step == 32 ? 1 : std::size_t(pick(1, 3));
    std::vector<std::size_t> slots;
    for (std::size_t k = live.size() - taken; k < live.size(); ++k)
      slots.push_back(std::size_t(std::find(group.begin(), group.end(), live[k]) - group.begin()));
    live.resize(live.size() - taken);
    std::sort(slots.begin(), slots.end());
    std::vector<MeshInfo*> again;
    for (std::size_t slot : slots) again.push_back(group[slot]);
    for (MeshInfo* m : again) group.erase(m);
    for (MeshInfo* m : kind <= 1 ? again : std::vector<MeshInfo*>{})
      add(kind == 0 ? m->vertexCount : m->vertexCount > 1000 ? 20 : m->vertexCount + pick(1, 9), m->doubleSided);
    if (kind == 3) add(step == 30 ? 270000 : pick(0, 60), pick(0, 2) == 0);
    // Own slots, unless the meshes read again hold most of the block's
    // vertices (then it is written whole).
    std::uint64_t againVertices = 0, allVertices = 0;
    for (const MeshInfo* m : group) allVertices += m == nullptr ? 0 : (m->doubleSided ? 2 : 1) * m->vertexCount;
    for (std::size_t k = live.size() - (kind == 0 ? slots.size() : 0); k < live.size(); ++k)
      againVertices += (live[k]->doubleSided ? 2 : 1) * live[k]->vertexCount;
    bool ownSlot = kind == 0 && 2 * againVertices <= allVertices;
    for (std::size_t k = 0; k < slots.size() && ownSlot; ++k)
      ownSlot = slots[k] < group.size() && group[slots[k]] == live[live.size() - slots.size() + k];
    reused += group.holes() < holes && kind != 2;
    compacted += group.holes() == 0 && holes + taken > MaterialGroup::kHolesKept;
    const auto [before, capacity, changes] = Fields();
    connection_.ClearRecordFlags(link_, 1);
    Write();
    // Announced and flagged once per write, whichever way; a new block of
    // twice the size only when the group outgrows the capacity, and then
    // the old one, and only it, released.
    const std::uint64_t need = GeometryBlockBytes(Header().first, Header().second);
    const bool grows = need > capacity;
    ASSERT_EQ(std::tuple(Record().geometryBlockId != before, Record().geometryBlockCapacity, changes + 1),
              std::tuple(grows, grows ? std::uint32_t(2 * need) : capacity, Record().geometryChangeCount))
        << step;
    const std::size_t freed = grows && before != 0;
    ASSERT_EQ(std::tuple(connection_.TestRecordFlags(link_, 1), processed_.count(kDefaultMaterialKey), released_.size(),
                         released_.count(before)),
              std::tuple(1u, std::size_t(1), freed, freed))
        << step;
    const BlockWrite way = builder_.LastWrite(kDefaultMaterialKey);
    ways[way] += 1;
    grown += before != 0 && grows;
    EXPECT_TRUE(!ownSlot || Record().geometryBlockId != before || way == BlockWrite::kPartial) << step;
    ASSERT_NO_FATAL_FAILURE(ExpectBlock({group.begin(), group.end()})) << "step " << step << ", edit " << kind;
  }
  EXPECT_TRUE(ways[BlockWrite::kPartial] > 0 && ways[BlockWrite::kSuffix] > 0 && ways[BlockWrite::kFull] > 0);
  EXPECT_TRUE(grown > 0 && reused > 0 && compacted > 0) << grown << " " << reused << " " << compacted;
}
