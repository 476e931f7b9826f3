// A running link under concurrent load, in one process so that the thread
// sanitizer sees every side: the host thread edits the model, moves the
// camera and runs the idle pass; another thread delivers camera
// notifications as a host may on a thread of its own; velmar follows the
// link from its own process. The link then stops while camera turns are
// still arriving.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include <nlohmann/json.hpp>
#include <string>

#include "addon/ac_plugin.h"
#include "base/utf.h"
#include "child_process.h"
#include "host/host.h"
#include "hostmodel/project_file.h"
#include "hostmodel/sample.h"
#include "hostsdk/loader.h"
#include "isolation.h"
#include "livelink/live_connection.h"
#include "util/text.h"

API_AddonType CheckEnvironment(API_EnvirParams*) { return API_AddonType{}; }
GSErrCode RegisterInterface() { return 0; }
GSErrCode Initialize() { return 0; }
GSErrCode FreeData() { return 0; }

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

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
    // The renderer is velmar in a process of its own, as in use.
    auto velmar = livelink_test::ChildProcess::Start(CORV_VELMAR_PATH, {"--json", "run", "--exit-when-ended"});
    ASSERT_NE(velmar, nullptr);
    auto plugin = std::make_unique<ACPlugin>();
    ASSERT_TRUE(plugin->StartOrResume());
    ASSERT_EQ(plugin->GetLinkState(), LinkState::Running);
    const std::u16string name = base::FromUtf8((dir / "House.dae").string());

    std::atomic<bool> stopCamera{false};
    std::atomic<int> cameraTurns{0};
    std::thread camera([&] {
      while (!stopCamera.load()) {
        plugin->SendCamera();
        cameraTurns.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
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
    // velmar followed the link: geometry and camera updates, then the end.
    int updates = 0;
    bool cameraSeen = false, ended = false;
    std::string line;
    while (!ended && velmar->ReadLine(&line, 10000)) {
      const json j = json::parse(line, nullptr, false);
      if (j.is_discarded()) continue;
      const std::string event = j.value("event", "");
      if (event == "update") {
        ++updates;
        const json read = j.value("read", json::object());
        const json cameraRead = read.value("camera", json());
        if ((cameraRead.is_boolean() && cameraRead.get<bool>()) || (cameraRead.is_number() && cameraRead.get<double>() > 0))
          cameraSeen = true;
      }
      ended = event == "link-ended";
    }
    EXPECT_GT(updates, 2);
    EXPECT_TRUE(cameraSeen);
    EXPECT_TRUE(ended);
    EXPECT_EQ(velmar->Wait(10000), 0);
    EXPECT_EQ(plugin->GetLinkState(), LinkState::Stopped);
    EXPECT_FALSE(plugin->IsCameraLive());
    CorvantaAPI::LiveConnection probe;
    EXPECT_NE(probe.Open(name), 0) << "the area outlived the stop";
  }
  fs::remove_all(dir);
}

}  // namespace
