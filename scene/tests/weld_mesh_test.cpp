// Welding: exact attribute bytes decide, in the order of the original
// quadratic walk, and through FinishMesh when optimisation is on.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "mesh_test_model.h"
#include "scene/material_record.h"
#include "scene/mesh_builder.h"
#include "scene/weld_mesh.h"
#include "weld_baseline.h"

using namespace scene;

namespace {

struct Vertex {
  float p[3], n[3], t[2];
};

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

// The attribute bytes an index refers to.
std::vector<std::uint8_t> BytesAt(const MeshInfo& mesh, std::uint32_t index) {
  std::vector<std::uint8_t> bytes(32);
  std::memcpy(bytes.data(), &mesh.positions[3 * index], 12);
  std::memcpy(bytes.data() + 12, &mesh.normals[3 * index], 12);
  std::memcpy(bytes.data() + 24, &mesh.texCoords[2 * index], 8);
  return bytes;
}

void ExpectSameMesh(const MeshInfo& a, const MeshInfo& b) {
  EXPECT_EQ(a.vertexCount, b.vertexCount);
  EXPECT_EQ(a.indices, b.indices);
  EXPECT_EQ(0, std::memcmp(a.positions.data(), b.positions.data(), a.positions.size() * 4));
  EXPECT_EQ(a.positions.size(), b.positions.size());
  EXPECT_EQ(0, std::memcmp(a.normals.data(), b.normals.data(), a.normals.size() * 4));
  EXPECT_EQ(0, std::memcmp(a.texCoords.data(), b.texCoords.data(), a.texCoords.size() * 4));
}

}  // namespace

TEST(WeldMesh, KeysThatCancelNeverMergeDifferentVertices) {
  // Position bytes equal to normal bytes make the two key terms cancel:
  // both vertices get the key of their texture coordinate alone.
  const std::vector<Vertex> vertices = {{{0, 1, 0}, {0, 1, 0}, {0, 1}}, {{1, 0, 0}, {1, 0, 0}, {0, 1}}};
  EXPECT_EQ(weld_baseline::WeldKey(vertices[0].p, vertices[0].n, vertices[0].t),
            weld_baseline::WeldKey(vertices[1].p, vertices[1].n, vertices[1].t));
  MeshInfo byKeys = MakeMesh(vertices, {0, 1, 1});
  EXPECT_EQ(weld_baseline::WeldByKeysQuadratic(byKeys), 1u);  // the fault: one vertex left

  MeshInfo mesh = MakeMesh(vertices, {0, 1, 1});
  const MeshInfo before = MakeMesh(vertices, {0, 1, 1});
  EXPECT_EQ(WeldMesh(mesh), 0u);
  ExpectSameMesh(mesh, before);
}

TEST(WeldMesh, ComparesBytesNotValues) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // +0 and -0 are equal numbers with different bytes; a NaN equals no
  // number but has the same bytes as itself.
  const std::vector<Vertex> vertices = {{{0, 0, 0}, {0, 1, 0}, {0, 1}},
                                        {{-0.0f, 0, 0}, {0, 1, 0}, {0, 1}},
                                        {{nan, 0, 0}, {0, 1, 0}, {0, 1}},
                                        {{nan, 0, 0}, {0, 1, 0}, {0, 1}}};
  MeshInfo mesh = MakeMesh(vertices, {0, 1, 2, 1, 2, 3});
  EXPECT_EQ(WeldMesh(mesh), 1u);
  EXPECT_EQ(mesh.vertexCount, 3);
  EXPECT_EQ(mesh.indices, (std::vector<std::uint32_t>{0, 1, 2, 1, 2, 2}));
}

TEST(WeldMesh, ShortAndMergelessMeshesStayAsTheyAre) {
  const std::vector<Vertex> same = {{{1, 2, 3}, {0, 1, 0}, {0, 1}}, {{1, 2, 3}, {0, 1, 0}, {0, 1}}};
  MeshInfo one = MakeMesh(same, {0});  // fewer than 2 indices: not welded
  EXPECT_EQ(WeldMesh(one), 0u);
  EXPECT_EQ(one.vertexCount, 2);

  const std::vector<Vertex> distinct = {{{1, 2, 3}, {0, 1, 0}, {0, 1}}, {{1, 2, 4}, {0, 1, 0}, {0, 1}}};
  MeshInfo mesh = MakeMesh(distinct, {0, 1, 0});
  const float* positions = mesh.positions.data();
  EXPECT_EQ(WeldMesh(mesh), 0u);
  EXPECT_EQ(mesh.positions.data(), positions);  // not even rebuilt
  EXPECT_EQ(mesh.indices, (std::vector<std::uint32_t>{0, 1, 0}));
}

TEST(WeldMesh, MatchesTheQuadraticWalkAndKeepsEveryCornersAttributes) {
  std::mt19937 random(20261207);
  for (int round = 0; round < 12; ++round) {
    // Vertices drawn from a small pool, so many repeat, in random order;
    // some pool entries differ in one attribute only.
    std::uniform_real_distribution<float> value(-10, 10);
    std::vector<Vertex> pool(50 + round * 10);
    for (std::size_t i = 0; i < pool.size(); ++i) {
      if (i > 0 && i % 3 == 0) {
        pool[i] = pool[i - 1];
        (i % 2 ? pool[i].n[1] : pool[i].t[0]) += 1;
      } else {
        for (float& f : pool[i].p) f = value(random);
        for (float& f : pool[i].n) f = value(random);
        for (float& f : pool[i].t) f = value(random);
      }
    }
    const std::size_t u = 200 + 300 * std::size_t(round);
    std::vector<Vertex> vertices(u);
    std::uniform_int_distribution<std::size_t> pick(0, pool.size() - 1);
    for (Vertex& v : vertices) v = pool[pick(random)];
    std::vector<std::uint32_t> indices(3 * u);
    std::uniform_int_distribution<std::uint32_t> corner(0, std::uint32_t(u - 1));
    for (auto& i : indices) i = corner(random);

    const MeshInfo original = MakeMesh(vertices, indices);
    MeshInfo linear = MakeMesh(vertices, indices);
    MeshInfo quadratic = MakeMesh(vertices, indices);
    const std::size_t merged = WeldMesh(linear);
    EXPECT_EQ(merged, weld_baseline::WeldByKeysQuadratic(quadratic));
    ExpectSameMesh(linear, quadratic);
    EXPECT_EQ(std::size_t(linear.vertexCount), u - merged);
    EXPECT_LE(std::size_t(linear.vertexCount), pool.size());
    for (std::size_t k = 0; k < indices.size(); ++k)
      ASSERT_EQ(BytesAt(linear, linear.indices[k]), BytesAt(original, indices[k])) << round << " " << k;
  }
}

TEST(WeldMesh, FinishingWithOptimisationWeldsSharedEdges) {
  hostmodel::Body b;
  b.vertices = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {0, 1, 0}, {1, 1, 0}, {2, 1, 0}};
  b.polygonNormals = {{0, 0, 1}};
  b.polygons = {mesh_test::Piece({0, 1, 4, 3}), mesh_test::Piece({1, 2, 5, 4})};
  mesh_test::HostModel model(mesh_test::OneElement({b}));
  MaterialRecord record;
  record.key = kDefaultMaterialKey;

  MeshBuilder builder(nullptr, nullptr, nullptr);
  builder.SetOptions(true, true, 0);
  auto body = builder.BuildBody(model.Body());
  MeshInfo* mesh = body->meshes[0].get();
  ASSERT_TRUE(builder.FinishMesh(mesh, &record));
  EXPECT_EQ(mesh->vertexCount, 6);  // 8 corners, the two on the shared edge merged
  EXPECT_EQ(mesh->indices, (std::vector<std::uint32_t>{0, 1, 2, 0, 2, 3, 1, 4, 5, 1, 5, 2}));

  builder.SetOptions(true, false, 0);
  auto plain = builder.BuildBody(model.Body());
  ASSERT_TRUE(builder.FinishMesh(plain->meshes[0].get(), &record));
  EXPECT_EQ(plain->meshes[0]->vertexCount, 8);
}
