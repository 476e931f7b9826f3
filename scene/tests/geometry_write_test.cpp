// The merged geometry of one material in its link block, over real shared
// memory: the block layout byte by byte, block creation, reuse, growth and
// release, passes that stop, sizes past 32 bits, and a record whose fields
// the renderer overwrote.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "isolation.h"
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

// The meshes of one material and the counts of the block they fill.
struct MeshGroup {
  std::vector<const MeshInfo*> meshes;
  std::uint32_t vertices = 0, indices = 0;

  void Add(BodyInfo& body, int n, bool doubleSided) {
    const MeshInfo* mesh = FinishedMesh(body, n, doubleSided, float(meshes.size()));
    meshes.push_back(mesh);
    vertices += std::uint32_t(n) * (doubleSided ? 2 : 1);
    indices += std::uint32_t(mesh->indexCount) * (doubleSided ? 2 : 1);
  }
  // The (parallel) copy into a block gives, byte for byte, the reference.
  bool CopiesAsTheReference() const {
    const std::vector<std::uint8_t> expected = ExpectedBlock(meshes);
    std::vector<std::uint8_t> block(expected.size(), 0xCD);
    CopyMeshesIntoBlock(block.data(), vertices, indices, meshes.data(), meshes.size());
    return block == expected;
  }
};

std::uint32_t Field(CorvantaAPI::Record* record, std::size_t offset) {
  std::uint32_t v;
  std::memcpy(&v, reinterpret_cast<const std::uint8_t*>(record) + offset, 4);
  return v;
}
void SetField(CorvantaAPI::Record* record, std::size_t offset, std::uint32_t v) {
  std::memcpy(reinterpret_cast<std::uint8_t*>(record) + offset, &v, 4);
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

  std::uint32_t BlockId() { return Field(link_, CorvantaAPI::kSurfaceGeometryBlockIdOffset); }
  std::uint32_t Capacity() { return Field(link_, CorvantaAPI::kSurfaceGeometryBlockCapacityOffset); }
  std::uint32_t Changes() { return Field(link_, CorvantaAPI::kSurfaceGeometryChangeOffset); }
  std::vector<std::uint8_t> BlockBytes(std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(connection_.OpenBlock(BlockId()));
    return p ? std::vector<std::uint8_t>(p, p + n) : std::vector<std::uint8_t>{};
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

TEST(GeometryBlock, LayoutFrontCopiesReversedBackCopiesNegated) {
  BodyInfo body;
  const MeshInfo* single = FinishedMesh(body, 3, false);
  const MeshInfo* both = FinishedMesh(body, 4, true, 50);
  const std::vector<const MeshInfo*> meshes = {single, both};
  const std::vector<std::uint8_t> expected = ExpectedBlock(meshes);
  ASSERT_EQ(expected.size(), GeometryBlockBytes(3 + 8, 3 + 12));

  std::vector<std::uint8_t> block(expected.size() + 16, 0xCD);
  CopyMeshesIntoBlock(block.data(), 11, 15, meshes.data(), meshes.size());
  EXPECT_EQ(std::vector<std::uint8_t>(block.begin(), block.begin() + long(expected.size())), expected);
  for (std::size_t i = expected.size(); i < block.size(); ++i) ASSERT_EQ(block[i], 0xCD) << i;
  // Spot checks of the meaning: the first index is the single mesh's last;
  // the back copy's first normal is the negated front one.
  std::uint32_t firstIndex;
  std::memcpy(&firstIndex, &block[12 + 32 * 11], 4);
  EXPECT_EQ(firstIndex, 2u);
  float backNormal;
  std::memcpy(&backNormal, &block[12 + 12 * 11 + 12 * 7], 4);
  EXPECT_EQ(backNormal, -51.0f);

  // Totals too small for the meshes: what does not fit stays out.
  std::vector<std::uint8_t> small(GeometryBlockBytes(3, 3), 0);
  CopyMeshesIntoBlock(small.data(), 3, 3, meshes.data(), meshes.size());
  EXPECT_EQ(small, ExpectedBlock({single}));

}

// A group of many meshes large enough to be copied by several threads, with
// sizes and sidedness mixed: the block is the same, byte for byte.
TEST(GeometryBlock, LargeGroupsCopiedInParallelLandWhereASingleCopyPutsThem) {
  BodyInfo body;
  std::mt19937 random(7);
  MeshGroup group;
  while (group.vertices < (1u << 18) + 5000) {
    const int n = std::uniform_int_distribution<int>(3, 600)(random);
    group.Add(body, n, random() % 3 == 0);
  }
  EXPECT_TRUE(group.CopiesAsTheReference()) << group.meshes.size() << " meshes, " << group.vertices << " vertices";
}

// One mesh holding most of a material, among small ones and empty ones:
// the copy is split inside meshes, and every split point must land the
// bytes where the single-threaded reference puts them.
TEST(GeometryBlock, AMeshHoldingMostOfTheMaterialIsSplitAcrossTasksByteForByte) {
  for (unsigned seed : {1u, 2u}) {
    BodyInfo body;
    std::mt19937 random(seed);
    MeshGroup group;
    const int giantAt = std::uniform_int_distribution<int>(0, 40)(random);
    for (int m = 0; m < 80; ++m) {
      const int n = m == giantAt ? 300000 + int(random() % 1000) : int(random() % 4 == 0 ? 0 : 3 + random() % 200);
      group.Add(body, n, random() % 2 == 0);
    }
    EXPECT_TRUE(group.CopiesAsTheReference()) << "seed " << seed;
  }
}

TEST_F(GeometryWrite, CreatesReusesGrowsAndReleasesTheBlock) {
  MeshInfo* a = FinishedMesh(body_, 3, false);
  groups_[kDefaultMaterialKey].insert(a);
  Write();
  EXPECT_EQ(processed_.count(kDefaultMaterialKey), 1u);
  const std::uint32_t first = BlockId();
  const std::uint64_t size = GeometryBlockBytes(3, 3);
  ASSERT_NE(first, 0u);
  EXPECT_EQ(Capacity(), 2 * size);
  EXPECT_GE(connection_.GetBlockSize(first), 2 * size);
  EXPECT_EQ(Changes(), 1u);
  EXPECT_EQ(connection_.TestRecordFlags(link_, 1), 1u);
  EXPECT_EQ(BlockBytes(size), ExpectedBlock({a}));

  // Still fits: the same block, written again.
  connection_.ClearRecordFlags(link_, 1);
  MeshInfo* b = FinishedMesh(body_, 3, false, 7);
  groups_[kDefaultMaterialKey].insert(b);
  Write();
  EXPECT_EQ(BlockId(), first);
  EXPECT_TRUE(released_.empty());
  EXPECT_EQ(Changes(), 2u);
  EXPECT_EQ(connection_.TestRecordFlags(link_, 1), 1u);
  EXPECT_EQ(BlockBytes(GeometryBlockBytes(6, 6)), ExpectedBlock({a, b}));

  // Outgrown: a new block of twice the size, the old one queued.
  MeshInfo* c = FinishedMesh(body_, 40, true, 100);
  groups_[kDefaultMaterialKey].insert(c);
  Write();
  const std::uint32_t second = BlockId();
  EXPECT_NE(second, first);
  EXPECT_EQ(released_.count(first), 1u);
  const std::uint64_t grown = GeometryBlockBytes(6 + 80, 6 + 2 * 114);
  EXPECT_EQ(Capacity(), 2 * grown);
  EXPECT_EQ(BlockBytes(grown), ExpectedBlock({a, b, c}));

  // Empty group: the block goes, the record says so.
  groups_[kDefaultMaterialKey].clear();
  Write();
  EXPECT_EQ(released_.count(second), 1u);
  EXPECT_EQ(BlockId(), 0u);
  EXPECT_EQ(Capacity(), 0u);
  EXPECT_EQ(Changes(), 4u);
  EXPECT_EQ(processed_.count(kDefaultMaterialKey), 1u);
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
  ASSERT_EQ(groups_[kDefaultMaterialKey].size(), 2u);

  publishRequested_ = false;
  Write();
  EXPECT_TRUE(processed_.empty());
  EXPECT_FALSE(first->meshes[0]->IsFinished());
  EXPECT_EQ(Changes(), 0u);

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
  EXPECT_TRUE(first->meshes[0]->IsFinished());
  EXPECT_TRUE(second->meshes[0]->IsFinished());
  EXPECT_EQ(Field(static_cast<CorvantaAPI::Record*>(connection_.OpenBlock(BlockId())), 0), 8u);  // V
}

TEST_F(GeometryWrite, SizesPastThirtyTwoBitsAreNotWrittenAndReportedOnce) {
  MeshInfo* small = FinishedMesh(body_, 3, false);
  groups_[kDefaultMaterialKey].insert(small);
  Write();
  const std::uint32_t id = BlockId();
  ASSERT_NE(id, 0u);

  // 150 million vertices: 4.8 GB, which a 32-bit size would wrap to
  // about 500 MB. (The mesh's arrays are not needed: nothing is copied.)
  auto* huge = new MeshInfo(&body_, kDefaultMaterialKey, false, 0);
  huge->polygons.reset();
  huge->vertexCount = 150'000'000;
  groups_[kDefaultMaterialKey].insert(huge);
  Write();
  EXPECT_EQ(processed_.count(kDefaultMaterialKey), 1u);
  EXPECT_EQ(released_.count(id), 1u);
  EXPECT_EQ(BlockId(), 0u);
  EXPECT_EQ(Capacity(), 0u);
  EXPECT_EQ(Changes(), 2u);
  Write();
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_NE(reports_[0].find("ffffffffffffffff"), std::string::npos);

  // Back within bounds: a block again.
  groups_[kDefaultMaterialKey].erase(huge);
  Write();
  EXPECT_NE(BlockId(), 0u);
  EXPECT_EQ(BlockBytes(GeometryBlockBytes(3, 3)), ExpectedBlock({small}));
}

TEST_F(GeometryWrite, FieldsTheRendererOverwroteAreNotTrusted) {
  MeshInfo* a = FinishedMesh(body_, 3, false);
  groups_[kDefaultMaterialKey].insert(a);
  Write();
  const std::uint32_t id = BlockId();
  const std::size_t realSize = connection_.GetBlockSize(id);

  // A capacity far beyond the block: geometry that outgrows the real
  // block still gets a new one instead of being written past its end.
  SetField(link_, CorvantaAPI::kSurfaceGeometryBlockCapacityOffset, 0xFFFFFFF0u);
  MeshInfo* big = FinishedMesh(body_, 400, false, 10);
  groups_[kDefaultMaterialKey].insert(big);
  Write();
  const std::uint64_t size = GeometryBlockBytes(403, 3 + 3 * 398);
  ASSERT_GT(size, realSize);
  EXPECT_NE(BlockId(), id);
  EXPECT_GE(connection_.GetBlockSize(BlockId()), size);
  EXPECT_EQ(Capacity(), 2 * size);
  EXPECT_EQ(BlockBytes(size), ExpectedBlock({a, big}));

  // A block id that is not the one written last: never released on its
  // word; the material keeps its own block and the record names it again.
  const std::uint32_t own = BlockId();
  SetField(link_, CorvantaAPI::kSurfaceGeometryBlockIdOffset, 12345);
  Write();
  EXPECT_TRUE(released_.empty());
  EXPECT_EQ(BlockId(), own);
  EXPECT_EQ(BlockBytes(size), ExpectedBlock({a, big}));
}
