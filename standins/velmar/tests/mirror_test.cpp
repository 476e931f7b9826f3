// The scene mirror against a publisher in another process that writes its
// link through the real LiveConnection, telling lies: each lie a record or
// block can tell is reported once with its record and field, what did not
// lie is read, a part that was good keeps its last good state, and the
// link is still followed. (What the mirror holds of an honest link is
// velmar_test's scene.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "isolation.h"
#include "livelink/live_connection.h"
#include "scene_mirror.h"
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
  const std::string png = (std::filesystem::temp_directory_path() /
                           ("velmar-lies-" + std::to_string(::getpid()) + ".png")).string();
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

}  // namespace
