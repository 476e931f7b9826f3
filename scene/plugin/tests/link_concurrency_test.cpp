// A running link under concurrent load, in one process so that the thread
// sanitizer sees every side: the host thread edits the model, moves the
// camera and runs the idle pass; another thread delivers camera
// notifications as a host may on a thread of its own; a third reads the
// link as the renderer does. The link then stops while camera turns are
// still arriving.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "host/host.h"
#include "hostmodel/project_file.h"
#include "hostmodel/sample.h"
#include "hostsdk/loader.h"
#include "isolation.h"
#include "livelink/layout.h"
#include "livelink/link_reader.h"
#include "livelink/live_connection.h"
#include "plugin/ac_plugin.h"
#include "util/text.h"

API_AddonType CheckEnvironment(API_EnvirParams*) { return API_AddonType{}; }
GSErrCode RegisterInterface() { return 0; }
GSErrCode Initialize() { return 0; }
GSErrCode FreeData() { return 0; }

namespace {

namespace fs = std::filesystem;

TEST(LinkConcurrency, EditsCameraTurnsAndRendererReadsThenStopUnderCameraTurns) {
  livelink_test::Isolated();
  host::Host::Options options;
  options.publishMainWindow = false;
  host::Host host(options);
  ASSERT_EQ(SetImportedFuncAddrs(&host.Table().Raw()), NoError);
  host::Host::AddonScope scope(host, 0);
  const fs::path dir = fs::temp_directory_path() / ("corv-lc-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string project = (dir / "House.pln").string();
  const hostmodel::Project sample = hostmodel::SampleBuilding();
  ASSERT_TRUE(hostmodel::SaveProjectFile(sample, project).ok());
  ASSERT_TRUE(host.OpenProject(project).ok());
  ASSERT_TRUE(host.SwitchWindow(hostmodel::WindowType::ThreeD).ok());
  ASSERT_TRUE(host.SetProjection(true).ok());
  ASSERT_FALSE(sample.elements.empty());
  const hostmodel::Guid moved = sample.elements.front().guid;

  {
    auto plugin = std::make_unique<ACPlugin>();
    ASSERT_TRUE(plugin->StartOrResume());
    ASSERT_EQ(plugin->GetLinkState(), LinkState::Running);
    const std::u16string name = util::FromUtf8((dir / "House.dae").string());

    std::atomic<bool> stopCamera{false}, stopReader{false};
    std::atomic<int> cameraTurns{0}, reads{0};
    std::thread camera([&] {
      while (!stopCamera.load()) {
        plugin->SendCamera();
        cameraTurns.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
    std::atomic<std::uint32_t> lastSurfaces{0};
    std::atomic<bool> sawCamera{false};
    std::thread reader([&] {
      CorvantaAPI::LiveConnection guest;
      while (!stopReader.load() && guest.Open(name) != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      while (!stopReader.load()) {
        const CorvantaAPI::LinkSnapshot snap = CorvantaAPI::LinkReader(guest).Read();
        std::uint32_t surfaces = 0;
        for (const auto& r : snap.records) surfaces += r.type == CorvantaAPI::kTypeSurface ? 1 : 0;
        lastSurfaces.store(surfaces);
        if (snap.camera.present && snap.camera.active == 1 && snap.camera.kind == CorvantaAPI::kCameraPerspective)
          sawCamera.store(true);
        reads.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::microseconds(300));
      }
    });

    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    int edits = 0;
    while (std::chrono::steady_clock::now() < end) {
      const double d = edits % 2 == 0 ? 0.05 : -0.05;
      ASSERT_TRUE(host.MoveElement(moved, {0, 0, d}).ok());
      ASSERT_TRUE(host.MoveCamera({d, 0, 0}).ok());
      ++edits;
      for (int i = 0; i < 5; ++i) {
        plugin->OnIdle();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
    // Every edit was taken up: the last one's re-read leaves nothing
    // flagged once the idle pass has run.
    for (int i = 0; i < 100 && plugin->IsModelChanged(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      plugin->OnIdle();
    }
    EXPECT_FALSE(plugin->IsModelChanged());
    EXPECT_GT(edits, 5);

    // Stop while camera turns keep coming: none may write into the closed
    // link or read the dropped sight.
    plugin->Stop();
    const int turnsAtStop = cameraTurns.load();
    while (cameraTurns.load() < turnsAtStop + 20) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stopCamera.store(true);
    camera.join();
    stopReader.store(true);
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_GT(lastSurfaces.load(), 0u);
    EXPECT_TRUE(sawCamera.load());
    EXPECT_EQ(plugin->GetLinkState(), LinkState::Stopped);
    EXPECT_FALSE(plugin->IsCameraLive());
    CorvantaAPI::LiveConnection probe;
    EXPECT_NE(probe.Open(name), 0) << "the area outlived the stop";
  }
  fs::remove_all(dir);
}

}  // namespace
