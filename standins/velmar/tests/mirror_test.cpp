// The scene mirror against a publisher in another process that writes its
// link through the real LiveConnection: the mirror equals what was
// published (surfaces, triangles, bounds, texture pixels from blocks and
// files, camera, status), an edit re-reads only what it touched, and input
// that lies is reported once with its record and field while the rest of
// the scene stays and the link is still followed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>

#include "child_process.h"
#include "isolation.h"
#include "livelink/live_connection.h"
#include "scene_mirror.h"
#include "tools/link_writer.h"

using namespace velmar;
using livelink_test::ChildProcess;

namespace {

std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

class MirrorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    livelink_test::Isolated();
    name_ = livelink_test::UniqueName("mirror");
    publisher_ = ChildProcess::Start(VELMAR_PUBLISHER, {Narrow(name_)});
    ASSERT_NE(publisher_, nullptr);
    ASSERT_EQ(publisher_->WaitFor("created", 5000), "created 0");
    ASSERT_EQ(guest_.Open(name_), 0);
  }

  // Sends a command and returns the publisher's answer.
  std::string Ask(const std::string& command) {
    EXPECT_TRUE(publisher_->Send(command));
    std::string line;
    EXPECT_TRUE(publisher_->ReadLine(&line, 5000)) << command;
    return line;
  }
  std::uint32_t IdOf(const std::string& answer) {
    return static_cast<std::uint32_t>(std::stoul(answer.substr(answer.rfind(' ') + 1)));
  }
  const Surface* Find(const SceneMirror& mirror, const std::string& name) {
    for (const Surface& s : mirror.scene().surfaces)
      if (s.name == name) return &s;
    return nullptr;
  }

  std::u16string name_;
  std::unique_ptr<ChildProcess> publisher_;
  CorvantaAPI::LiveConnection guest_;
};

TEST_F(MirrorTest, EqualsWhatWasPublishedAndAnEditRereadsOnlyWhatChanged) {
  const std::uint32_t wall = IdOf(Ask("surface WALL 0 aaaaaa 1 Brick wall"));
  Ask("quad WALL -2 0 5 -2 3 5 2 3 5 2 0 5");
  Ask("geometry WALL");
  Ask("texture WALL 16 8 3");
  const std::uint32_t box = IdOf(Ask("surface BOX 0 ff0000 1 Red"));
  Ask("box BOX -0.5 0 2 0.5 1 3");
  Ask("geometry BOX");
  Ask("surface GLASS 2 2850ff 0.4 Window glass");
  Ask("quad GLASS 0.5 1.5 4 0.5 2.5 4 1.5 2.5 4 1.5 1.5 4");
  Ask("double GLASS");
  Ask("geometry GLASS");
  Ask("camera 0 1.5 -3 0 1.5 5 55");
  Ask("status tool=hostsim+test vertices=40");
  Ask("publish");

  SceneMirror mirror(guest_);
  UpdateStats stats = mirror.Update();
  EXPECT_TRUE(stats.locked);
  EXPECT_EQ(stats.surfacesAdded, 3u);
  EXPECT_EQ(stats.geometriesRead, 3u);
  EXPECT_TRUE(mirror.TakeProblems().empty());
  const Scene& scene = mirror.scene();
  ASSERT_EQ(scene.surfaces.size(), 3u);
  EXPECT_EQ(scene.TriangleCount(), 2u + 12u + 4u);  // the glass has its back copy
  EXPECT_EQ(scene.VertexCount(), 4u + 24u + 8u);
  const Bounds bounds = scene.ComputeBounds();
  EXPECT_EQ(bounds.min, (Vec3{-2, 0, 2}));
  EXPECT_EQ(bounds.max, (Vec3{2, 3, 5}));
  const Surface* glass = Find(mirror, "Window glass");
  ASSERT_NE(glass, nullptr);
  EXPECT_TRUE(glass->glass());
  EXPECT_FLOAT_EQ(glass->opacity, 0.4f);
  EXPECT_EQ(Find(mirror, "Red")->colour, 0xFFFF0000u);

  // The memory texture arrives pixel for pixel.
  const Surface* brick = Find(mirror, "Brick wall");
  ASSERT_NE(brick, nullptr);
  ASSERT_NE(brick->texture, nullptr);
  ASSERT_EQ(brick->texture->image.width, 16);
  ASSERT_EQ(brick->texture->image.height, 8);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 16; ++x) {
      std::uint8_t bgra[4];
      velmar_test::TestTexel(3, x, y, bgra);
      const std::uint8_t* p = brick->texture->image.At(x, y);
      ASSERT_EQ(p[0], bgra[2]);
      ASSERT_EQ(p[1], bgra[1]);
      ASSERT_EQ(p[2], bgra[0]);
      ASSERT_EQ(p[3], bgra[3]);
    }

  EXPECT_TRUE(scene.camera.followed);
  EXPECT_FLOAT_EQ(scene.camera.fieldOfView, 55);
  EXPECT_EQ(scene.camera.position, (Vec3{0, 1.5f, -3}));
  EXPECT_EQ(scene.status.at("tool"), "hostsim test");  // percent-decoded
  EXPECT_EQ(scene.status.at("vertices"), "40");

  // Nothing published: nothing read.
  stats = mirror.Update();
  EXPECT_FALSE(stats.changed());

  // A colour edit reads one surface's parameters, nothing else.
  Ask("material BOX ff8000");
  Ask("publish");
  stats = mirror.Update();
  EXPECT_EQ(stats.parametersRead, 1u);
  EXPECT_EQ(stats.geometriesRead + stats.texturesRead, 0u);
  EXPECT_EQ(Find(mirror, "Red")->colour, 0xFFFF8000u);

  // More triangles for the box: its geometry only.
  Ask("box BOX 0.5 0 2 1 0.5 3");
  Ask("geometry BOX");
  Ask("publish");
  stats = mirror.Update();
  EXPECT_EQ(stats.geometriesRead, 1u);
  EXPECT_EQ(stats.parametersRead + stats.texturesRead, 0u);
  EXPECT_EQ(Find(mirror, "Red")->geometry->triangleCount(), 24u);

  // A new texture: that texture only; then the same picture as a file.
  Ask("texture WALL 16 8 9");
  stats = mirror.Update();
  EXPECT_EQ(stats.texturesRead, 1u);
  EXPECT_EQ(stats.parametersRead + stats.geometriesRead, 0u);
  const Image fromBlock = Find(mirror, "Brick wall")->texture->image;
  const std::string file = (std::filesystem::temp_directory_path() /
                            ("velmar-mirror-" + std::to_string(::getpid()) + ".png")).string();
  std::string error;
  ASSERT_TRUE(WritePng(file, fromBlock, &error)) << error;
  Ask("texfile WALL " + file);
  stats = mirror.Update();
  std::filesystem::remove(file);
  EXPECT_EQ(stats.texturesRead, 1u);
  ASSERT_NE(Find(mirror, "Brick wall")->texture, nullptr);
  EXPECT_EQ(Find(mirror, "Brick wall")->texture->source, file);
  EXPECT_EQ(Find(mirror, "Brick wall")->texture->image.rgba, fromBlock.rgba);

  // The wall's geometry was read once in all of this, the box's twice.
  EXPECT_EQ(mirror.readCounts().at(wall).geometry, 1u);
  EXPECT_EQ(mirror.readCounts().at(box).geometry, 2u);
  EXPECT_EQ(mirror.readCounts().at(box).parameters, 2u);

  // A retired surface leaves; the camera stops being followed.
  Ask("retire BOX");
  Ask("nocamera");
  stats = mirror.Update();
  EXPECT_EQ(stats.surfacesRemoved, 1u);
  EXPECT_TRUE(stats.cameraRead);
  EXPECT_EQ(mirror.scene().surfaces.size(), 2u);
  EXPECT_EQ(Find(mirror, "Red"), nullptr);
  EXPECT_FALSE(mirror.scene().camera.followed);
  EXPECT_TRUE(mirror.TakeProblems().empty());
}

// Each lie a record or block can tell is said once, with its record and
// field; what did not lie is read, a part that was good keeps its last good
// state, and the link is still followed: put right, everything arrives.
TEST_F(MirrorTest, EachLieIsSaidOnceWithRecordAndFieldAndWhatWasGoodStays) {
  const std::string png = (std::filesystem::temp_directory_path() /
                           ("velmar-lies-" + std::to_string(::getpid()) + ".png")).string();
  Image picture;
  picture.width = picture.height = 2;
  picture.rgba = {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255, 255, 255, 255};
  std::string error;
  ASSERT_TRUE(WritePng(png, picture, &error)) << error;

  const std::uint32_t good = IdOf(Ask("surface GOOD 0 00ff00 1 Good"));
  Ask("box GOOD 0 0 0 1 1 1");
  Ask("geometry GOOD");
  const std::uint32_t keep = IdOf(Ask("surface KEEP 0 00ff00 1 Keep"));
  Ask("box KEEP 0 0 0 1 1 1");
  Ask("geometry KEEP");
  const std::uint32_t file = IdOf(Ask("surface FILE 0 ffffff 1 File"));
  Ask("texfile FILE " + png);
  // Surface, the commands that make it lie, the field named.
  struct Lie {
    const char* key;
    std::vector<std::string> commands;
    const char* field;
  };
  const Lie lies[] = {
      // 24 vertices, 36 indices: the indices start at byte 780.
      {"PAST", {"box PAST 0 0 0 1 1 1", "geometry PAST", "pokeblock PAST geometry 784 9999"}, "geometry block indices"},
      {"SIZE", {"poke SIZE 4 100"}, "size"},
      {"NOWHERE", {"poke NOWHERE 1924 30583", "poke NOWHERE 1928 4096"}, "geometryBlockId"},
      {"SHORT", {"texture SHORT 4 4 1", "pokeblock SHORT texture 2 100000"}, "texture block fileSize"},
      {"TEXNONE", {"texture TEXNONE 4 4 1", "poke TEXNONE 1380 30583"}, "textureBlockId"},
      // Read within the mapping, the geometry is whole.
      {"CAP", {"box CAP 2 0 0 3 1 1", "geometry CAP", "poke CAP 1928 1073741824"}, "geometryBlockCapacity"},
  };
  std::map<std::pair<std::string, std::uint32_t>, std::vector<std::string>> expected;
  for (const Lie& lie : lies) {
    const std::uint32_t id = IdOf(Ask(std::string("surface ") + lie.key + " 0 ffffff 1 " + lie.key));
    for (const std::string& command : lie.commands) Ask(command);
    expected[{"SRFC", id}] = {lie.field};
  }
  Ask("camera 0 1.5 -3 0 1.5 5 55");
  Ask("pokeview 4 100");
  Ask("status tool=one");
  Ask("publish");

  SceneMirror mirror(guest_);
  std::map<std::pair<std::string, std::uint32_t>, std::vector<std::string>> said;
  auto update = [&] {
    mirror.Update();
    said.clear();
    for (const Problem& p : mirror.TakeProblems()) said[{p.record, p.recordId}].push_back(p.field);
  };
  const std::uint32_t view = guest_.Area().Slot(0)->id;
  const std::uint32_t stat = guest_.Area().Slot(1)->id;
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
  Ask("pokeblock KEEP geometry 1552 123456");  // 48 vertices: indices at 1548
  Ask("texfile FILE /no/such/texture.png");
  Ask("pokestat 20 30583");
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
  Ask("pokeview 4 652");
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
