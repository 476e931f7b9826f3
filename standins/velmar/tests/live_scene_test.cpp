// The live view's frames taken as the page takes them (live.js): a surface
// of any size ends in the page's arrays exactly as velmar holds it, after
// its first update and after edits, each frame within the message limit,
// and the arrays of a surface too large for one frame are sent from
// velmar's own memory, never copied to be cut.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "live_frames.h"
#include "live_scene.h"

namespace velmar {
namespace {

// One surface as the page holds it: the four arrays as words, and, while
// its arrays follow in ranges, how many elements are still to come.
struct PageSurface {
  std::vector<std::uint32_t> arrays[kGeometryArrays];
  std::size_t missing = 0;
  bool shown = false;  // a mesh is made (every element has come)
};

// The page's reading of frames, with its checks; a frame it would refuse
// fails the test.
class Page {
 public:
  void Take(const std::vector<FramePtr>& frames, std::size_t maxFrameBytes) {
    for (const FramePtr& frame : frames) {
      EXPECT_LE(frame->size(), maxFrameBytes);
      Take(frame->Bytes());
    }
  }
  const PageSurface& surface(std::uint32_t key) { return surfaces_[key]; }
  std::map<FrameKind, int> kinds;  // frames taken, by kind

 private:
  void Take(const std::vector<std::uint8_t>& bytes) {
    ASSERT_GE(bytes.size(), sizeof(FrameHeader));
    FrameHeader h;
    std::memcpy(&h, bytes.data(), sizeof h);
    ASSERT_EQ(h.magic, kFrameMagic);
    const auto kind = static_cast<FrameKind>(h.kind);
    ++kinds[kind];
    const std::uint8_t* payload = bytes.data() + sizeof h;
    const std::size_t payloadBytes = bytes.size() - sizeof h;
    if (kind == FrameKind::kGeometry) {
      PageSurface& s = surfaces_[h.key];
      const std::size_t v = h.a, n = h.b;
      const std::size_t counts[kGeometryArrays] = {3 * v, 3 * v, 2 * v, n};
      const bool follow = (h.flags & kArraysFollow) != 0;
      ASSERT_EQ(payloadBytes, follow ? 0 : 32 * v + 4 * n);
      std::size_t at = 0;
      for (int a = 0; a < kGeometryArrays; ++a) {
        s.arrays[a].assign(counts[a], 0);
        if (!follow) std::memcpy(s.arrays[a].data(), payload + 4 * at, 4 * counts[a]);
        at += counts[a];
      }
      s.missing = follow ? at : 0;
      s.shown = !follow;
    } else if (kind == FrameKind::kRange) {
      ASSERT_TRUE(surfaces_.count(h.key)) << "a range of a surface never sent";
      PageSurface& s = surfaces_[h.key];
      ASSERT_LT(h.a, std::uint32_t(kGeometryArrays));
      ASSERT_EQ(payloadBytes, 4 * std::size_t{h.c});
      std::vector<std::uint32_t>& array = s.arrays[h.a];
      ASSERT_LE(std::size_t{h.b} + h.c, array.size());
      std::memcpy(array.data() + h.b, payload, payloadBytes);
      if (s.missing != 0) {
        ASSERT_LE(h.c, s.missing);
        s.missing -= h.c;
        s.shown = s.missing == 0;
      }
    }
  }
  std::map<std::uint32_t, PageSurface> surfaces_;
};

// The arrays as words, in the page's order.
std::vector<std::uint32_t> Words(const Geometry& g, GeometryArray array) {
  const std::span<const std::uint8_t> bytes = ArrayBytes(g, array);
  std::vector<std::uint32_t> words(bytes.size() / 4);
  std::memcpy(words.data(), bytes.data(), bytes.size());
  return words;
}

void ExpectShows(Page& page, std::uint32_t key, const Geometry& g) {
  const PageSurface& s = page.surface(key);
  EXPECT_TRUE(s.shown);
  for (int a = 0; a < kGeometryArrays; ++a)
    EXPECT_EQ(s.arrays[a], Words(g, static_cast<GeometryArray>(a))) << "array " << a;
}

// A strip of `quads` quads, every value its own.
std::shared_ptr<Geometry> Strip(std::size_t quads, std::uint64_t revision) {
  auto g = std::make_shared<Geometry>();
  for (std::size_t i = 0; i <= quads; ++i)
    for (int side = 0; side < 2; ++side) {
      const float x = float(i), z = float(side);
      g->positions.insert(g->positions.end(), {x, 0.5f * x, z});
      g->normals.insert(g->normals.end(), {0.f, 1.f, z - 0.5f});
      g->texCoords.insert(g->texCoords.end(), {x / float(quads), z});
    }
  for (std::uint32_t i = 0; i < quads; ++i) {
    const std::uint32_t a = 2 * i;
    g->indices.insert(g->indices.end(), {a, a + 1, a + 2, a + 2, a + 1, a + 3});
  }
  g->revision = revision;
  return g;
}

LiveSnapshot Snapshot(std::vector<std::pair<std::uint32_t, std::shared_ptr<const Geometry>>> geometries) {
  LiveSnapshot snapshot;
  snapshot.link = "L";
  for (auto& [key, geometry] : geometries) {
    Surface surface;
    surface.recordId = key;
    surface.geometry = std::move(geometry);
    snapshot.surfaces.push_back(std::move(surface));
  }
  return snapshot;
}

// True when a frame's bytes lie in the geometry's own arrays.
bool Borrows(const Frame& frame, const Geometry& g) {
  if (frame.borrowed().empty()) return false;
  for (const auto& span : frame.borrowed()) {
    bool inside = false;
    for (int a = 0; a < kGeometryArrays; ++a) {
      const std::span<const std::uint8_t> array = ArrayBytes(g, static_cast<GeometryArray>(a));
      inside = inside || (span.data() >= array.data() && span.data() + span.size() <= array.data() + array.size());
    }
    if (!inside) return false;
  }
  return true;
}

TEST(LiveScene, ASurfaceOfAnySizeReachesThePageWholeAndItsEditsAsRanges) {
  // 4 KiB frames: a strip of 40 quads fits (82 vertices, 240 indices:
  // 3,616 bytes), one of 2,000 does not.
  constexpr std::size_t kMax = 4096;
  LiveScene live(kMax);
  Page page;
  auto small = Strip(40, 1);
  auto big = Strip(2000, 2);
  std::vector<FramePtr> frames = live.Apply(Snapshot({{7, small}, {9, big}}), 1);
  page.Take(frames, kMax);
  ExpectShows(page, 7, *small);
  ExpectShows(page, 9, *big);
  // The big one as its counts, then ranges borrowed from velmar's arrays.
  std::size_t bigFrames = 0;
  for (const FramePtr& frame : frames) {
    const FrameHeader h = frame->header();
    if (h.key != 9) continue;
    ++bigFrames;
    if (h.kind == std::uint16_t(FrameKind::kGeometry)) {
      EXPECT_EQ(h.flags, kArraysFollow);
      EXPECT_EQ(frame->size(), sizeof(FrameHeader));
    } else if (h.kind == std::uint16_t(FrameKind::kRange)) {
      EXPECT_TRUE(Borrows(*frame, *big)) << "a range of the whole surface was copied";
    }
  }
  EXPECT_GT(bigFrames, 30u);

  // An edit that keeps the counts: ranges only, of either surface, whatever
  // its size; the page's arrays are then the new state.
  for (const std::uint32_t key : {7u, 9u}) {
    const std::shared_ptr<Geometry>& before = key == 7 ? small : big;
    auto after = std::make_shared<Geometry>(*before);
    for (std::size_t i = 30; i < 60; ++i) after->positions[i] += 100;
    after->indices[3] = 0;
    after->base = before->revision;
    after->revision = before->revision + 10;
    after->changed = {{GeometryArray::kPositions, 30, 30}, {GeometryArray::kIndices, 3, 1}};
    page.kinds.clear();
    page.Take(live.Apply(Snapshot({{7, key == 7 ? after : small}, {9, key == 9 ? after : big}}), 2 + key), kMax);
    EXPECT_EQ(page.kinds[FrameKind::kGeometry], 0) << "surface " << key << " was sent whole again";
    EXPECT_EQ(page.kinds[FrameKind::kRange], 2);
    ExpectShows(page, key, *after);
    (key == 7 ? small : big) = after;
  }

  // Counts that changed, or ranges from a revision the page never had:
  // the surface is sent whole again.
  auto grown = Strip(2100, 40);
  auto skipped = std::make_shared<Geometry>(*small);
  skipped->positions[0] = -5;
  skipped->base = 999;
  skipped->revision = 41;
  skipped->changed = {{GeometryArray::kPositions, 0, 1}};
  page.kinds.clear();
  page.Take(live.Apply(Snapshot({{7, skipped}, {9, grown}}), 20), kMax);
  EXPECT_EQ(page.kinds[FrameKind::kGeometry], 2);
  ExpectShows(page, 7, *skipped);
  ExpectShows(page, 9, *grown);

  // A page opened later gets the whole scene as it is now, from a snapshot
  // of it; between updates the live view holds no geometry.
  EXPECT_EQ(skipped.use_count(), 1);
  EXPECT_EQ(grown.use_count(), 1);
  Page late;
  late.Take(live.Whole(Snapshot({{7, skipped}, {9, grown}})), kMax);
  ExpectShows(late, 7, *skipped);
  ExpectShows(late, 9, *grown);
}

}  // namespace
}  // namespace velmar
