// Edits, views and events as an attached add-on sees them: a model read
// once through EXPGetModel follows every edit, only the edited elements get
// new generation ids, only the edited materials new stamps, and observers
// and event handlers hear of each change.
#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "hostmodel/sample.h"
#include "hostsdk/requests.h"
#include "runtime_fixture.h"

namespace {

using hostrt_test::HostWithAddon;
using nlohmann::json;

std::map<std::string, std::uint32_t> GenIds(const json& dump) {
  std::map<std::string, std::uint32_t> ids;
  for (const auto& e : dump["elements"]) ids[e["guid"]] = e["genId"];
  return ids;
}

std::map<int, std::int64_t> Stamps(const json& dump) {
  std::map<int, std::int64_t> stamps;
  for (const auto& m : dump["materials"])
    if (m["result"] == NoError) stamps[m["index"]] = m["stamp"];
  return stamps;
}

// Elements whose generation id differs between two reads, and those that
// came and went.
struct Difference {
  std::set<std::string> changed, added, removed;
};
Difference Diff(const std::map<std::string, std::uint32_t>& a, const std::map<std::string, std::uint32_t>& b) {
  Difference d;
  for (auto& [g, id] : a) {
    auto it = b.find(g);
    if (it == b.end()) {
      d.removed.insert(g);
    } else if (it->second != id) {
      d.changed.insert(g);
    }
  }
  for (auto& [g, id] : b) {
    if (!a.count(g)) d.added.insert(g);
  }
  return d;
}

std::set<std::string> Texts(const std::vector<hostmodel::Guid>& guids) {
  std::set<std::string> out;
  for (auto& g : guids) out.insert(g.ToString());
  return out;
}

class HostEdits : public HostWithAddon {
 protected:
  void SetUp() override {
    HostWithAddon::SetUp();
    ASSERT_TRUE(host->OpenSampleProject().ok());
    ASSERT_EQ(probe->attach(), NoError);
    probe->clearJournal();
    before = Dump();
  }
  hostmodel::Guid ElementGuid(std::size_t i) { return host->CurrentProject().elements.at(i).guid; }
  json before;
};

TEST_F(HostEdits, ElementEditsBumpOnlyTheEditedElements) {
  const hostmodel::Guid first = ElementGuid(0);
  auto moved = host->MoveElement(first, {1.0, 0.0, 0.0});
  ASSERT_TRUE(moved.ok()) << moved.error();
  json after = Dump();
  Difference d = Diff(GenIds(before), GenIds(after));
  EXPECT_EQ(d.changed, std::set<std::string>{first.ToString()});
  EXPECT_TRUE(d.added.empty() && d.removed.empty());
  EXPECT_EQ(Stamps(after), Stamps(before)) << "moving an element changes no material";
  // The moved element's vertices moved by the offset, read through the same
  // model object the add-on took before the edit.
  const json& v0 = before["elements"][0]["bodies"][0]["vertices"][0];
  const json& v1 = after["elements"][0]["bodies"][0]["vertices"][0];
  EXPECT_DOUBLE_EQ(v1[0].get<double>(), v0[0].get<double>() + 1.0);
  EXPECT_EQ(JournalCount("model elements 1 " + first.ToString()), 1);

  before = after;
  auto copied = host->CopyElement(first, {0.0, 5.0, 0.0});
  ASSERT_TRUE(copied.ok()) << copied.error();
  after = Dump();
  d = Diff(GenIds(before), GenIds(after));
  EXPECT_TRUE(d.changed.empty());
  EXPECT_EQ(d.added, Texts(copied.value().addedElements));
  EXPECT_EQ(d.added.size(), 1u);

  before = after;
  const hostmodel::Guid second = ElementGuid(1);
  auto deleted = host->DeleteElement(second);
  ASSERT_TRUE(deleted.ok()) << deleted.error();
  after = Dump();
  d = Diff(GenIds(before), GenIds(after));
  EXPECT_EQ(d.removed, std::set<std::string>{second.ToString()});
  EXPECT_TRUE(d.changed.empty() && d.added.empty());

  before = after;
  auto box = host->AddBox({10, 10, 0}, {11, 12, 3}, 1, "Crate");
  ASSERT_TRUE(box.ok()) << box.error();
  after = Dump();
  d = Diff(GenIds(before), GenIds(after));
  ASSERT_EQ(d.added.size(), 1u);
  EXPECT_TRUE(d.changed.empty());
  const json& crate = after["elements"].back();
  EXPECT_EQ(crate["guid"], *d.added.begin());
  EXPECT_TRUE(crate["bodies"][0]["closed"].get<bool>());
  EXPECT_NE(crate["genId"], 0);
}

TEST_F(HostEdits, MaterialEditsBumpOnlyTheirStamps) {
  const auto project = host->CurrentProject();
  ASSERT_GE(project.materials.size(), 2u);
  auto coloured = host->SetMaterialColor(2, {0.1, 0.9, 0.1});
  ASSERT_TRUE(coloured.ok()) << coloured.error();
  json after = Dump();
  auto s0 = Stamps(before), s1 = Stamps(after);
  for (auto& [index, stamp] : s0) {
    if (index == 2) {
      EXPECT_NE(s1[index], stamp);
    } else {
      EXPECT_EQ(s1[index], stamp) << "material " << index;
    }
  }
  EXPECT_NEAR(after["materials"][1]["surface"][1].get<double>(), 0.9, 1e-9);
  // A material edit is the material's alone: no element is rebuilt, so no
  // generation id moves (readers learn of it by the stamp).
  Difference d = Diff(GenIds(before), GenIds(after));
  EXPECT_TRUE(d.changed.empty() && d.added.empty() && d.removed.empty());
  EXPECT_TRUE(coloured.value().changedElements.empty());
  // The observer hears of it, naming the elements that show the material.
  EXPECT_EQ(JournalCount("model elements"), 1);

  before = after;
  ASSERT_TRUE(host->SetMaterialTransparency(2, 70).ok());
  after = Dump();
  EXPECT_EQ(after["materials"][1]["transparency"], 70);
  EXPECT_NE(Stamps(after)[2], Stamps(before)[2]);
  EXPECT_EQ(Stamps(after)[1], Stamps(before)[1]);
}

TEST_F(HostEdits, RefusedEditsChangeNothingAndNotifyNobody) {
  hostmodel::Guid unknown;
  unknown.bytes[0] = 0x42;
  EXPECT_FALSE(host->MoveElement(unknown, {1, 1, 1}).ok());
  EXPECT_FALSE(host->SetMaterialColor(9999, {0, 0, 0}).ok());
  EXPECT_FALSE(host->SetElementMaterial(ElementGuid(0), 9999).ok());
  EXPECT_FALSE(host->AddBox({0, 0, 0}, {1, 1, 1}, 9999).ok());
  EXPECT_EQ(Dump(), before);
  EXPECT_EQ(JournalCount("model"), 0);
  EXPECT_FALSE(host->IsModified());
}

TEST_F(HostEdits, AnElementReadBeforeAnEditStaysConsistent) {
  AttributeReader reader;
  ModelerAPI::Model model;
  ASSERT_EQ(EXPGetModel(host->WindowSight(), &model, &reader), NoError);
  ModelerAPI::Element element;
  model.GetElement(1, &element);
  const UInt32 oldId = element.GetGenId();
  ModelerAPI::Body body;
  element.GetBody(1, &body);
  ModelerAPI::Vertex v;
  body.GetVertex(1, &v);
  ASSERT_TRUE(host->MoveElement(ElementGuid(0), {0, 0, 2}).ok());
  // The old objects still read the state they came from ...
  ModelerAPI::Vertex again;
  body.GetVertex(1, &again);
  EXPECT_EQ(again.z, v.z);
  EXPECT_EQ(element.GetGenId(), oldId);
  // ... and a fresh read sees the edit.
  ModelerAPI::Element fresh;
  model.GetElement(1, &fresh);
  EXPECT_NE(fresh.GetGenId(), oldId);
  ModelerAPI::Body freshBody;
  fresh.GetBody(1, &freshBody);
  freshBody.GetVertex(1, &again);
  EXPECT_DOUBLE_EQ(again.z, v.z + 2);
}

TEST_F(HostEdits, CameraAndProjectionChangesReachSightObservers) {
  hostmodel::Camera camera = host->State().camera;
  camera.projection = 1;
  camera.viewPoint = {0, 0, 1.6};
  camera.targetPoint = {0, 10, 1.6};
  camera.viewAngle = 60;
  camera.drawRect = {0, 0, 600, 800};
  ASSERT_TRUE(host->SetCamera(camera).ok());
  EXPECT_EQ(JournalCount("camera persp=1"), 1);
  json seen = json::parse(probe->readCamera());
  EXPECT_EQ(seen["projection"], 1);
  EXPECT_DOUBLE_EQ(seen["viewAngle"].get<double>(), 60.0);
  EXPECT_EQ(seen["drawRect"], json({0, 0, 600, 800}));
  EXPECT_EQ(seen["viewPoint"], json({0.0, 0.0, 1.6}));
  EXPECT_EQ(seen["targetPoint"], json({0.0, 10.0, 1.6}));

  ASSERT_TRUE(host->SetProjection(false).ok());
  EXPECT_EQ(JournalCount("camera persp=0"), 1);
  API_3DProjectionInfo info;
  ASSERT_EQ(probe->environment(APIEnv_Get3DProjectionSetsID, &info, nullptr), NoError);
  EXPECT_FALSE(info.isPersp);
  // The same projection again is no change.
  ASSERT_TRUE(host->SetProjection(false).ok());
  EXPECT_EQ(JournalCount("camera"), 2);
  // The add-on switches back to perspective itself.
  info.isPersp = true;
  ASSERT_EQ(probe->environment(APIEnv_Change3DProjectionSetsID, &info, nullptr), NoError);
  EXPECT_EQ(JournalCount("camera persp=1"), 2);
  ASSERT_EQ(probe->environment(APIEnv_Get3DProjectionSetsID, &info, nullptr), NoError);
  EXPECT_TRUE(info.isPersp);
  EXPECT_DOUBLE_EQ(info.persp.viewAngle, 60.0);
  ASSERT_EQ(probe->automate(APIDo_RebuildID, nullptr, nullptr), NoError);
  EXPECT_EQ(JournalCount("model rebuild"), 2);

  ASSERT_TRUE(host->MoveCamera({1, 0, 0}).ok());
  seen = json::parse(probe->readCamera());
  EXPECT_EQ(seen["viewPoint"], json({1.0, 0.0, 1.6}));
  EXPECT_FALSE(host->SetCamera(hostmodel::Camera{1, {}, {}, 0, 0, {}}).ok()) << "a view angle of 0 is refused";
}

TEST_F(HostEdits, WindowSwitchesAndProjectLifeReachEventHandlers) {
  ASSERT_TRUE(host->SwitchWindow(hostmodel::WindowType::ThreeD).ok());
  API_WindowInfo window;
  ASSERT_EQ(probe->database(APIDb_GetCurrentWindowID, &window, nullptr), NoError);
  EXPECT_EQ(window.typeID, APIWind_3DModelID);
  EXPECT_EQ(JournalCount("view 16"), 1);
  EXPECT_EQ(JournalCount("project 256 4"), 1);
  // The add-on changes the window: the same notification.
  window.typeID = APIWind_FloorPlanID;
  ASSERT_EQ(probe->database(APIDb_ChangeCurrentWindowID, &window, nullptr), NoError);
  EXPECT_EQ(JournalCount("view 16"), 2);
  window.typeID = API_WindowTypeID(77);
  EXPECT_NE(probe->database(APIDb_ChangeCurrentWindowID, &window, nullptr), NoError);

  probe->clearJournal();
  const std::string path = temp.File("events.pln");
  ASSERT_TRUE(host->SaveProjectAs(path).ok());
  ASSERT_TRUE(host->SaveProject().ok());
  ASSERT_TRUE(host->NewProject().ok());
  ASSERT_TRUE(host->OpenProject(path).ok());
  ASSERT_TRUE(host->CloseProject().ok());
  std::vector<std::string> events;
  for (const auto& line : probe->journal()) {
    if (line.rfind("project", 0) == 0) events.push_back(line);
  }
  EXPECT_EQ(events, (std::vector<std::string>{"project 8 0", "project 16 0", "project 8 0", "project 16 0",
                                              "project 32 0", "project 1 0", "project 32 0", "project 4 0",
                                              "project 32 0"}));
  // Closing the project invalidated the add-on's sight and ended its model.
  EXPECT_EQ(JournalCount("sight invalidated"), 1);
}

}  // namespace

namespace {

// A worker thread of the add-on reads the live model (and writes debug
// output) while the host edits on its own thread: every element it reads is
// whole, and nothing races.
TEST_F(HostEdits, ReadersOnOtherThreadsSeeWholeElementsDuringEdits) {
  AttributeReader reader;
  ModelerAPI::Model model;
  ASSERT_EQ(EXPGetModel(host->WindowSight(), &model, &reader), NoError);
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0};
  std::atomic<int> torn{0};
  std::thread worker([&] {
    int passes = 0;
    while (!stop.load()) {
      const Int32 n = model.GetElementNum();
      for (Int32 i = 1; i <= n; ++i) {
        ModelerAPI::Element e;
        model.GetElement(i, &e);
        if (e.IsInvalid()) continue;  // the model shrank meanwhile
        for (Int32 b = 1; b <= e.GetBodyNum(); ++b) {
          ModelerAPI::Body body;
          e.GetBody(b, &body);
          const Int32 vertices = body.GetVertexNum();
          for (Int32 p = 1; p <= body.GetPolygonCount(); ++p) {
            ModelerAPI::Polygon polygon;
            body.GetPolygon(p, &polygon);
            for (Int32 c = 1; c <= polygon.GetConvexPolygonNum(); ++c) {
              ModelerAPI::ConvexPolygon convex;
              polygon.GetConvexPolygon(c, &convex);
              for (Int32 k = 1; k <= convex.GetVertexNum(); ++k) {
                const Int32 v = convex.GetVertexIndex(k);
                if (v < 1 || v > vertices) torn.fetch_add(1);
              }
            }
          }
        }
        reads.fetch_add(1);
      }
      if (passes++ < 5) probe->debugPrint("worker pass\n");
    }
  });
  const hostmodel::Guid first = ElementGuid(0);
  for (int i = 0; i < 30; ++i) {
    ASSERT_TRUE(host->MoveElement(first, {0.01, 0, 0}).ok());
    auto copy = host->CopyElement(first, {0, 1, 0});
    ASSERT_TRUE(copy.ok());
    ASSERT_TRUE(host->DeleteElement(copy.value().addedElements.at(0)).ok());
  }
  while (reads.load() < 50) std::this_thread::yield();
  stop.store(true);
  worker.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(model.GetElementNum(), Int32(host->CurrentProject().elements.size()));
}

// Texture edits bump the material's stamp and nothing else; deleting a
// material leaves a hole the attribute requests report as deleted, and
// the elements that used it are rebuilt with the replacement.
TEST_F(HostEdits, TextureEditsAndDeletedMaterialsAsTheAddonReadsThem) {
  const int textured = [&] {
    const auto p = host->CurrentProject();
    for (std::size_t i = 0; i < p.materials.size(); ++i)
      if (p.materials[i].textureIndex != 0) return static_cast<int>(i + 1);
    return 0;
  }();
  ASSERT_NE(textured, 0) << "the sample has a textured material";
  ASSERT_TRUE(host->SetMaterialTexture(textured, 0).ok());
  json after = Dump();
  EXPECT_EQ(GenIds(after), GenIds(before));
  EXPECT_NE(Stamps(after)[textured], Stamps(before)[textured]);
  EXPECT_EQ(JournalCount("model elements"), 1) << "observers hear of the elements that show it";

  const std::size_t count = after["materials"].size();
  const auto users = host->DeleteMaterial(1, 2);
  ASSERT_TRUE(users.ok()) << users.error();
  before = after;
  after = Dump();
  ASSERT_EQ(after["materials"].size(), count) << "indices never move";
  EXPECT_EQ(after["materials"][0]["result"], APIERR_DELETED);
  EXPECT_EQ(after["materials"][1]["result"], NoError);
  EXPECT_EQ(after["materials"][1]["index"], 2);
  Difference d = Diff(GenIds(before), GenIds(after));
  EXPECT_EQ(d.changed, Texts(users.value().changedElements));
  EXPECT_FALSE(d.changed.empty());
  for (const auto& e : after["elements"])
    for (const auto& b : e["bodies"])
      for (const auto& p : b["polygons"]) EXPECT_NE(p["material"], 1);
}

}  // namespace
