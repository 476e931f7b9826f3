// The scene mirror against a publisher in another process that writes its
// link through the real LiveConnection, telling lies: each lie a record or
// block can tell is reported once with its record and field, what did not
// lie is read, a part that was good keeps its last good state, and the
// link is still followed. (What the mirror holds of an honest link is
// velmar_test's scene.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <bit>
#include <filesystem>
#include <map>
#include <random>
#include <string_view>
#include <tuple>

#include "descriptors_taken.h"
#include "isolation.h"
#include "livelink/live_connection.h"
#include "scene_mirror.h"
#include "surface_digest.h"
#include "tools/velmar_peer.h"

using namespace velmar;

namespace {

const Surface* Find(const SceneMirror& mirror, const std::string& name) {
  for (const Surface& s : mirror.scene().surfaces)
    if (s.name == name) return &s;
  return nullptr;
}

// Each lie a record or block can tell is said once, with its record and
// field; what did not lie is read, a part that was good keeps its last good
// state, and the link is still followed: put right, everything arrives.
TEST(MirrorTest, EachLieIsSaidOnceWithRecordAndFieldAndWhatWasGoodStays) {
  livelink_test::Isolated();
  const std::u16string name = livelink_test::UniqueName("mirror");
  velmar_test::Publisher publisher(name);
  ASSERT_TRUE(publisher.Started());
  auto Ask = [&](const std::string& command) { return publisher.Ask(command); };
  CorvantaAPI::LiveConnection guest;
  ASSERT_EQ(guest.Open(name), 0);
  const std::string png =
      (std::filesystem::temp_directory_path() / ("velmar-lies-" + std::to_string(::getpid()) + ".png")).string();
  Image picture;
  picture.width = picture.height = 2;
  picture.rgba = {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255, 255, 255, 255};
  std::string error;
  ASSERT_TRUE(WritePng(png, picture, &error)) << error;

  const std::uint32_t good = publisher.Id("surface GOOD 0 00ff00 1 Good");
  Ask("box GOOD 0 0 0 1 1 1");
  Ask("geometry GOOD");
  const std::uint32_t keep = publisher.Id("surface KEEP 0 00ff00 1 Keep");
  Ask("box KEEP 0 0 0 1 1 1");
  Ask("geometry KEEP");
  const std::uint32_t file = publisher.Id("surface FILE 0 ffffff 1 File");
  Ask("texfile FILE " + png);
  // Surface, the commands that make it lie, the field named.
  struct Lie {
    const char* key;
    std::vector<std::string> commands;
    const char* field;
  };
  const Lie lies[] = {
      // 24 vertices, 36 indices: the indices start at byte 780.
      {"PAST", {"box PAST 0 0 0 1 1 1", "geometry PAST", "poke PAST.geometry 784 9999"}, "geometry block indices"},
      {"SIZE", {"poke SIZE 4 100"}, "size"},
      {"NOWHERE", {"poke NOWHERE 1924 30583", "poke NOWHERE 1928 4096"}, "geometryBlockId"},
      {"SHORT", {"texture SHORT 4 4 1", "poke SHORT.texture 2 100000"}, "texture block fileSize"},
      {"TEXNONE", {"texture TEXNONE 4 4 1", "poke TEXNONE 1380 30583"}, "textureBlockId"},
      // Read within the mapping, the geometry is whole.
      {"CAP", {"box CAP 2 0 0 3 1 1", "geometry CAP", "poke CAP 1928 1073741824"}, "geometryBlockCapacity"},
  };
  std::map<std::pair<std::string, std::uint32_t>, std::vector<std::string>> expected;
  for (const Lie& lie : lies) {
    const std::uint32_t id = publisher.Id(std::string("surface ") + lie.key + " 0 ffffff 1 " + lie.key);
    for (const std::string& command : lie.commands) Ask(command);
    expected[{"SRFC", id}] = {lie.field};
  }
  Ask("camera 0 1.5 -3 0 1.5 5 55");
  Ask("poke view 4 100");
  Ask("status tool=one");
  Ask("publish");

  SceneMirror mirror(guest);
  std::map<std::pair<std::string, std::uint32_t>, std::vector<std::string>> said;
  auto update = [&] {
    mirror.Update();
    said.clear();
    for (const Problem& p : mirror.TakeProblems()) said[{p.record, p.recordId}].push_back(p.field);
  };
  const std::uint32_t view = guest.Area().Slot(0)->id;
  const std::uint32_t stat = guest.Area().Slot(1)->id;
  expected[{"VIEW", view}] = {"size"};
  update();
  EXPECT_EQ(said, expected);
  // Never readable: no surface. The others are there with what did not lie.
  EXPECT_EQ(Find(mirror, "SIZE"), nullptr);
  EXPECT_EQ(mirror.scene().surfaces.size(), 8u);
  EXPECT_EQ(Find(mirror, "Good")->geometry->triangleCount(), 12u);
  EXPECT_EQ(Find(mirror, "PAST")->geometry, nullptr);
  EXPECT_EQ(Find(mirror, "SHORT")->texture, nullptr);
  EXPECT_EQ(Find(mirror, "TEXNONE")->texture, nullptr);
  ASSERT_NE(Find(mirror, "CAP")->geometry, nullptr);
  EXPECT_EQ(Find(mirror, "CAP")->geometry->triangleCount(), 12u);
  ASSERT_NE(Find(mirror, "File")->texture, nullptr);
  EXPECT_FALSE(mirror.scene().camera.followed);
  EXPECT_EQ(mirror.scene().status.at("tool"), "one");
  update();
  EXPECT_TRUE(said.empty()) << "said twice";

  // Lies about what was good: the good state stays.
  Ask("poke GOOD 4 4096");
  Ask("box KEEP 2 0 0 3 1 1");
  Ask("geometry KEEP");
  Ask("poke KEEP.geometry 1552 123456");  // 48 vertices: indices at 1548
  Ask("texfile FILE /no/such/texture.png");
  Ask("poke stat 20 30583");
  Ask("publish");
  update();
  EXPECT_EQ(said, (decltype(said){{{"SRFC", good}, {"size"}},
                                  {{"SRFC", keep}, {"geometry block indices"}},
                                  {{"SRFC", file}, {"texturePath"}},
                                  {{"STAT", stat}, {"blockId"}}}));
  EXPECT_EQ(Find(mirror, "Good")->geometry->triangleCount(), 12u);
  EXPECT_EQ(Find(mirror, "Keep")->geometry->triangleCount(), 12u);
  ASSERT_NE(Find(mirror, "File")->texture, nullptr);
  EXPECT_EQ(Find(mirror, "File")->texture->image.rgba, picture.rgba);
  EXPECT_EQ(mirror.scene().status.at("tool"), "one");
  Ask("statusraw this is {not JSON");
  Ask("publish");
  update();
  EXPECT_EQ(said, (decltype(said){{{"STAT", stat}, {"status text"}}}));
  EXPECT_EQ(mirror.scene().status.at("tool"), "one");
  update();
  EXPECT_TRUE(said.empty()) << "said twice";

  // Put right, everything arrives: the link was followed all along.
  Ask("poke GOOD 4 1932");
  Ask("poke SIZE 4 1932");
  Ask("geometry PAST");
  Ask("texfile FILE " + png);
  Ask("poke view 4 652");
  Ask("camera 0 1.5 -3 0 1.5 5 50");
  Ask("status tool=two");
  Ask("publish");
  update();
  EXPECT_TRUE(said.empty());
  EXPECT_NE(Find(mirror, "SIZE"), nullptr);
  EXPECT_EQ(Find(mirror, "PAST")->geometry->triangleCount(), 12u);
  EXPECT_TRUE(mirror.scene().camera.followed);
  EXPECT_FLOAT_EQ(mirror.scene().camera.fieldOfView, 50);
  EXPECT_EQ(mirror.scene().status.at("tool"), "two");
  std::filesystem::remove(png);
}

// A block changed in parts, seeded at random (points, normals, indices,
// some of them out of range or not finite, and once the counts): after
// every change the mirror that follows the link holds exactly what a fresh
// mirror reading the same block holds, or, where that one refuses the
// block, its own last good geometry; the ranges it records cover every
// element that differs, a geometry someone else holds is never changed
// under them, and one nobody else holds is changed in place.
TEST(MirrorTest, APartlyChangedBlockReadsAsAFreshMirrorReadsIt) {
  livelink_test::Isolated();
  const std::u16string name = livelink_test::UniqueName("parts");
  velmar_test::Publisher publisher(name);
  ASSERT_TRUE(publisher.Started());
  publisher.Id("surface BIG 0 808080 1 Big");
  for (int i = 0; i < 40; ++i)
    publisher.Ask("box BIG " + std::to_string(i) + " 0 0 " + std::to_string(i + 0.5) + " 1 1");
  publisher.Ask("geometry BIG");
  CorvantaAPI::LiveConnection guest, other;
  ASSERT_EQ(guest.Open(name), 0);
  ASSERT_EQ(other.Open(name), 0);
  SceneMirror followed(guest, 256);  // small chunks: many of them to compare
  followed.Update();
  Geometry last = *Find(followed, "Big")->geometry;
  std::mt19937 random(23);
  std::vector<std::pair<std::size_t, std::uint32_t>> undo;  // what puts a refused block right
  auto poke = [&](std::size_t at, std::uint32_t value) {
    publisher.Ask("poke BIG.geometry " + std::to_string(at) + " " + std::to_string(value));
  };
  for (int round = 0; round < 60; ++round) {
    const std::size_t v = last.vertexCount(), indices = 12 + 32 * v;
    for (const auto& [at, value] : undo) poke(at, value);
    undo.clear();
    for (int k = 1 + random() % 4; k > 0; --k) {
      const std::size_t at = 12 + 4 * (random() % (8 * v + last.indices.size()));
      std::uint32_t value = std::bit_cast<std::uint32_t>(static_cast<float>(random() % 2000) / 100 - 10);
      if (at >= indices) value = random() % v;
      if (random() % 8 == 0) {  // out of range, or not finite
        value = at >= indices ? static_cast<std::uint32_t>(v + random() % 3) : 0x7FC00000u;
        undo.emplace_back(at, at >= indices ? 0 : 0x3F800000u);
      }
      poke(at, value);
    }
    if (round == 30) {  // the counts change: read whole
      publisher.Ask("box BIG 0 2 0 1 3 1");
      publisher.Ask("geometry BIG");
      undo.clear();
    }
    publisher.Ask("poke BIG 1920 " + std::to_string(round + 100));
    // Half the rounds, someone holds the geometry as the live view does.
    std::shared_ptr<const Geometry> holder = round % 2 ? Find(followed, "Big")->geometry : nullptr;
    const Geometry before = holder ? *holder : Geometry();
    const Geometry* unheld = holder ? nullptr : Find(followed, "Big")->geometry.get();
    followed.Update();
    SceneMirror fresh(other);
    fresh.Update();
    auto fields = [](SceneMirror& mirror) {
      std::vector<std::string> said;
      for (const Problem& p : mirror.TakeProblems()) said.push_back(p.field);
      return said;
    };
    EXPECT_EQ(fields(followed), fields(fresh)) << "round " << round;
    const Geometry& now = *Find(followed, "Big")->geometry;
    const Geometry& expected = Find(fresh, "Big")->geometry ? *Find(fresh, "Big")->geometry : last;
    ASSERT_TRUE(now.positions == expected.positions && now.normals == expected.normals &&
                now.texCoords == expected.texCoords && now.indices == expected.indices)
        << "round " << round;
    EXPECT_TRUE(now.bounds.min == expected.bounds.min && now.bounds.max == expected.bounds.max);
    EXPECT_EQ(GeometryDigest(&now), GeometryDigest(&expected)) << "round " << round;
    if (holder) {
      EXPECT_TRUE(holder->positions == before.positions && holder->indices == before.indices) << "round " << round;
    } else if (now.base != 0) {
      EXPECT_EQ(&now, unheld) << "round " << round << ": a geometry nobody else held was not changed in place";
    }
    if (now.base != 0 && now.indices.size() == last.indices.size()) {
      for (int a = 0; a < kGeometryArrays; ++a) {
        const auto was = ArrayBytes(last, GeometryArray(a)), is = ArrayBytes(now, GeometryArray(a));
        for (std::size_t e = 0; e < is.size() / 4; ++e) {
          if (std::memcmp(&was[4 * e], &is[4 * e], 4) == 0) continue;
          EXPECT_TRUE(std::any_of(now.changed.begin(), now.changed.end(),
                                  [&](const ArrayRange& r) {
                                    return static_cast<int>(r.array) == a && e >= r.first && e < r.first + r.count;
                                  }))
              << "round " << round << ": array " << a << " element " << e << " changed outside the ranges";
        }
      }
    }
    last = now;
  }
}

}  // namespace

namespace {

using testsupport::DescriptorsTaken;

// What a scene holds, part by part, for comparing two mirrors.
std::vector<std::string> Parts(const SceneMirror& mirror) {
  std::vector<std::string> parts;
  for (const Surface& s : mirror.scene().surfaces)
    parts.push_back(
        s.name + " " + std::to_string(s.colour) + " " + DigestText(GeometryDigest(s.geometry.get())) + " " +
        (s.texture
             ? std::to_string(s.texture->image.width) + "x" + std::to_string(s.texture->image.height) + " " +
                   std::to_string(std::hash<std::string_view>()(std::string_view(
                       reinterpret_cast<const char*>(s.texture->image.rgba.data()), s.texture->image.rgba.size())))
             : "no texture"));
  parts.push_back("status " + std::to_string(mirror.scene().status.size()));
  return parts;
}

}  // namespace

// A mirror that reads while the process is out of descriptors (as when a
// flood of connections took them) cannot open the link's blocks: that is
// no lie of the publisher's, and once descriptors are free again the next
// update reads what was missed, whatever the point it ran out at, and
// holds what a fresh mirror reads.
TEST(MirrorTest, WhatCouldNotBeOpenedForWantOfDescriptorsIsReadAtTheNextUpdate) {
  livelink_test::Isolated();
  const std::u16string name = livelink_test::UniqueName("starved");
  velmar_test::Publisher publisher(name);
  ASSERT_TRUE(publisher.Started());
  for (int i = 0; i < 4; ++i) {
    const std::string key = "S" + std::to_string(i);
    publisher.Ask("surface " + key + " 0 C0A080 1 Surface" + std::to_string(i));
    publisher.Ask("box " + key + " " + std::to_string(i) + " 0 0 " + std::to_string(i + 1) + " 1 1");
    publisher.Ask("geometry " + key);
  }
  publisher.Ask("texture S1 64 64 5");
  publisher.Ask("status tool=starved");
  ASSERT_EQ(publisher.Ask("publish"), "published -1");  // no renderer: the link is written all the same
  CorvantaAPI::LiveConnection reference;
  ASSERT_EQ(reference.Open(name), 0);
  SceneMirror fresh(reference);
  fresh.Update();
  const auto whole = Parts(fresh);
  ASSERT_EQ(whole.size(), 5u);

  for (int free = 0; free < 8; ++free) {
    SCOPED_TRACE(free);
    CorvantaAPI::LiveConnection guest;
    ASSERT_EQ(guest.Open(name), 0);
    SceneMirror mirror(guest);
    std::vector<Problem> said;
    {
      DescriptorsTaken taken(free);
      mirror.Update();
      said = mirror.TakeProblems();
      mirror.Update();  // still out: not said again
      for (const Problem& p : mirror.TakeProblems()) said.push_back(p);
    }
    for (const Problem& p : said) {
      EXPECT_EQ(std::tie(p.record, p.field), std::tie("HEAD", "blocks")) << p.message;
      EXPECT_EQ(p.message.find("names no block"), std::string::npos) << p.message;
    }
    EXPECT_LE(said.size(), 1u);
    mirror.Update();
    EXPECT_TRUE(mirror.TakeProblems().empty());
    EXPECT_EQ(Parts(mirror), whole);
  }
}
