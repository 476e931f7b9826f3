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

TEST_F(MirrorTest, LiesAreReportedOnceWithRecordAndFieldAndTheRestStays) {
  const std::uint32_t good = IdOf(Ask("surface GOOD 0 00ff00 1 Good"));
  Ask("box GOOD 0 0 0 1 1 1");
  Ask("geometry GOOD");
  // Indices past the vertices (24 vertices, 36 indices: indices at 780).
  const std::uint32_t pointsPast = IdOf(Ask("surface PAST 0 ff0000 1 Past"));
  Ask("box PAST 0 0 0 1 1 1");
  Ask("geometry PAST");
  Ask("pokeblock PAST geometry 784 9999");
  // A record whose size is too small for a surface.
  const std::uint32_t small = IdOf(Ask("surface SIZE 0 0000ff 1 Small"));
  Ask("poke SIZE 4 100");
  // A geometry block id that names nothing.
  const std::uint32_t nowhere = IdOf(Ask("surface NOWHERE 0 0000ff 1 Nowhere"));
  Ask("poke NOWHERE 1924 30583");
  Ask("poke NOWHERE 1928 4096");
  // A texture block shorter than its header says.
  const std::uint32_t shortTexture = IdOf(Ask("surface SHORT 0 ffffff 1 Short"));
  Ask("texture SHORT 4 4 1");
  Ask("pokeblock SHORT texture 2 100000");
  Ask("statusraw this is {not JSON");
  Ask("publish");

  SceneMirror mirror(guest_);
  mirror.Update();
  std::map<std::uint32_t, std::set<std::string>> fields;
  std::size_t count = 0;
  for (const Problem& p : mirror.TakeProblems()) {
    fields[p.recordId].insert(p.field);
    ++count;
  }
  EXPECT_EQ(fields[pointsPast], std::set<std::string>{"geometry block indices"});
  EXPECT_EQ(fields[small], std::set<std::string>{"size"});
  EXPECT_EQ(fields[nowhere], std::set<std::string>{"geometryBlockId"});
  EXPECT_EQ(fields[shortTexture], std::set<std::string>{"texture block fileSize"});
  std::size_t statusProblems = 0;
  for (const auto& [id, names] : fields) statusProblems += names.count("status text");
  EXPECT_EQ(statusProblems, 1u);
  EXPECT_EQ(count, 5u) << "each lie once";
  EXPECT_EQ(fields.count(good), 0u);

  // The rest is there: the good box, and the surfaces whose parts failed
  // with what did not fail.
  ASSERT_NE(Find(mirror, "Good"), nullptr);
  EXPECT_EQ(Find(mirror, "Good")->geometry->triangleCount(), 12u);
  EXPECT_EQ(Find(mirror, "Past")->geometry, nullptr);
  EXPECT_EQ(Find(mirror, "Short")->texture, nullptr);

  // Read again without a new publication: nothing is said twice.
  mirror.Update();
  EXPECT_TRUE(mirror.TakeProblems().empty());

  // A surface that had good geometry keeps it when its next block lies.
  Ask("box GOOD 2 0 0 3 1 1");
  Ask("geometry GOOD");
  Ask("pokeblock GOOD geometry 1552 123456");  // 48 vertices: indices at 1548
  Ask("publish");
  mirror.Update();
  auto problems = mirror.TakeProblems();
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].recordId, good);
  EXPECT_EQ(problems[0].field, "geometry block indices");
  EXPECT_EQ(Find(mirror, "Good")->geometry->triangleCount(), 12u);

  // The link is still followed: the repaired surfaces and a new one arrive.
  Ask("geometry PAST");
  Ask("surface LATER 0 808080 1 Later");
  Ask("box LATER 5 0 0 6 1 1");
  Ask("geometry LATER");
  Ask("status tool=again");
  Ask("publish");
  mirror.Update();
  EXPECT_TRUE(mirror.TakeProblems().empty());
  EXPECT_EQ(Find(mirror, "Past")->geometry->triangleCount(), 12u);
  ASSERT_NE(Find(mirror, "Later"), nullptr);
  EXPECT_EQ(mirror.scene().status.at("tool"), "again");
}

// The rest of what a record or block can lie about: a texture block id that
// names nothing, a capacity past the block's mapping, a camera or status
// record of the wrong size or naming no block, a texture file that cannot
// be read. Each is said once; a surface whose record never could be read is
// no surface; a part that was good keeps its last good state.
TEST_F(MirrorTest, EveryOtherLieIsSaidOnceAndWhatWasGoodStays) {
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
  const std::uint32_t small = IdOf(Ask("surface SIZE 0 0000ff 1 Small"));
  Ask("poke SIZE 4 100");
  const std::uint32_t noTexture = IdOf(Ask("surface TEXNONE 0 ffffff 1 Nameless texture"));
  Ask("texture TEXNONE 4 4 1");
  Ask("poke TEXNONE 1380 30583");
  const std::uint32_t capacity = IdOf(Ask("surface CAP 0 808080 1 Capacity"));
  Ask("box CAP 2 0 0 3 1 1");
  Ask("geometry CAP");
  Ask("poke CAP 1928 1073741824");
  const std::uint32_t file = IdOf(Ask("surface FILE 0 ffffff 1 File"));
  Ask("texfile FILE " + png);
  Ask("camera 0 1.5 -3 0 1.5 5 55");
  Ask("pokeview 4 100");
  Ask("status tool=one");
  Ask("publish");

  SceneMirror mirror(guest_);
  mirror.Update();
  std::map<std::pair<std::string, std::uint32_t>, std::vector<std::string>> said;
  auto take = [&] {
    said.clear();
    std::size_t n = 0;
    for (const Problem& p : mirror.TakeProblems()) {
      said[{p.record, p.recordId}].push_back(p.field);
      ++n;
    }
    return n;
  };
  const std::uint32_t view = guest_.Area().Slot(0)->id;
  const std::uint32_t stat = guest_.Area().Slot(1)->id;
  EXPECT_EQ(take(), 4u);
  EXPECT_EQ((said[{"SRFC", small}]), std::vector<std::string>{"size"});
  EXPECT_EQ((said[{"SRFC", noTexture}]), std::vector<std::string>{"textureBlockId"});
  EXPECT_EQ((said[{"SRFC", capacity}]), std::vector<std::string>{"geometryBlockCapacity"});
  EXPECT_EQ((said[{"VIEW", view}]), std::vector<std::string>{"size"});
  // Never readable: not in the scene. Read within the mapping: whole.
  EXPECT_EQ(Find(mirror, ""), nullptr);
  EXPECT_EQ(mirror.scene().surfaces.size(), 4u);  // the five but Small
  ASSERT_NE(Find(mirror, "Capacity"), nullptr);
  ASSERT_NE(Find(mirror, "Capacity")->geometry, nullptr);
  EXPECT_EQ(Find(mirror, "Capacity")->geometry->triangleCount(), 12u);
  EXPECT_EQ(Find(mirror, "Nameless texture")->texture, nullptr);
  ASSERT_NE(Find(mirror, "File")->texture, nullptr);
  EXPECT_FALSE(mirror.scene().camera.followed);
  EXPECT_EQ(mirror.scene().status.at("tool"), "one");
  mirror.Update();
  EXPECT_EQ(take(), 0u) << "said twice";

  // Lies about what was good: the good state stays.
  Ask("poke GOOD 4 4096");
  Ask("texfile FILE /no/such/texture.png");
  Ask("pokestat 20 30583");
  mirror.Update();
  EXPECT_EQ(take(), 3u);
  EXPECT_EQ((said[{"SRFC", good}]), std::vector<std::string>{"size"});
  EXPECT_EQ((said[{"SRFC", file}]), std::vector<std::string>{"texturePath"});
  EXPECT_EQ((said[{"STAT", stat}]), std::vector<std::string>{"blockId"});
  ASSERT_NE(Find(mirror, "Good"), nullptr);
  EXPECT_EQ(Find(mirror, "Good")->geometry->triangleCount(), 12u);
  ASSERT_NE(Find(mirror, "File")->texture, nullptr);
  EXPECT_EQ(Find(mirror, "File")->texture->image.rgba, picture.rgba);
  EXPECT_EQ(mirror.scene().status.at("tool"), "one");
  mirror.Update();
  EXPECT_EQ(take(), 0u) << "said twice";

  // Put right, everything arrives: the link was followed all along.
  Ask("poke GOOD 4 1932");
  Ask("poke SIZE 4 1932");
  Ask("texfile FILE " + png);
  Ask("pokeview 4 652");
  Ask("camera 0 1.5 -3 0 1.5 5 50");
  Ask("status tool=two");
  Ask("publish");
  mirror.Update();
  EXPECT_EQ(take(), 0u);
  EXPECT_NE(Find(mirror, "Small"), nullptr);
  EXPECT_EQ(mirror.scene().surfaces.size(), 5u);
  EXPECT_TRUE(mirror.scene().camera.followed);
  EXPECT_FLOAT_EQ(mirror.scene().camera.fieldOfView, 50);
  EXPECT_EQ(mirror.scene().status.at("tool"), "two");
  std::filesystem::remove(png);
}

}  // namespace
