// Random polygon soups, bad host data included (vertex indices out of
// range, normal indices 0 or past the list, NaN and infinite coordinates,
// pieces of 0 to 2 corners, repeated corners), built, finished, welded and
// copied into a block. Run under AddressSanitizer this finds any read or
// write out of range; the checks below find inconsistent results. Welding
// (afterwards, or while finishing with optimisation) must give what a
// plain weld gives: vertices equal byte for byte become the first of them,
// the kept ones stay in order. The seed is printed; MESH_FUZZ_SEED replays
// one.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <vector>

#include "mesh_test_model.h"
#include "scene/material_library.h"
#include "scene/mesh_builder.h"
#include "scene/weld_mesh.h"
#include "test_temp_dir.h"

using namespace scene;

namespace {

struct Vertex {
  float p[3], n[3], t[2];
};
using Bytes = std::array<std::uint8_t, 32>;

MeshInfo MakeMesh(const std::vector<Vertex>& vertices, std::vector<std::uint32_t> indices) {
  MeshInfo mesh(nullptr, 1, false, 0);
  mesh.polygons.reset();
  for (const Vertex& v : vertices) {
    mesh.positions.insert(mesh.positions.end(), v.p, v.p + 3);
    mesh.normals.insert(mesh.normals.end(), v.n, v.n + 3);
    mesh.texCoords.insert(mesh.texCoords.end(), v.t, v.t + 2);
  }
  mesh.vertexCount = static_cast<std::int32_t>(vertices.size());
  mesh.indices = std::move(indices);
  mesh.indexCount = static_cast<std::int32_t>(mesh.indices.size());
  return mesh;
}

// The attribute bytes of vertex k.
Bytes BytesOf(const MeshInfo& mesh, std::size_t k) {
  Bytes bytes;
  std::memcpy(bytes.data(), &mesh.positions[3 * k], 12);
  std::memcpy(bytes.data() + 12, &mesh.normals[3 * k], 12);
  std::memcpy(bytes.data() + 24, &mesh.texCoords[2 * k], 8);
  return bytes;
}

// The weld worked out plainly: vertices in order, each new byte pattern
// kept, each index sent to the first vertex of its pattern.
struct Welded {
  std::vector<Bytes> vertices;
  std::vector<std::uint32_t> indices;
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
bool operator==(const Welded& a, const Welded& b) { return a.vertices == b.vertices && a.indices == b.indices; }

double Coordinate(std::mt19937& r) {
  std::uniform_int_distribution<int> kind(0, 39);
  switch (kind(r)) {
    case 0: return std::numeric_limits<double>::quiet_NaN();
    case 1: return std::numeric_limits<double>::infinity();
    case 2: return -1e300;
    case 3: return 0.0;
    default: return std::uniform_real_distribution<double>(-50, 50)(r);
  }
}

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
    poly.mapping.projection = static_cast<hostmodel::TextureProjection>(pick(0, 2));
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
void CheckFinished(const MeshInfo& mesh, std::uint32_t seed) {
  ASSERT_EQ(mesh.indexCount % 3, 0);
  ASSERT_EQ(mesh.indices.size(), std::size_t(mesh.indexCount));
  ASSERT_EQ(mesh.positions.size(), 3 * std::size_t(mesh.vertexCount));
  ASSERT_EQ(mesh.normals.size(), 3 * std::size_t(mesh.vertexCount));
  ASSERT_EQ(mesh.texCoords.size(), 2 * std::size_t(mesh.vertexCount));
  for (std::uint32_t index : mesh.indices) ASSERT_LT(index, std::uint32_t(mesh.vertexCount)) << "seed " << seed;
  for (float f : mesh.positions) ASSERT_TRUE(std::isfinite(f)) << "seed " << seed;
  for (float f : mesh.normals) ASSERT_FALSE(std::isnan(f)) << "seed " << seed;
  for (float f : mesh.texCoords) ASSERT_FALSE(std::isnan(f)) << "seed " << seed;
}

}  // namespace

TEST(MeshFuzz, RandomPolygonSoupsBuildFinishWeldAndCopyConsistently) {
  std::uint32_t seed = std::random_device{}();
  if (const char* fixed = std::getenv("MESH_FUZZ_SEED")) seed = static_cast<std::uint32_t>(std::strtoul(fixed, nullptr, 10));
  std::printf("mesh fuzz seed %u (MESH_FUZZ_SEED=%u replays it)\n", seed, seed);
  std::mt19937 r(seed);

  const testsupport::TempDir folder;
  std::size_t merged = 0;
  for (int round = 0; round < 60; ++round) {
    hostmodel::Project project;
    hostmodel::Texture t;
    t.width = t.height = 1;
    t.pixels = {255, 1, 2, 3};
    t.fingerprint = "fuzz";
    t.xSize = round % 4 == 1 ? 0.0 : 2.5;  // a repeat of 0 must not divide
    project.textures.push_back(t);
    hostmodel::Element e;
    e.guid = hostmodel::Guid::FromName("fuzz" + std::to_string(round));
    // Pieces of up to 40 corners reach the welding's path for long pieces.
    for (int i = 0; i < 10; ++i) e.bodies.push_back(RandomBody(r, round % 2 ? 40 : 9));
    project.elements.push_back(std::move(e));
    mesh_test::HostModel model(std::move(project));

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
      std::uint64_t v = 0, i = 0;
      for (std::size_t m = 0; m < body->meshes.size(); ++m) {
        MeshInfo& a = *body->meshes[m];
        MeshInfo& c = *unwelded->meshes[m];
        const PolygonData& data = *a.polygons;
        std::int64_t total = 0;
        for (std::int32_t n : data.cornerCounts) {
          ASSERT_GE(n, 3);
          total += n;
        }
        ASSERT_EQ(total, data.cornerTotal);
        ASSERT_EQ(std::size_t(total), data.corners.size());
        for (CornerKey k : data.corners) ASSERT_LT(CornerVertex(k), body->positions.size());

        ASSERT_TRUE(welding.FinishMesh(&a, library.Find(a.materialKey)));
        ASSERT_TRUE(plain.FinishMesh(&c, library.Find(c.materialKey)));
        ASSERT_NO_FATAL_FAILURE(CheckFinished(c, seed));
        const Welded expected = ReferenceWeld(c);
        merged += WeldMesh(c);
        ASSERT_NO_FATAL_FAILURE(CheckFinished(a, seed));
        EXPECT_TRUE(AsWelded(c) == expected) << "seed " << seed;
        EXPECT_TRUE(AsWelded(a) == expected) << "seed " << seed;
        const std::uint64_t copies = a.doubleSided ? 2 : 1;
        v += copies * std::uint64_t(a.vertexCount);
        i += copies * std::uint64_t(a.indexCount);
        finished.push_back(&a);
      }
      // The block is heap memory here, so the sanitizer sees every byte
      // written past its end.
      std::vector<std::uint8_t> block(GeometryBlockBytes(v, i));
      CopyMeshesIntoBlock(block.data(), std::uint32_t(v), std::uint32_t(i), finished.data(), finished.size());
      const std::uint32_t* indices = reinterpret_cast<const std::uint32_t*>(block.data() + 12 + 32 * v);
      for (std::uint64_t k = 0; k < i; ++k) ASSERT_LT(indices[k], v) << "seed " << seed;
      for (auto& mesh : body->meshes) groups[mesh->materialKey].erase(mesh.get());
    }
    library.Reset();
  }
  EXPECT_GT(merged, 0u);  // the soups do share attribute sets, or the welds compared nothing
}

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
       {{{0, 0, 0}, {0, 1, 0}, {0, 1}}, {{-0.0f, 0, 0}, {0, 1, 0}, {0, 1}}, {{nan, 0, 0}, {0, 1, 0}, {0, 1}},
        {{nan, 0, 0}, {0, 1, 0}, {0, 1}}},
       {0, 1, 2, 1, 2, 3},
       1},
      {"one attribute apart", {{{1, 2, 3}, {0, 1, 0}, {0, 1}}, {{1, 2, 3}, {0, 1, 0}, {0, 2}}}, {0, 1, 0}, 0},
      {"fewer than 2 indices: not welded", {{{1, 2, 3}, {0, 1, 0}, {0, 1}}, {{1, 2, 3}, {0, 1, 0}, {0, 1}}}, {0}, 0},
      {"same vertex", {{{1, 2, 3}, {0, 1, 0}, {0, 1}}, {{1, 2, 3}, {0, 1, 0}, {0, 1}}}, {1, 0, 1}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MeshInfo mesh = MakeMesh(c.vertices, c.indices);
    const MeshInfo original = MakeMesh(c.vertices, c.indices);
    EXPECT_EQ(WeldMesh(mesh), c.merged);
    if (c.merged == 0)
      EXPECT_TRUE(AsWelded(mesh) == AsWelded(original)) << "a weld that merges nothing leaves the mesh as it was";
    else
      EXPECT_TRUE(AsWelded(mesh) == ReferenceWeld(original));
  }
}
