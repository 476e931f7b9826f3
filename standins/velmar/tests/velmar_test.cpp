// velmar as a real separate process against a publisher in another
// process: the link's end (removed, publisher gone, memory shrunk,
// interrupt), and
// one scene followed both by velmar and by a mirror in this process, which
// must hold exactly what was published while velmar's updates name it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "image.h"
#include "isolation.h"
#include "livelink/live_connection.h"
#include "scene_mirror.h"
#include "surface_digest.h"
#include "tools/link_writer.h"
#include "tools/velmar_peer.h"

using namespace CorvantaAPI;
using namespace velmar_test;
using livelink_test::UniqueName;

namespace {

std::unique_ptr<ChildProcess> StartVelmar(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"--json"};
  all.insert(all.end(), args.begin(), args.end());
  auto child = ChildProcess::Start(VELMAR_PROGRAM, all);
  if (child == nullptr || NextEvent(*child, "ready").is_null()) return nullptr;
  return child;
}

void ExpectCleanExit(ChildProcess& velmar) {
  const int status = velmar.Wait(10000);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace

// A publisher that removes the link, dies, starts it anew while velmar is
// stopped (the same process and name, a new area), or truncates the control
// area velmar has mapped (velmar's next read meets zeros instead of SIGBUS),
// or velmar interrupted: velmar says the link ended and why, exits cleanly,
// and its window is gone, so a publisher's wake-up finds no renderer.
TEST(PeerVelmarTest, ARemovedDeadRestartedOrShrunkLinkOrAnInterruptEndsTheLink) {
  for (const std::string how : {"removed", "killed", "restarted", "shrunk", "interrupted"}) {
    SCOPED_TRACE(how);
    const std::u16string name = UniqueName("ending");
    Publisher publisher(name);
    ASSERT_TRUE(publisher.Started());
    publisher.Ask("surface BOX 0 ff0000 1 Red");
    publisher.Ask("box BOX -0.5 0 2 0.5 1 3");
    publisher.Ask("geometry BOX");
    auto velmar = StartVelmar({"run", "--exit-when-ended", "--link", Narrow(name)});
    ASSERT_NE(velmar, nullptr);
    EXPECT_EQ(publisher.Ask("publish"), "published 0");
    ASSERT_EQ(NextEvent(*velmar, "update")["scene"]["triangles"], 12);
    EXPECT_EQ(FindRendererWindows().size(), 1u);
    if (how == "interrupted") {
      velmar->Signal(SIGINT);
      EXPECT_FALSE(NextEvent(*velmar, "exit").is_null());
      ExpectCleanExit(*velmar);
      EXPECT_TRUE(FindRendererWindows().empty());
      EXPECT_EQ(publisher.Ask("publish"), "published -1");
      publisher.child().Send("quit");
      continue;
    }
    if (how == "killed") {
      publisher.child().Signal(SIGKILL);
    } else if (how == "removed") {
      publisher.Ask("destroy");
    } else if (how == "restarted") {
      // velmar never sees the name unlisted; the new link's wake-up reaches it.
      velmar->Signal(SIGSTOP);
      EXPECT_EQ(publisher.Ask("restart"), "restarted 0");
      EXPECT_EQ(publisher.Ask("publish"), "published 0");
      velmar->Signal(SIGCONT);
    } else {
      EXPECT_EQ(publisher.Ask("shrinkarea"), "shrunk 0");  // read at the next liveness check at the latest
    }
    const json ended = NextEvent(*velmar, "link-ended");
    EXPECT_EQ(ended["name"], Narrow(name));
    EXPECT_EQ(ended["reason"], how == "killed"      ? "the publisher is gone"
                               : how == "removed"   ? "the publisher removed it"
                               : how == "restarted" ? "the publisher started it anew"
                                                    : "its shared memory was shrunk under this renderer");
    ExpectCleanExit(*velmar);
    if (how != "killed") publisher.child().Send("quit");
  }
}

namespace {

// The surface of that record id among those an update names; null if absent.
json Named(const json& update, std::uint32_t id) {
  for (const json& surface : update["changed"]["surfaces"])
    if (surface["id"] == id) return surface;
  return json();
}

const velmar::Surface* Find(const velmar::SceneMirror& mirror, const std::string& name) {
  for (const velmar::Surface& s : mirror.scene().surfaces)
    if (s.name == name) return &s;
  return nullptr;
}

// Parameters, geometries and textures an update read.
std::array<std::size_t, 3> Parts(const velmar::UpdateStats& s) {
  return {s.parametersRead, s.geometriesRead, s.texturesRead};
}

// The digest velmar names for a box as the publisher writes it.
std::string BoxDigest(const float a[3], const float b[3]) {
  Surface written;
  AddBox(written, a, b);
  velmar::Geometry g;
  for (const Vertex& v : written.vertices) {
    g.positions.insert(g.positions.end(), v.p, v.p + 3);
    g.normals.insert(g.normals.end(), v.n, v.n + 3);
    g.texCoords.insert(g.texCoords.end(), v.t, v.t + 2);
  }
  g.indices = written.indices;
  return velmar::DigestText(velmar::GeometryDigest(&g));
}

}  // namespace

// One scene, edited step by step. The mirror here equals what was
// published (triangles, bounds, the glass's back copy, texture pixels from
// a block and from a file, camera, percent-decoded status) and reads again
// only the part an edit touched. velmar's update for each step names by
// content what it brought (surfaces with name, colour, triangles, bounds
// and digest; surfaces gone; the camera) and nothing else, a picture
// follows each update, drawn from the camera once there is one, and the
// glTF file is written when the link ends.
TEST(PeerVelmarTest, AMirrorHoldsWhatWasPublishedWhileVelmarNamesEachStep) {
  livelink_test::Isolated();
  const std::u16string name = UniqueName("content");
  Publisher publisher(name);
  ASSERT_TRUE(publisher.Started());
  auto ask = [&](const std::string& command) { return publisher.Ask(command); };
  const std::uint32_t wall = publisher.Id("surface WALL 0 aaaaaa 1 Brick wall");
  ask("quad WALL -2 0 5 -2 3 5 2 3 5 2 0 5");
  ask("geometry WALL");
  ask("texture WALL 16 8 3");
  const std::uint32_t box = publisher.Id("surface BOX 0 ff0000 1 Red");
  ask("box BOX -0.5 0 2 0.5 1 3");
  ask("geometry BOX");
  ask("surface GLASS 2 2850ff 0.4 Window glass");
  ask("quad GLASS 0.5 1.5 4 0.5 2.5 4 1.5 2.5 4 1.5 1.5 4");
  ask("double GLASS");
  ask("geometry GLASS");
  ask("status tool=hostsim+test vertices=40");
  ask("publish");

  const auto dir = std::filesystem::temp_directory_path() / ("velmar-content-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string glb = (dir / "model.glb").string();
  auto velmar = StartVelmar({"run", "--link", Narrow(name), "--snapshots", dir.string(), "--gltf", glb, "--size",
                             "160x120", "--exit-when-ended"});
  ASSERT_NE(velmar, nullptr);
  LiveConnection guest;
  ASSERT_EQ(guest.Open(name), 0);
  velmar::SceneMirror mirror(guest);
  velmar::UpdateStats stats = mirror.Update();
  EXPECT_TRUE(stats.locked);
  EXPECT_EQ(Parts(stats), (std::array<std::size_t, 3>{3, 3, 3}));
  EXPECT_TRUE(mirror.TakeProblems().empty());
  const velmar::Scene& scene = mirror.scene();
  EXPECT_EQ(scene.TriangleCount(), 2u + 12u + 4u);  // the glass has its back copy
  EXPECT_EQ(scene.ComputeBounds().min, (velmar::Vec3{-2, 0, 2}));
  EXPECT_EQ(scene.ComputeBounds().max, (velmar::Vec3{2, 3, 5}));
  ASSERT_TRUE(Find(mirror, "Red") != nullptr && Find(mirror, "Window glass") != nullptr);
  EXPECT_TRUE(Find(mirror, "Window glass")->glass());
  EXPECT_FLOAT_EQ(Find(mirror, "Window glass")->opacity, 0.4f);
  EXPECT_EQ(scene.status.at("tool"), "hostsim test");
  EXPECT_EQ(scene.status.at("vertices"), "40");
  // The memory texture arrives pixel for pixel (blue, green, red, alpha
  // in the block; red, green, blue, alpha held).
  const velmar::Surface* brick = Find(mirror, "Brick wall");
  ASSERT_TRUE(brick != nullptr && brick->texture != nullptr);
  std::vector<std::uint8_t> texels;
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 16; ++x) {
      std::uint8_t t[4];
      TestTexel(3, x, y, t);
      texels.insert(texels.end(), {t[2], t[1], t[0], t[3]});
    }
  EXPECT_EQ(brick->texture->image.width * 1000 + brick->texture->image.height, 16008);
  EXPECT_EQ(brick->texture->image.rgba, texels);
  EXPECT_FALSE(mirror.Update().changed()) << "nothing published, nothing read";

  json update = NextEvent(*velmar, "update", [](const json& u) { return u["scene"]["triangles"] == 18; });
  ASSERT_FALSE(update.is_null());
  EXPECT_EQ(update["scene"]["surfaces"], 3);
  EXPECT_EQ(update["scene"]["textures"], 1);
  const float lo[3] = {-0.5f, 0, 2}, hi[3] = {0.5f, 1, 3};
  const std::string boxDigest = BoxDigest(lo, hi);
  json red = {{"slot", Find(mirror, "Red")->slot},
              {"id", box},
              {"name", "Red"},
              {"surfaceType", 0},
              {"colour", "FFFF0000"},
              {"opacity", 1.0},
              {"texture", nullptr},
              {"vertices", 24},
              {"triangles", 12},
              {"geometryDigest", boxDigest},
              {"bounds", {{"min", {-0.5, 0.0, 2.0}}, {"max", {0.5, 1.0, 3.0}}}}};
  EXPECT_EQ(Named(update, box), red);
  EXPECT_EQ(Named(update, wall)["name"], "Brick wall");
  json picture = NextEvent(*velmar, "picture");
  EXPECT_EQ(picture["camera"], "framing");  // no camera sent yet
  velmar::Image image;
  std::string error;

  // A colour: that surface's parameters, its triangles as they were.
  ask("material BOX 00ff00");
  ask("publish");
  EXPECT_EQ(Parts(mirror.Update()), (std::array<std::size_t, 3>{1, 0, 0}));
  EXPECT_EQ(Find(mirror, "Red")->colour, 0xFF00FF00u);
  update = NextEvent(*velmar, "update", [&](const json& u) { return !Named(u, box).is_null(); });
  red["colour"] = "FF00FF00";
  EXPECT_EQ(update["changed"], json({{"surfaces", {red}}, {"removed", json::array()}}));

  // More triangles for the box: its geometry only.
  ask("box BOX 0.5 0 2 1 0.5 3");
  ask("geometry BOX");
  ask("publish");
  EXPECT_EQ(Parts(mirror.Update()), (std::array<std::size_t, 3>{0, 1, 0}));
  EXPECT_EQ(Find(mirror, "Red")->geometry->triangleCount(), 24u);

  // A new texture: that texture only; then the same picture as a file.
  ask("texture WALL 16 8 9");
  EXPECT_EQ(Parts(mirror.Update()), (std::array<std::size_t, 3>{0, 0, 1}));
  const velmar::Image fromBlock = Find(mirror, "Brick wall")->texture->image;
  const std::string png = (dir / "wall.png").string();
  ASSERT_TRUE(velmar::WritePng(png, fromBlock, &error)) << error;
  ask("texfile WALL " + png);
  EXPECT_EQ(Parts(mirror.Update()), (std::array<std::size_t, 3>{0, 0, 1}));
  ASSERT_NE(Find(mirror, "Brick wall")->texture, nullptr);
  EXPECT_EQ(Find(mirror, "Brick wall")->texture->image.rgba, fromBlock.rgba);
  // velmar names the file (read before the camera below, so that the
  // camera's update carries nothing else).
  EXPECT_FALSE(NextEvent(*velmar, "update", [&](const json& u) { return Named(u, wall)["texture"] == png; }).is_null());
  // Of all this the wall's geometry was read once, the box's twice.
  EXPECT_EQ(mirror.readCounts().at(wall).geometry, 1u);
  EXPECT_EQ(mirror.readCounts().at(box).geometry, 2u);
  EXPECT_EQ(mirror.readCounts().at(box).parameters, 2u);

  // The camera: its record and no surface; the picture is drawn from it,
  // the green box in the middle.
  ask("camera 0 1.5 -3 0 1.5 5 60");
  EXPECT_TRUE(mirror.Update().cameraRead);
  EXPECT_EQ(scene.camera.position, (velmar::Vec3{0, 1.5f, -3}));
  update = NextEvent(*velmar, "update", [](const json& u) { return u["changed"].contains("camera"); });
  EXPECT_EQ(update["changed"], json::parse(R"({"surfaces":[],"removed":[],"camera":{"followed":true,"kind":6,
      "position":[0.0,1.5,-3.0],"backward":[0.0,0.0,-1.0],"up":[0.0,1.0,0.0],"fieldOfView":60.0}})"));
  picture = NextEvent(*velmar, "picture");
  EXPECT_EQ(picture["camera"], "followed");
  ASSERT_TRUE(velmar::ReadImageFile(picture["path"], &image, &error)) << error;
  ASSERT_EQ(image.width * 1000 + image.height, 160120);
  const std::uint8_t* centre = image.At(80, 80);  // the box's front face
  EXPECT_TRUE(centre[0] < 20 && centre[1] > 100 && centre[2] < 20)
      << int(centre[0]) << " " << int(centre[1]) << " " << int(centre[2]);

  // A retired surface leaves and is named as gone; the camera stops being
  // followed.
  ask("retire BOX");
  ask("nocamera");
  stats = mirror.Update();
  EXPECT_EQ(stats.surfacesRemoved, 1u);
  EXPECT_EQ(Find(mirror, "Red"), nullptr);
  EXPECT_FALSE(scene.camera.followed);
  EXPECT_TRUE(mirror.TakeProblems().empty());
  update = NextEvent(*velmar, "update", [](const json& u) { return !u["changed"]["removed"].empty(); });
  EXPECT_EQ(update["changed"].value("camera", json())["followed"], false);
  update["changed"].erase("camera");
  EXPECT_EQ(update["changed"], json({{"surfaces", json::array()}, {"removed", {box}}}));

  // The status alone, grown into a bigger block (read by velmar's own poll,
  // no wake-up): an update that names no surface and no camera.
  ask("status toolName=" + std::string(300, 'x'));
  mirror.Update();
  EXPECT_EQ(scene.status.at("toolName"), std::string(300, 'x'));
  update = NextEvent(*velmar, "update", [](const json& u) { return u["read"]["status"] == true; });
  ASSERT_FALSE(update.is_null());
  EXPECT_EQ(update["changed"], json::parse(R"({"surfaces":[],"removed":[]})"));

  // The link ends: the glTF file holds what was left, the wall and the glass.
  guest.Close();
  ask("destroy");
  const json gltf = NextEvent(*velmar, "gltf");
  EXPECT_EQ(gltf["meshes"], 2);
  EXPECT_EQ(gltf["triangles"], 6);
  EXPECT_EQ(gltf["images"], 1);
  EXPECT_FALSE(NextEvent(*velmar, "exit").is_null());
  std::filesystem::remove_all(dir);
}

// The registry of connections that cannot be read (its values file damaged
// under velmar) says nothing about the link: velmar says so once, follows
// the link's edits all along, and, once the registry reads again, still
// knows a link its publisher removed for what it is.
TEST(PeerVelmarTest, AnUnreadableRegistryIsNoVerdictThatTheLinkEnded) {
  const std::string root = livelink_test::Isolated().root();
  const std::u16string name = UniqueName("unreadable");
  Publisher publisher(name);
  ASSERT_TRUE(publisher.Started());
  publisher.Ask("surface BOX 0 ff0000 1 Red");
  publisher.Ask("box BOX -0.5 0 2 0.5 1 3");
  publisher.Ask("geometry BOX");
  auto velmar = StartVelmar({"run", "--exit-when-ended", "--link", Narrow(name)});
  ASSERT_NE(velmar, nullptr);
  EXPECT_EQ(publisher.Ask("publish"), "published 0");
  ASSERT_FALSE(NextEvent(*velmar, "update").is_null());

  const std::string values = root + "/hkcu/Software/Torvik/LiveConnections/.values.json";
  std::string kept;
  {
    std::ifstream in(values, std::ios::binary);
    kept.assign(std::istreambuf_iterator<char>(in), {});
  }
  ASSERT_NE(kept.find("unreadable-"), std::string::npos);
  std::ofstream(values, std::ios::binary | std::ios::trunc) << "{ this is no registry";
  // The next liveness check meets it: a problem, not the link's end.
  const json problem = NextEvent(*velmar, "problem", [](const json& e) { return e["record"] == "registry"; });
  ASSERT_FALSE(problem.is_null()) << "velmar took the unreadable registry for a verdict";
  for (const char* colour : {"00ff00", "0000ff"}) {
    publisher.Ask(std::string("material BOX ") + colour);
    EXPECT_EQ(publisher.Ask("publish"), "published 0");
    const json update = NextEvent(*velmar, "update", [](const json& e) { return e["read"]["parameters"] == 1; });
    ASSERT_FALSE(update.is_null()) << colour;
  }
  // Readable again: said so; then the publisher's removal ends the link.
  std::ofstream(values, std::ios::binary | std::ios::trunc) << kept;
  ASSERT_FALSE(NextEvent(*velmar, "registry").is_null());
  publisher.Ask("destroy");
  const json ended = NextEvent(*velmar, "link-ended");
  EXPECT_EQ(ended["reason"], "the publisher removed it");
  ExpectCleanExit(*velmar);
  publisher.child().Send("quit");
}
