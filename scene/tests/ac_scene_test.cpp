// The scene with a host in this program answering the glue, a project in a
// real file and a guest connection reading the link as a renderer does
// (random edits and races between real processes: the exactness test).
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <numeric>
#include <semaphore>
#include <thread>

#include "base/utf.h"
#include "hostmodel/edit.h"
#include "isolation.h"
#include "livelink/canonical_scene.h"
#include "livelink/layout.h"
#include "livelink/link_reader.h"
#include "livelink/live_connection.h"
#include "scene/ac_scene.h"
#include "scene/material_library.h"
#include "test_host.h"

namespace {

using CorvantaAPI::CanonicalScene;
using scene::ACScene;
using scene::VertexCountText;
using scene_test::MakeMaterial;
using scene_test::U16;

// Materials 1 brick, 2 glass, 3 oak (unused); boxes alternate between brick
// and glass, starting with brick.
hostmodel::Project Boxes(int boxes) {
  hostmodel::Project p;
  p.materials = {MakeMaterial("Brick", {0.7, 0.3, 0.2}), MakeMaterial("Glass", {0.6, 0.8, 0.9}),
                 MakeMaterial("Oak", {0.5, 0.4, 0.2})};
  for (int i = 0; i < boxes; ++i) {
    const double x = 2.0 * i;
    EXPECT_TRUE(hostmodel::AddBox(p, {x, 0, 0}, {x + 1, 1, 1 + 0.1 * i}, 1 + i % 2, "Box" + std::to_string(i)).ok());
  }
  return p;
}

// What the renderer must hold of boxes, from the host's materials and box
// corners alone (renderer frame: host x, z, y): a surface per material, the
// default first, in the material's colour (components times 255, cut), with
// 12 triangles a built box, each on a face of its boxes, counter-clockwise
// from outside, with the outward normal and no texture; they cover the face.
void ExpectBoxes(CorvantaAPI::LiveConnection& link, const hostmodel::Project& p) {
  const CanonicalScene held = CorvantaAPI::ReadCanonicalScene(link);
  using Box = std::array<std::array<float, 3>, 2>;
  std::map<std::u16string, std::vector<Box>> boxes{{u"Default material", {}}};
  std::map<std::u16string, std::uint32_t> colours{{u"Default material", 0xFFAAAAAAu}};
  for (const auto& m : p.materials)
    colours[U16(m.name)] = 0xFF000000u | std::uint32_t(m.surfaceColor.r * 255) << 16 |
                           std::uint32_t(m.surfaceColor.g * 255) << 8 | std::uint32_t(m.surfaceColor.b * 255);
  for (const auto& e : p.elements)
    for (const auto& b : e.bodies) {
      const auto &lo = b.vertices[0], hi = b.vertices[7];  // the host's box corners
      if (e.genId != 0)
        boxes[U16(p.materials.at(std::size_t(b.polygons[0].materialIndex - 1)).name)].push_back(
            Box{{{float(lo.x), float(lo.z), float(lo.y)}, {float(hi.x), float(hi.z), float(hi.y)}}});
    }
  EXPECT_TRUE(held.problems.empty());
  EXPECT_EQ(held.firstSurface, u"Default material");
  ASSERT_EQ(held.surfaces.size(), colours.size());
  for (const auto& s : held.surfaces) {
    const std::vector<Box>& own = boxes[s.material.name];
    EXPECT_EQ(s.material.colour, colours[s.material.name]) << base::ToUtf8(s.material.name);
    ASSERT_EQ(s.triangles.size(), 12 * own.size()) << base::ToUtf8(s.material.name);
    std::vector<double> area(6 * own.size());
    for (const auto& t : s.triangles) {
      auto d = [&](int c, int k) { return double(t[c].position[k]) - t[0].position[k]; };
      bool found = false;
      for (std::size_t f = 0; f < area.size() && !found; ++f) {
        const Box& box = own[f / 6];
        const int axis = int(f % 6) / 2, side = int(f % 2), u = (axis + 1) % 3, v = (axis + 2) % 3;
        found = true;
        for (const auto& c : t)
          for (int k = 0; k < 3; ++k)
            found = found &&
                    (k == axis ? c.position[k] == box[side][k]
                               : c.position[k] >= box[0][k] && c.position[k] <= box[1][k]) &&
                    c.normal[k] == (k == axis ? float(2 * side - 1) : 0.0f) && c.texCoord == std::array{0.0f, 1.0f};
        if (found) area[f] += (d(1, u) * d(2, v) - d(1, v) * d(2, u)) * (2 * side - 1) / 2;  // signed by the winding
      }
      EXPECT_TRUE(found) << base::ToUtf8(s.material.name) << " holds a triangle on no face of its boxes";
    }
    for (std::size_t f = 0; f < area.size(); ++f) {
      const Box& box = own[f / 6];
      const int u = (int(f % 6) / 2 + 1) % 3, v = (int(f % 6) / 2 + 2) % 3;
      EXPECT_NEAR(area[f], double(box[1][u] - box[0][u]) * (box[1][v] - box[0][v]), 1e-5) << "face " << f;
    }
  }
}

bool WaitForBatch(const ACScene& scene, std::uint64_t before) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < end) {
    if (scene.CompletedBatches() > before && !scene.IsPublishRequested()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

class SceneTest : public scene_test::HostFixture {
 protected:
  void SetUp() override {
    livelink_test::Isolated();
    HostFixture::SetUp();
    name = livelink_test::UniqueName("scene") + u".dae";
    ASSERT_EQ(connection.Create(name, 5000), CorvantaAPI::CreateResult::kOk);
    ASSERT_EQ(guest.Open(name), 0);
    materials = std::make_unique<scene::MaterialLibrary>(&connection);
    scene = std::make_unique<ACScene>(&connection, materials.get());
    scene->SetDebugOutput([this](const char* text) { debugLines.emplace_back(text); });
  }
  void TearDown() override {
    scene.reset();
    materials.reset();
    guest.Close();
    connection.Destroy();
    HostFixture::TearDown();
  }

  void Start() {
    materials->BeginLink(&model, U16(projectPath));
    scene->Begin(&model, nullptr);
    scene->RequestPublish();
  }
  // A walk that finds the edit, and the batch that publishes it.
  void Republish() {
    const std::uint64_t batches = scene->CompletedBatches();
    ASSERT_TRUE(scene->Resync());
    scene->RequestPublish();
    ASSERT_TRUE(WaitForBatch(*scene, batches));
  }

  // Per surface record in slot order, read under the lock: its change
  // count, or its geometry's.
  std::vector<std::uint32_t> ChangeCounts(bool geometry) {
    std::vector<std::uint32_t> counts;
    EXPECT_TRUE(guest.Lock(1000000));
    for (const auto& r : CorvantaAPI::LinkReader(guest).Read().records) {
      const auto* record = reinterpret_cast<const std::uint8_t*>(guest.FindRecord(r.id));
      if (r.type != CorvantaAPI::kTypeSurface || record == nullptr) continue;
      std::uint32_t n = r.changeCount;
      if (geometry) std::memcpy(&n, record + CorvantaAPI::kSurfaceGeometryChangeOffset, 4);
      counts.push_back(n);
    }
    guest.Unlock();
    return counts;
  }
  static int Differing(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
    return a.size() != b.size()
               ? -1
               : std::inner_product(a.begin(), a.end(), b.begin(), 0, std::plus<>(), std::not_equal_to<>());
  }

  hostmodel::Guid ElementGuid(int index) const { return host->CurrentProject().elements.at(index).guid; }

  std::u16string name;
  CorvantaAPI::LiveConnection connection, guest;
  std::unique_ptr<scene::MaterialLibrary> materials;
  std::unique_ptr<ACScene> scene;
  std::vector<std::string> debugLines;
};

TEST_F(SceneTest, StartPublishesEveryMaterialAndEditsRewriteOnlyTheMaterialsTheyTouch) {
  Open(Boxes(4));  // boxes 0, 2 brick; 1, 3 glass
  EXPECT_TRUE(connection.EnumConnections(0).empty());
  Start();
  ASSERT_TRUE(WaitForBatch(*scene, 0));
  EXPECT_EQ(std::tuple(scene->ElementCount(), scene->DirtyKeyCount(), scene->GetVertexCountText()),
            std::tuple(4u, 0u, VertexCountText(4 * 8)));  // eight corners a box
  EXPECT_EQ(VertexCountText(2147483648ull + 5) + u" " + VertexCountText(4294967296ull * 3), u"2147483653 12884901888");
  ExpectBoxes(guest, host->CurrentProject());
  // The link is announced once its first batch is out.
  EXPECT_EQ(connection.EnumConnections(0), std::vector<std::u16string>{name});
  EXPECT_NE(guest.TestFlags(CorvantaAPI::kFlagChanged), 0u);

  // Moving a brick box rebuilds it: only brick's geometry is written again.
  auto before = ChangeCounts(true);
  ASSERT_TRUE(host->MoveElement(ElementGuid(0), {0, 0, 1}).ok());
  Republish();
  EXPECT_EQ(Differing(before, ChangeCounts(true)), 1);
  ExpectBoxes(guest, host->CurrentProject());

  // A colour edit bumps the material's stamp alone: only its record goes out.
  before = ChangeCounts(false);
  ASSERT_TRUE(host->SetMaterialColor(2, {0.1, 0.2, 0.3}).ok());
  Republish();
  EXPECT_EQ(Differing(before, ChangeCounts(false)), 1);
  ExpectBoxes(guest, host->CurrentProject());

  // Deleting a glass box: glass loses its triangles, the element its entry.
  ASSERT_TRUE(host->DeleteElement(ElementGuid(1)).ok());
  Republish();
  EXPECT_EQ(scene->ElementCount(), 3u);
  ExpectBoxes(guest, host->CurrentProject());

  // A walk that finds nothing new reports nothing and requests nothing.
  EXPECT_FALSE(scene->Resync());
  scene->RequestPublish();
  EXPECT_FALSE(scene->IsPublishRequested());
}

// A publishing turn that fails (memory ran out inside it, under the link's
// lock) neither ends the host with the worker's thread nor loses the
// batch: the lock and the gate go back, the failure is told once, and the
// next turns publish the whole model; a later edit goes out as ever.
TEST_F(SceneTest, AFailedPublishingTurnIsToldOnceAndTheNextTurnPublishesAll) {
  std::atomic<int> failures{2};
  scene->SetWorkerTurnHook([&] {
    if (failures.fetch_sub(1) > 0) throw std::bad_alloc();
  });
  // The worker tells it, on its own thread.
  std::mutex linesMutex;
  std::vector<std::string> lines;
  scene->SetDebugOutput([&](const char* text) {
    const std::lock_guard lock(linesMutex);
    lines.emplace_back(text);
  });
  auto told = [&] {
    const std::lock_guard lock(linesMutex);
    return lines;
  };
  Open(Boxes(4));
  Start();
  ASSERT_TRUE(WaitForBatch(*scene, 0));
  ExpectBoxes(guest, host->CurrentProject());
  // "Runs again" follows the batch: the turn tells it once it has ended.
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
       told().size() < 2 && std::chrono::steady_clock::now() < end;)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(told(), (std::vector<std::string>{"Corvanta: publishing stopped: std::bad_alloc\n",
                                              "Corvanta: publishing runs again after 2 failed\n"}));
  ASSERT_TRUE(host->MoveElement(ElementGuid(3), {0, 0, 1}).ok());
  Republish();
  ExpectBoxes(guest, host->CurrentProject());
  EXPECT_EQ(told().size(), 2u);
}

// Walk edge cases, on a 3D model whose snapshots the test sets itself (the
// host serves the three materials).
class SceneWalkTest : public SceneTest {
 protected:
  void SetUp() override {
    SceneTest::SetUp();
    Open(Boxes(0));
    model = ModelerAPI::Model();
    model.Attach(own);
  }
  void SetModel(const hostmodel::Project& p) { own->SetSnapshot(std::make_shared<hostmodel::Project>(p)); }
  std::shared_ptr<Modeler::Model3D> own =
      std::make_shared<Modeler::Model3D>(std::make_shared<hostmodel::Project>(Boxes(3)));
};

// Edge elements at the start; a walk that cannot take the model gate while
// a turn holds it, which must free nothing and leave the work for the next
// walk; then an emptied model.
TEST_F(SceneWalkTest, EdgeElementsADeferredWalkAndAnEmptiedModel) {
  // Once asked to, the worker's next turn signals that it started and then
  // waits for the release.
  std::atomic<bool> holdNextTurn{false};
  std::binary_semaphore inTurn{0}, release{0};
  scene->SetWorkerTurnHook([&] {
    if (!holdNextTurn.exchange(false)) return;
    inTurn.release();
    release.acquire();
  });
  hostmodel::Project p = Boxes(3);
  const std::size_t boxCorners = p.elements[0].bodies[0].vertices.size();
  hostmodel::Element empty;
  empty.guid = hostmodel::Guid::FromName("no bodies");
  p.elements.push_back(empty);
  hostmodel::Element unbuilt = p.elements[0];
  unbuilt.guid = hostmodel::Guid::FromName("generation 0");
  unbuilt.genId = 0;
  p.elements.push_back(unbuilt);
  SetModel(p);
  Start();
  ASSERT_TRUE(WaitForBatch(*scene, 0));
  // The element without bodies is not entered; the one with id 0 is, but
  // nothing of it is built.
  EXPECT_EQ(std::tuple(scene->ElementCount(), scene->GetVertexCountText()),
            std::tuple(4u, VertexCountText(3 * boxCorners)));

  // An element whose generation id falls to 0 builds nothing: its meshes
  // go, and the walk that dropped them has changed the model.
  p.elements[2].genId = 0;
  SetModel(p);
  Republish();
  ExpectBoxes(guest, p);
  p.elements[2].genId = 7;  // and built again under a new one
  SetModel(p);
  Republish();
  ExpectBoxes(guest, p);

  // A known element that loses its bodies under a new id leaves something
  // to publish: a turn starts and is held open; meanwhile another element
  // disappears from the model.
  holdNextTurn = true;
  p.elements[0].bodies.clear();
  p.elements[0].genId += 1;
  SetModel(p);
  ASSERT_TRUE(scene->Resync());
  scene->RequestPublish();
  ASSERT_TRUE(inTurn.try_acquire_for(std::chrono::seconds(5)));
  p.elements.erase(p.elements.begin() + 1);
  SetModel(p);
  EXPECT_FALSE(scene->Resync());
  // Nothing was freed under the turn.
  EXPECT_EQ(std::tuple(scene->IsWalkDeferred(), scene->ElementCount(), debugLines.empty() ? "" : debugLines.back()),
            std::tuple(true, 4u, "\n --- Can't lock mutex! ---\n"));
  release.release();
  // Once the turn hands the gate back, the next walk does the deferred
  // work; the element without bodies keeps its entry.
  const std::uint64_t batches = scene->CompletedBatches();
  bool walked = scene->Resync();
  for (int i = 0; i < 100 && !walked; ++i) walked = scene->Resync();
  ASSERT_TRUE(walked && !scene->IsWalkDeferred());
  scene->RequestPublish();
  ASSERT_TRUE(WaitForBatch(*scene, batches));
  EXPECT_EQ(scene->ElementCount(), 3u);
  ExpectBoxes(guest, p);

  // An emptied model removes every element, once.
  p.elements.clear();
  SetModel(p);
  Republish();
  ExpectBoxes(guest, p);
  EXPECT_EQ(std::tuple(scene->ElementCount(), scene->GetVertexCountText(), scene->Resync()),
            std::tuple(0u, u"0", false));
  EXPECT_TRUE(scene->PublishPass(100)) << "a pass with nothing to do is complete at once";
}

}  // namespace
