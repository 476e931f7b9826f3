// The merged geometry of one material in its link block, over real shared
// memory: the layout against a reference, the block's life, passes that
// stop, sizes past 32 bits, and record fields the renderer overwrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "isolation.h"
#include "livelink/layout.h"
#include "livelink/live_connection.h"
#include "mesh_test_model.h"
#include "scene/material_library.h"
#include "scene/mesh_builder.h"

using namespace scene;
using CorvantaAPI::LiveConnection;

namespace {

// A finished mesh of n vertices owned by body: vertex k at (k, 10k, 100k),
// normal (1, 2, 3) + k, texture coordinate (k, -k); a fan over them.
MeshInfo* FinishedMesh(BodyInfo& body, int n, bool doubleSided, float base = 0) {
  auto* mesh = new MeshInfo(&body, kDefaultMaterialKey, false, 0);
  mesh->polygons.reset();
  mesh->doubleSided = doubleSided;
  for (int k = 0; k < n; ++k) {
    const float f = base + float(k);
    mesh->positions.insert(mesh->positions.end(), {f, 10 * f, 100 * f});
    mesh->normals.insert(mesh->normals.end(), {1 + f, 2 + f, 3 + f});
    mesh->texCoords.insert(mesh->texCoords.end(), {f, -f});
  }
  for (int k = 1; k + 1 < n; ++k) mesh->indices.insert(mesh->indices.end(), {0u, std::uint32_t(k), std::uint32_t(k + 1)});
  mesh->vertexCount = n;
  mesh->indexCount = static_cast<std::int32_t>(mesh->indices.size());
  return mesh;
}

// What the block must hold for these meshes, built independently of the
// writer: for each mesh the front copy (indices reversed), then the back
// copy of a double-sided one (normals negated, own index order).
std::vector<std::uint8_t> ExpectedBlock(const std::vector<const MeshInfo*>& meshes) {
  std::vector<float> positions, normals, texCoords;
  std::vector<std::uint32_t> indices;
  std::uint32_t vo = 0;
  for (const MeshInfo* m : meshes) {
    for (int side = 0; side < (m->doubleSided ? 2 : 1); ++side) {
      positions.insert(positions.end(), m->positions.begin(), m->positions.end());
      for (float n : m->normals) normals.push_back(side ? -n : n);
      texCoords.insert(texCoords.end(), m->texCoords.begin(), m->texCoords.end());
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

class GeometryWrite : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(connection_.Create(livelink_test::UniqueName("geometry"), 16), 0);
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
  void Write(std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10)) {
    processed_.clear();
    released_.clear();
    keepGoing_ = true;
    GeometryPass pass{publishRequested_, keepGoing_, deadline, processed_, released_};
    builder_.WriteGeometry(connection_, kDefaultMaterialKey, pass);
  }

  CorvantaAPI::SurfaceRecord& Record() { return *reinterpret_cast<CorvantaAPI::SurfaceRecord*>(link_); }
  std::uint32_t BlockId() { return Record().geometryBlockId; }
  std::uint32_t Capacity() { return Record().geometryBlockCapacity; }
  std::uint32_t Changes() { return Record().geometryChangeCount; }
  // The block holds what the reference puts there for these meshes.
  void ExpectBlock(const std::vector<const MeshInfo*>& meshes) {
    const std::vector<std::uint8_t> expected = ExpectedBlock(meshes);
    ASSERT_GE(connection_.GetBlockSize(BlockId()), expected.size());
    const auto* p = static_cast<const std::uint8_t*>(connection_.OpenBlock(BlockId()));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), p));
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

}  // namespace

// The copy against the reference: two small meshes (nothing written past
// the totals, and totals too small keep out what does not fit), then groups
// large enough to be copied by several threads (many meshes of mixed sizes
// and sidedness, empty ones, one holding most of the material), so that the
// copy is split between meshes and inside them.
TEST(GeometryBlock, CopiesLandWhereTheReferencePutsThem) {
  BodyInfo body;
  const MeshInfo* single = FinishedMesh(body, 3, false);
  const std::vector<const MeshInfo*> pair = {single, FinishedMesh(body, 4, true, 50)};
  const std::vector<std::uint8_t> expected = ExpectedBlock(pair);
  ASSERT_EQ(expected.size(), GeometryBlockBytes(3 + 8, 3 + 12));
  std::vector<std::uint8_t> block(expected.size() + 16, 0xCD);
  CopyMeshesIntoBlock(block.data(), 11, 15, pair.data(), pair.size());
  EXPECT_EQ(std::vector<std::uint8_t>(block.begin(), block.begin() + long(expected.size())), expected);
  for (std::size_t i = expected.size(); i < block.size(); ++i) ASSERT_EQ(block[i], 0xCD) << i;
  // The reference's meaning: the first index is the single mesh's last;
  // the back copy's first normal is the negated front one.
  std::uint32_t firstIndex;
  std::memcpy(&firstIndex, &block[12 + 32 * 11], 4);
  EXPECT_EQ(firstIndex, 2u);
  float backNormal;
  std::memcpy(&backNormal, &block[12 + 12 * 11 + 12 * 7], 4);
  EXPECT_EQ(backNormal, -51.0f);
  std::vector<std::uint8_t> small(GeometryBlockBytes(3, 3), 0);
  CopyMeshesIntoBlock(small.data(), 3, 3, pair.data(), pair.size());
  EXPECT_EQ(small, ExpectedBlock({single}));

  std::mt19937 random(1);
  std::vector<const MeshInfo*> meshes;
  std::uint32_t vertices = 0, indices = 0;
  const int giantAt = std::uniform_int_distribution<int>(0, 300)(random);
  for (int m = 0; m < 400; ++m) {
    const int n = m == giantAt ? 300000 + int(random() % 1000) : int(random() % 4 == 0 ? 0 : 3 + random() % 600);
    const bool doubleSided = random() % 3 == 0;
    meshes.push_back(FinishedMesh(body, n, doubleSided, float(m)));
    vertices += std::uint32_t(n) * (doubleSided ? 2 : 1);
    indices += std::uint32_t(meshes.back()->indexCount) * (doubleSided ? 2 : 1);
  }
  const std::vector<std::uint8_t> large = ExpectedBlock(meshes);
  block.assign(large.size(), 0xCD);
  CopyMeshesIntoBlock(block.data(), vertices, indices, meshes.data(), meshes.size());
  EXPECT_TRUE(block == large);
}

TEST_F(GeometryWrite, CreatesReusesGrowsAndReleasesTheBlock) {
  MeshInfo* a = FinishedMesh(body_, 3, false);
  groups_[kDefaultMaterialKey].insert(a);
  Write();
  EXPECT_EQ(processed_.count(kDefaultMaterialKey), 1u);
  const std::uint32_t first = BlockId();
  ASSERT_NE(first, 0u);
  EXPECT_EQ(Capacity(), 2 * GeometryBlockBytes(3, 3));
  EXPECT_EQ(Changes(), 1u);
  EXPECT_EQ(connection_.TestRecordFlags(link_, 1), 1u);
  ExpectBlock({a});

  // Still fits: the same block, written again.
  connection_.ClearRecordFlags(link_, 1);
  MeshInfo* b = FinishedMesh(body_, 3, false, 7);
  groups_[kDefaultMaterialKey].insert(b);
  Write();
  EXPECT_EQ(BlockId(), first);
  EXPECT_TRUE(released_.empty());
  EXPECT_EQ(Changes(), 2u);
  EXPECT_EQ(connection_.TestRecordFlags(link_, 1), 1u);
  ExpectBlock({a, b});

  // Outgrown: a new block of twice the size, the old one queued.
  MeshInfo* c = FinishedMesh(body_, 40, true, 100);
  groups_[kDefaultMaterialKey].insert(c);
  Write();
  const std::uint32_t second = BlockId();
  EXPECT_NE(second, first);
  EXPECT_EQ(released_.count(first), 1u);
  EXPECT_EQ(Capacity(), 2 * GeometryBlockBytes(6 + 80, 6 + 2 * 114));
  ExpectBlock({a, b, c});

  // Empty group: the block goes, the record says so.
  groups_[kDefaultMaterialKey].clear();
  Write();
  EXPECT_EQ(released_.count(second), 1u);
  EXPECT_EQ(BlockId(), 0u);
  EXPECT_EQ(Capacity(), 0u);
  EXPECT_EQ(Changes(), 4u);
}

TEST_F(GeometryWrite, StoppedOrLatePassesLeaveTheKeyForLater) {
  // Raw meshes from a real body: the write finishes them.
  hostmodel::Body b;
  b.vertices = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
  b.polygonNormals = {{0, 0, 1}};
  b.polygons = {mesh_test::Piece({0, 1, 2, 3})};
  mesh_test::HostModel model(mesh_test::OneElement({b, b}));
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
  EXPECT_EQ(BlockId(), 0u);
  EXPECT_EQ(Changes(), 0u);

  Write();
  EXPECT_EQ(processed_.count(kDefaultMaterialKey), 1u);
  ExpectBlock({first->meshes[0].get(), second->meshes[0].get()});
}

// Sizes a 32-bit field cannot hold, and record fields the renderer can
// write: neither may send a write past the end of a block or free a block
// that is not the material's.
TEST_F(GeometryWrite, OversizedGeometryAndOverwrittenFieldsAreNotTrusted) {
  MeshInfo* a = FinishedMesh(body_, 3, false);
  groups_[kDefaultMaterialKey].insert(a);
  Write();
  const std::uint32_t id = BlockId();
  const std::size_t realSize = connection_.GetBlockSize(id);

  // 150 million vertices: 4.8 GB, which a 32-bit size would wrap to about
  // 500 MB. (The mesh's arrays are not needed: nothing is copied.) The
  // block goes, and the fault is reported once.
  auto* huge = new MeshInfo(&body_, kDefaultMaterialKey, false, 0);
  huge->polygons.reset();
  huge->vertexCount = 150'000'000;
  groups_[kDefaultMaterialKey].insert(huge);
  Write();
  EXPECT_EQ(processed_.count(kDefaultMaterialKey), 1u);
  EXPECT_EQ(released_.count(id), 1u);
  EXPECT_EQ(BlockId(), 0u);
  EXPECT_EQ(Capacity(), 0u);
  Write();
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_NE(reports_[0].find("ffffffffffffffff"), std::string::npos);
  groups_[kDefaultMaterialKey].erase(huge);
  Write();
  ExpectBlock({a});

  // A capacity far beyond the block: geometry that outgrows the real
  // block still gets a new one instead of being written past its end.
  Record().geometryBlockCapacity = 0xFFFFFFF0u;
  MeshInfo* big = FinishedMesh(body_, 400, false, 10);
  groups_[kDefaultMaterialKey].insert(big);
  Write();
  ASSERT_GT(GeometryBlockBytes(403, 3 + 3 * 398), realSize);
  ExpectBlock({a, big});

  // A block id that is not the one written last: never released on its
  // word; the material keeps its own block and the record names it again.
  const std::uint32_t own = BlockId();
  Record().geometryBlockId = 12345;
  Write();
  EXPECT_TRUE(released_.empty());
  EXPECT_EQ(BlockId(), own);
  ExpectBlock({a, big});
}
