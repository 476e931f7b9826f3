// Edits, views and events as an attached add-on sees them: a model read
// once through EXPGetModel follows every edit, only the edited elements get
// new generation ids, only the edited materials new stamps, and observers
// and event handlers hear of each change.
#include <atomic>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "hostmodel/sample.h"
#include "expected_dump.h"
#include "hostsdk/requests.h"
#include "runtime_fixture.h"

namespace {

using hostrt_test::Expected;
using hostrt_test::HostWithAddon;
using nlohmann::json;

// Generation ids by element, stamps by material (deleted ones absent).
std::map<std::string, std::int64_t> GenIds(const json& dump) {
  std::map<std::string, std::int64_t> ids;
  for (const auto& e : dump["elements"]) ids[e["guid"]] = e["genId"];
  return ids;
}
std::map<std::string, std::int64_t> Stamps(const json& dump) {
  std::map<std::string, std::int64_t> stamps;
  for (const auto& m : dump["materials"])
    if (m["result"] == NoError) stamps[std::to_string(m["index"].get<int>())] = m["stamp"];
  return stamps;
}

// The keys whose values differ between two reads, or that are in one only.
std::set<std::string> Differing(const std::map<std::string, std::int64_t>& a,
                                const std::map<std::string, std::int64_t>& b) {
  std::set<std::string> out;
  for (const auto& [k, v] : a)
    if (!b.count(k) || b.at(k) != v) out.insert(k);
  for (const auto& [k, v] : b)
    if (!a.count(k)) out.insert(k);
  return out;
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
  // The elements named by the observer's last "model elements N g..." line.
  std::set<std::string> Heard() {
    std::set<std::string> out;
    for (const auto& line : probe->journal()) {
      if (line.rfind("model elements ", 0) != 0) continue;
      std::istringstream words(line.substr(15));
      std::size_t n = 0;
      words >> n;
      out.clear();
      for (std::string g; words >> g;) out.insert(g);
      EXPECT_EQ(out.size(), n) << line;
    }
    return out;
  }
  json before;
};

// Refused edits, then each edit in turn, read through the model the add-on took before the
// first: the add-on reads exactly the host's project, the elements whose
// generation ids moved (or that came or went) are the edited ones, the
// materials whose stamps moved the edited ones, and the observer heard of
// the edit once, naming the edited elements. A material edit rebuilds no element; deleting a material
// keeps its index (reported deleted) and rebuilds its users.
TEST_F(HostEdits, EachEditRenewsExactlyWhatItChanged) {
  const hostmodel::Guid first = ElementGuid(0), second = ElementGuid(1);
  const auto project = host->CurrentProject();
  int textured = 0;
  for (std::size_t i = 0; i < project.materials.size() && !textured; ++i)
    if (project.materials[i].textureIndex != 0) textured = static_cast<int>(i + 1);
  ASSERT_NE(textured, 0) << "the sample has a textured material";
  // Edits the host refuses change nothing and notify nobody.
  EXPECT_FALSE(host->MoveElement(hostmodel::Guid::FromName("nobody"), {1, 1, 1}).ok());
  EXPECT_FALSE(host->SetMaterialColor(9999, {0, 0, 0}).ok());
  EXPECT_FALSE(host->SetElementMaterial(first, 9999).ok());
  EXPECT_FALSE(host->AddBox({0, 0, 0}, {1, 1, 1}, 9999).ok());
  EXPECT_EQ(Dump(), before);
  EXPECT_EQ(JournalCount("model"), 0);
  EXPECT_FALSE(host->IsModified());
  using Changes = hostmodel::ChangeSet;
  struct Step {
    const char* label;
    std::function<hostmodel::Result<Changes>()> edit;
    std::function<std::set<std::string>(const Changes&)> elements;  // expected to move
    std::set<std::string> materials;                                // expected to move
  };
  auto added = [](const Changes& c) {
    EXPECT_EQ(c.addedElements.size(), 1u);
    return Texts(c.addedElements);
  };
  auto none = [](const Changes&) { return std::set<std::string>{}; };
  const std::vector<Step> steps = {
      {"move",
       [&] {
         return host->MoveElement(first, {1.0, 0.0, 0.0});
       },
       [&](const Changes&) { return std::set<std::string>{first.ToString()}; },
       {}},
      {"copy",
       [&] {
         return host->CopyElement(first, {0.0, 5.0, 0.0});
       },
       added,
       {}},
      {"delete",
       [&] { return host->DeleteElement(second); },
       [&](const Changes&) { return std::set<std::string>{second.ToString()}; },
       {}},
      {"box",
       [&] {
         return host->AddBox({10, 10, 0}, {11, 12, 3}, 1, "Crate");
       },
       added,
       {}},
      {"colour",
       [&] {
         return host->SetMaterialColor(2, {0.1, 0.9, 0.1});
       },
       none,
       {"2"}},
      {"transparency", [&] { return host->SetMaterialTransparency(2, 70); }, none, {"2"}},
      {"texture", [&] { return host->SetMaterialTexture(textured, 0); }, none, {std::to_string(textured)}},
      {"delete material",
       [&] { return host->DeleteMaterial(1, 2); },
       [](const Changes& c) {
         EXPECT_FALSE(c.changedElements.empty()) << "the sample uses material 1";
         return Texts(c.changedElements);
       },
       {"1"}},
  };
  for (const Step& step : steps) {
    probe->clearJournal();
    const auto changes = step.edit();
    ASSERT_TRUE(changes.ok()) << step.label << ": " << changes.error();
    const json after = Dump();
    EXPECT_EQ(after, Expected(host->CurrentProject())) << step.label;
    EXPECT_EQ(Differing(GenIds(before), GenIds(after)), step.elements(changes.value())) << step.label;
    EXPECT_EQ(Differing(Stamps(before), Stamps(after)), step.materials) << step.label;
    EXPECT_EQ(JournalCount("model elements"), 1) << step.label;
    const auto expected = step.elements(changes.value());
    if (!expected.empty()) {
      EXPECT_EQ(Heard(), expected) << step.label;
    }
    before = after;
  }
  // The edits themselves: the move's offset, the colour and transparency,
  // and no polygon left on the deleted material.
  const auto moved = host->CurrentProject().elements.at(0).bodies.at(0).vertices.at(0);
  EXPECT_DOUBLE_EQ(moved.x, project.elements[0].bodies[0].vertices[0].x + 1.0);
  EXPECT_NEAR(before["materials"][1]["surface"][1].get<double>(), 0.9, 1e-9);
  EXPECT_EQ(before["materials"][1]["transparency"], 70);
  for (const auto& e : before["elements"])
    for (const auto& b : e["bodies"])
      for (const auto& p : b["polygons"]) EXPECT_NE(p["material"], 1);
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
  EXPECT_EQ(events,
            (std::vector<std::string>{"project 8 0", "project 16 0", "project 8 0", "project 16 0", "project 32 0",
                                      "project 1 0", "project 32 0", "project 4 0", "project 32 0"}));
  // Closing the project invalidated the add-on's sight and ended its model.
  EXPECT_EQ(JournalCount("sight invalidated"), 1);
}

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

}  // namespace
