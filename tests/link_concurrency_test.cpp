// A running link under concurrent load, in one process so that the thread
// sanitizer sees every side: the host thread edits, moves the camera and
// runs the idle pass; another thread delivers camera notifications as a
// host may; velmar follows from its own process. The link then stops while
// camera turns are still arriving.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "addon/ac_plugin.h"
#include "base/utf.h"
#include "child_process.h"
#include "host/host.h"
#include "hostmodel/project_file.h"
#include "hostmodel/sample.h"
#include "hostsdk/loader.h"
#include "livelink/live_connection.h"
#include "session_env.h"

namespace {

using namespace system_test;

TEST(LinkConcurrency, EditsCameraTurnsAndRendererReadsThenStopUnderCameraTurns) {
  const fs::path dir = Root();
  host::Host::Options options;
  options.publishMainWindow = false;
  host::Host host(options);
  ASSERT_EQ(SetImportedFuncAddrs(&host.Table().Raw()), NoError);
  host::Host::AddonScope scope(host, 0);
  const std::string project = (dir / "House.pln").string();
  const hostmodel::Project sample = hostmodel::SampleBuilding();
  ASSERT_TRUE(hostmodel::SaveProjectFile(sample, project).ok());
  ASSERT_TRUE(host.OpenProject(project).ok());
  ASSERT_TRUE(host.SwitchWindow(hostmodel::WindowType::ThreeD).ok());
  ASSERT_TRUE(host.SetProjection(true).ok());
  ASSERT_FALSE(sample.elements.empty());

  // The renderer is velmar in a process of its own, as in use.
  auto velmar = livelink_test::ChildProcess::Start(VELMAR_PATH, {"--json", "run", "--exit-when-ended"});
  ASSERT_NE(velmar, nullptr);
  auto plugin = std::make_unique<addon::ACPlugin>();
  ASSERT_TRUE(plugin->StartOrResume());
  ASSERT_EQ(plugin->GetLinkState(), addon::LinkState::Running);
  std::atomic<bool> stopCamera{false};
  std::atomic<int> cameraTurns{0};
  std::thread camera([&] {
    for (; !stopCamera.load(); cameraTurns.fetch_add(1)) {
      plugin->SendCamera();
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  // Edits and camera moves, each followed by idle passes, while the camera
  // thread turns; every edit is taken up once the passes have run.
  for (int edit = 0; edit < 60; ++edit) {
    const double d = edit % 2 == 0 ? 0.05 : -0.05;
    ASSERT_TRUE(host.MoveElement(sample.elements.front().guid, {0, 0, d}).ok());
    ASSERT_TRUE(host.MoveCamera({d, 0, 0}).ok());
    for (int i = 0; i < 5; ++i) {
      plugin->OnIdle();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  for (int i = 0; i < 100 && plugin->IsModelChanged(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    plugin->OnIdle();
  }
  EXPECT_FALSE(plugin->IsModelChanged());

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
  for (std::string line; !ended && velmar->ReadLine(&line, 10000);) {
    const json j = json::parse(line, nullptr, false);
    if (j.is_discarded()) continue;
    if (j.value("event", "") == "update") {
      ++updates;
      const json cameraRead = j.value("read", json::object()).value("camera", json());
      cameraSeen = cameraSeen || (cameraRead.is_boolean() && cameraRead.get<bool>()) ||
                   (cameraRead.is_number() && cameraRead.get<double>() > 0);
    }
    ended = j.value("event", "") == "link-ended";
  }
  EXPECT_GT(updates, 2);
  EXPECT_TRUE(cameraSeen);
  EXPECT_TRUE(ended);
  EXPECT_EQ(velmar->Wait(10000), 0);
  EXPECT_EQ(plugin->GetLinkState(), addon::LinkState::Stopped);
  EXPECT_FALSE(plugin->IsCameraLive());
  CorvantaAPI::LiveConnection probe;
  EXPECT_NE(probe.Open(base::FromUtf8((dir / "House.dae").string())), 0) << "the area outlived the stop";
}

}  // namespace
