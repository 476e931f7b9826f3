// Garbage in the control area and in the blocks: a seeded loop overwrites
// header fields, record heads and payloads, block ids and capacities, and
// the bytes of geometry, texture and status blocks, bumping change counters
// so the mirror reads it all again. The mirror must never crash (run
// under AddressSanitizer), and what it keeps must stay usable: indices
// within their vertices, finite points, pictures of sane size.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "isolation.h"
#include "livelink/live_connection.h"
#include "picture.h"
#include "scene_mirror.h"
#include "tools/link_writer.h"

using namespace velmar;
using namespace CorvantaAPI;

namespace {

constexpr std::uint32_t kCapacity = 16;
constexpr int kRounds = 3000;

// Writes a small valid scene through the creator connection.
std::vector<velmar_test::Surface> WriteScene(LiveConnection& creator) {
  std::vector<velmar_test::Surface> surfaces(4);
  for (std::size_t i = 0; i < surfaces.size(); ++i) {
    auto& s = surfaces[i];
    if (velmar_test::NewSurface(creator, s, static_cast<int>(i % 3), 0x336699u * static_cast<std::uint32_t>(i + 1),
                                0.5f, "surface " + std::to_string(i)) == nullptr)
      continue;
    const float a[3] = {static_cast<float>(i), 0, 0}, b[3] = {static_cast<float>(i) + 1, 1, 1};
    velmar_test::AddBox(s, a, b);
    s.doubleSided = i == 2;
    velmar_test::WriteGeometry(creator, s);
    if (i % 2 == 0) velmar_test::WriteTexture(creator, s, 8, 4, static_cast<unsigned>(i));
  }
  StatusMap status;
  status[u"tool"] = {0, u"fuzz"};
  creator.UpdateStatus(status);
  CameraViewData camera{};
  camera.kind = kCameraPerspective;
  camera.fieldOfView = 60;
  creator.UpdateView(true, &camera);
  creator.SetFlags(kFlagChanged);
  return surfaces;
}

void CheckUsable(const Scene& scene) {
  for (const Surface& s : scene.surfaces) {
    if (s.geometry) {
      const Geometry& g = *s.geometry;
      ASSERT_EQ(g.indices.size() % 3, 0u);
      ASSERT_EQ(g.normals.size(), g.positions.size());
      ASSERT_EQ(g.texCoords.size() * 3, g.positions.size() * 2);
      for (std::uint32_t index : g.indices) ASSERT_LT(index, g.vertexCount());
      for (float p : g.positions) ASSERT_TRUE(std::isfinite(p));
    }
    if (s.texture) {
      const Image& image = s.texture->image;
      ASSERT_GT(image.width, 0);
      ASSERT_LE(image.width, kMaxImageSide);
      ASSERT_EQ(image.rgba.size(), static_cast<std::size_t>(image.width) * image.height * 4);
    }
  }
}

TEST(FuzzTest, SeededGarbageNeverCrashesTheMirrorNorSpoilsWhatItKeeps) {
  livelink_test::Isolated();
  const std::u16string name = livelink_test::UniqueName("fuzz");
  LiveConnection creator_, guest_;
  ASSERT_EQ(creator_.Create(name, kCapacity), CreateResult::kOk);
  std::vector<velmar_test::Surface> surfaces_ = WriteScene(creator_);
  ASSERT_EQ(guest_.Open(name), 0);
  SceneMirror mirror(guest_);
  mirror.Update(0);
  ASSERT_EQ(mirror.scene().surfaces.size(), 4u);
  ASSERT_TRUE(mirror.TakeProblems().empty());

  auto* base = reinterpret_cast<std::uint8_t*>(creator_.Area().header());
  Header* header = creator_.Area().header();
  const Header pristine = *header;
  Record own[2];
  std::memcpy(own, base + kRecordOffset, sizeof(Record));
  std::memcpy(own + 1, base + kRecordOffset + kSlotBytes, sizeof(Record));
  std::vector<std::uint32_t> blocks;
  std::uint32_t restores = 0;
  auto collectBlocks = [&] {
    blocks.clear();
    for (auto& s : surfaces_) {
      blocks.push_back(s.record->geometryBlockId);
      if (s.record->textureBlockId != 0) blocks.push_back(s.record->textureBlockId);
    }
    blocks.push_back(reinterpret_cast<StatRecord*>(creator_.OwnStatRecord())->blockId);
  };
  // A fresh valid scene after a storm: the slots emptied, the header and the
  // connection's own records as they were, the surfaces written anew.
  auto restore = [&] {
    std::memset(base + kRecordOffset + 2 * kSlotBytes, 0, (kCapacity - 2) * kSlotBytes);
    *header = pristine;
    std::memcpy(base + kRecordOffset, own, sizeof(Record));
    std::memcpy(base + kRecordOffset + kSlotBytes, own + 1, sizeof(Record));
    reinterpret_cast<StatRecord*>(creator_.OwnStatRecord())->blockId = 0;
    reinterpret_cast<StatRecord*>(creator_.OwnStatRecord())->blockCapacity = 0;
    surfaces_ = WriteScene(creator_);
    // The storm may have forged a record with the very slot, id and
    // counters of a new one (it writes small numbers and block ids, which
    // are record ids too, over the last restore's records): no counter can
    // tell those apart, so each restore moves its counters to values no
    // earlier record had, as a long-running publisher's would be.
    const std::uint32_t away = 100000 * ++restores;
    for (auto& s : surfaces_) {
      s.record->head.changeCount += away;
      s.record->materialChangeCount += away;
      s.record->geometryChangeCount += away;
      s.record->textureStamp += away;
    }
    collectBlocks();
  };
  collectBlocks();

  // A fixed seed, so that a failure repeats; CORV_FUZZ_SEED tries another.
  std::uint32_t seed = 20261207;
  if (const char* chosen = std::getenv("CORV_FUZZ_SEED"))
    seed = static_cast<std::uint32_t>(std::strtoul(chosen, nullptr, 0));
  std::printf("fuzz seed %u, %d rounds (CORV_FUZZ_SEED=%u repeats this run)\n", seed, kRounds, seed);
  SCOPED_TRACE("fuzz seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::size_t problems = 0;
  for (int round = 1; round <= kRounds; ++round) {
    // Values at the edges of what is checked, or any at all.
    const std::uint32_t someBlock = blocks[random() % blocks.size()];
    const std::uint32_t edges[] = {0,
                                   1,
                                   2,
                                   3,
                                   11,
                                   12,
                                   19,
                                   20,
                                   54,
                                   1931,
                                   1932,
                                   2047,
                                   2048,
                                   2049,
                                   kCapacity,
                                   kCapacity + 1,
                                   0x7FFFFFFF,
                                   0x80000000u,
                                   0xFFFFFFFFu,
                                   kTypeSurface,
                                   kTypeView,
                                   kTypeStat,
                                   kTypeRetiredSurface,
                                   someBlock,
                                   static_cast<std::uint32_t>(creator_.GetBlockSize(someBlock) + 1)};
    for (int writes = 1 + static_cast<int>(random() % 4); writes > 0; --writes) {
      const std::uint32_t value = random() % 3 != 0 ? edges[random() % std::size(edges)] : random();
      std::uint8_t* target = nullptr;
      std::size_t bytes = 0;
      switch (random() % 4) {
        case 0:  // the header
          target = base, bytes = kHeaderSize;
          break;
        case 1:  // a record: head or payload
          target = base + kRecordOffset + (random() % 8) * kSlotBytes, bytes = kSlotBytes;
          break;
        default: {  // a block
          const std::uint32_t id = blocks[random() % blocks.size()];
          target = static_cast<std::uint8_t*>(creator_.OpenBlock(id));
          bytes = creator_.GetBlockSize(id);
        }
      }
      if (target == nullptr || bytes < 4) continue;
      // Mostly where the counts and fields are, sometimes anywhere.
      const std::size_t offset =
          (random() % 2 ? random() % std::min<std::size_t>(bytes / 4, 64) : random() % (bytes / 4)) * 4;
      std::memcpy(target + offset, &value, 4);
    }
    // The change counts move so that everything is read again.
    for (std::uint32_t slot = 0; slot < 8; ++slot)
      if (random() % 2) ++reinterpret_cast<Record*>(base + kRecordOffset + slot * kSlotBytes)->changeCount;
    mirror.Update(0);
    problems += mirror.TakeProblems().size();
    CheckUsable(mirror.scene());
    if (HasFatalFailure()) return;
    if (round % 500 == 0) {
      restore();
      mirror.Update(0);
      for (const Problem& p : mirror.TakeProblems())
        ADD_FAILURE() << "after the storm: " << p.record << " " << p.recordId << " " << p.field << ": " << p.message;
      // The surfaces left from the storm are gone or replaced: the four
      // new ones are all there, whole.
      std::size_t whole = 0;
      for (const Surface& surface : mirror.scene().surfaces)
        if (surface.name.rfind("surface ", 0) == 0 && surface.geometry && surface.geometry->triangleCount() >= 12)
          ++whole;
      EXPECT_EQ(whole, 4u) << "round " << round;
    }
  }
  EXPECT_GT(problems, 100u) << "the garbage was noticed";
  // What it kept still draws.
  const Image picture = DrawScene(mirror.scene(), {64, 48, true}, nullptr);
  EXPECT_EQ(picture.width, 64);
}

}  // namespace
