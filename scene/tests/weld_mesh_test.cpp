// Welding: the exact attribute bytes of a vertex decide, every index points
// at the first vertex with those bytes, and the kept vertices stay in
// their order. (That finishing with optimisation gives the same meshes is
// held by the mesh fuzz test.)
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <limits>
#include <map>
#include <random>

#include "scene/mesh_info.h"
#include "scene/weld_mesh.h"
#include "scene_test_entry.h"

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

}  // namespace

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

TEST(WeldMesh, RandomMeshesWeldAsTheReference) {
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

    MeshInfo mesh = MakeMesh(vertices, indices);
    const Welded expected = ReferenceWeld(mesh);
    EXPECT_EQ(WeldMesh(mesh), u - expected.vertices.size()) << round;
    EXPECT_TRUE(AsWelded(mesh) == expected) << round;
  }
}
