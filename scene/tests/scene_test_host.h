// The scene inside a test program: a host running in this program (its
// function table answers the glue's calls, as a loaded add-on's would), a
// project written to a real file and opened, a real link created in an
// isolated registry and runtime directory, and a guest connection that reads
// the link as a renderer does.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/host.h"
#include "hostmodel/edit.h"
#include "hostmodel/model.h"
#include "hostmodel/project_file.h"
#include "hostsdk/loader.h"
#include "hostsdk/sight.h"
#include "isolation.h"
#include "livelink/canonical_scene.h"
#include "livelink/layout.h"
#include "livelink/link_reader.h"
#include "livelink/live_connection.h"
#include "scene/ac_scene.h"
#include "scene/material_library.h"
#include "scene_test_entry.h"


namespace scene_test {

inline hostmodel::Material NamedMaterial(const std::string& name, double r, double g, double b) {
  hostmodel::Material m;
  m.name = name;
  m.guid = hostmodel::Guid::FromName("material:" + name);
  m.surfaceColor = {r, g, b};
  return m;
}

// Three materials; `boxes` boxes spread over materials 1 and 2 (material 3
// is unused), plus whatever the test adds.
inline hostmodel::Project Boxes(int boxes) {
  hostmodel::Project p;
  p.materials.push_back(NamedMaterial("Brick", 0.7, 0.3, 0.2));
  p.materials.push_back(NamedMaterial("Glass", 0.6, 0.8, 0.9));
  p.materials.push_back(NamedMaterial("Oak", 0.5, 0.4, 0.2));
  for (int i = 0; i < boxes; ++i) {
    const double x = 2.0 * i;
    auto added = hostmodel::AddBox(p, {x, 0, 0}, {x + 1, 1, 1 + 0.1 * i}, 1 + i % 2, "Box" + std::to_string(i));
    EXPECT_TRUE(added.ok());
  }
  return p;
}

// One material's published state, as the renderer reads it.
struct SurfaceState {
  std::uint32_t recordId = 0;
  std::uint32_t changeCount = 0;
  std::uint32_t blockId = 0;
  std::uint32_t vertices = 0;
  std::uint32_t indices = 0;
};

class SceneFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    livelink_test::Isolated();
    host::Host::Options options;
    options.publishMainWindow = false;
    host = std::make_unique<host::Host>(options);
    ASSERT_EQ(SetImportedFuncAddrs(&host->Table().Raw()), NoError);
    scope = std::make_unique<host::Host::AddonScope>(*host, 0);
    name = livelink_test::UniqueName("scene") + u".dae";
    ASSERT_EQ(connection.Create(name, 5000), 0);
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
    scope.reset();
    host.reset();
  }

  void Open(hostmodel::Project project) {
    projectPath = (std::filesystem::temp_directory_path() /
                   ("corv-scene-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".pln"))
                      .string();
    ASSERT_TRUE(hostmodel::SaveProjectFile(project, projectPath).ok());
    auto opened = host->OpenProject(projectPath);
    std::filesystem::remove(projectPath);
    ASSERT_TRUE(opened.ok()) << opened.error();
    model = ModelerAPI::Model();
    AttributeReader reader;
    ASSERT_EQ(EXPGetModel(Modeler::ConstModel3DPtr(host->Model3D()), &model, &reader), NoError);
  }

  void Start() {
    materials->BeginLink(&model, u16(projectPath));
    scene->Begin(&model, nullptr);
    scene->RequestPublish();
  }

  static std::u16string u16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

  // Waits until the worker has completed more batches than before and has
  // nothing left to do.
  bool WaitForBatch(std::uint64_t before) { return WaitForBatch(*scene, before); }
  static bool WaitForBatch(const ACScene& sc, std::uint64_t before,
                           std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (sc.CompletedBatches() > before && !sc.IsPublishRequested()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  // Every live "SRFC" record with its geometry block's counts, read through
  // the guest under the link's lock, as a renderer reads.
  std::vector<SurfaceState> Surfaces() { return Surfaces(guest); }
  static std::vector<SurfaceState> Surfaces(CorvantaAPI::LiveConnection& guest) {
    std::vector<SurfaceState> out;
    EXPECT_TRUE(guest.Lock(1000000));
    CorvantaAPI::LinkReader reader(guest);
    const CorvantaAPI::LinkSnapshot snap = reader.Read();
    for (const auto& r : snap.records) {
      if (r.type != CorvantaAPI::kTypeSurface) continue;
      SurfaceState s;
      s.recordId = r.id;
      s.blockId = r.blockId;
      const CorvantaAPI::Record* rec = guest.FindRecord(r.id);
      if (rec != nullptr) {
        std::memcpy(&s.changeCount, reinterpret_cast<const std::uint8_t*>(rec) +
                                        CorvantaAPI::kSurfaceGeometryChangeOffset, 4);
      }
      if (r.blockId != 0) {
        if (const void* view = guest.OpenBlock(r.blockId)) {
          CorvantaAPI::GeometryBlockHeader h;
          std::memcpy(&h, view, sizeof h);
          s.vertices = h.vertexCount;
          s.indices = h.indexCount;
        }
      }
      out.push_back(s);
    }
    guest.Unlock();
    return out;
  }

  // What a fresh link of the model shows now: the model published from
  // scratch by a scene of its own on a link of its own, read as a renderer
  // reads it.
  CorvantaAPI::CanonicalScene Fresh() {
    const std::u16string freshName = livelink_test::UniqueName("fresh") + u".dae";
    CorvantaAPI::LiveConnection freshLink, freshGuest;
    CorvantaAPI::CanonicalScene published;
    EXPECT_EQ(freshLink.Create(freshName, 5000), 0);
    EXPECT_EQ(freshGuest.Open(freshName), 0);
    {
      scene::MaterialLibrary freshMaterials(&freshLink);
      ACScene fresh(&freshLink, &freshMaterials);
      freshMaterials.BeginLink(&model, u16(projectPath));
      fresh.Begin(&model, nullptr);
      fresh.RequestPublish();
      EXPECT_TRUE(WaitForBatch(fresh, 0));
      published = CorvantaAPI::ReadCanonicalScene(freshGuest);
    }
    freshGuest.Close();
    freshLink.Destroy();
    return published;
  }
  // The renderer's picture of this scene's link is a fresh link's.
  void ExpectSameAsFresh() {
    const CorvantaAPI::CanonicalScene held = CorvantaAPI::ReadCanonicalScene(guest);
    for (const auto& problem : held.problems) ADD_FAILURE() << problem;
    EXPECT_EQ(CorvantaAPI::DescribeDifferences(held, Fresh(), "incremental", "fresh"), "");
  }

  static std::uint64_t TotalIndices(const std::vector<SurfaceState>& surfaces) {
    std::uint64_t n = 0;
    for (const auto& s : surfaces) n += s.indices;
    return n;
  }

  hostmodel::Guid ElementGuid(int index) const { return host->CurrentProject().elements.at(index).guid; }

  std::unique_ptr<host::Host> host;
  std::unique_ptr<host::Host::AddonScope> scope;
  std::u16string name;
  CorvantaAPI::LiveConnection connection;
  CorvantaAPI::LiveConnection guest;
  std::unique_ptr<scene::MaterialLibrary> materials;
  std::unique_ptr<ACScene> scene;
  std::vector<std::string> debugLines;
  std::string projectPath;
  ModelerAPI::Model model;
  int counter = 0;
};

}  // namespace scene_test
