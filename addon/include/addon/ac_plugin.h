// The add-on's single main object and the live link's controller. It owns
// every long-lived part (settings, exporter, connection, material library,
// scene, user interface, the two host observers) and runs the link: start,
// pause, resume and stop, the reaction to project and view events, the idle
// pass and the status map that tells the renderer what it is linked to.
//
// Every operation runs on the host's user-interface thread, except
// SendCamera, which also runs on whichever thread the host delivers a sight's
// camera notification on. Only the constructor throws; host calls that fail
// leave the link as the operation's comment says.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "hostsdk/events.h"
#include "hostsdk/sight.h"

namespace CorvantaAPI {
class LiveConnection;
}
namespace ModelerAPI {
class Model;
}
class AttributeReader;
namespace scene {
class ACScene;
class MaterialLibrary;
}  // namespace scene
namespace context {
class PluginSettings;
}
namespace collada {
class ColladaExporter;
}
struct API_IOParams;

namespace addon {

class PluginUI;
class CameraObserver;
class ModelObserver;

enum class LinkState : std::int32_t { Stopped = 0, Paused = 1, Running = 2 };

class ACPlugin {
 public:
  // Creates, in this order: the settings (loaded from the registry), the
  // exporter, the connection, the material library, the scene, the user
  // interface and the two observers. Built whole or not at all: when a part
  // cannot be made the exception (std::bad_alloc, or whatever the part
  // threw) leaves here and the parts already made are destroyed again.
  ACPlugin();
  // Stops a running link; the parts then go in the reverse order of their
  // making, each before what it points into.
  ~ACPlugin();
  ACPlugin(const ACPlugin&) = delete;
  ACPlugin& operator=(const ACPlugin&) = delete;

  // Start (or resume a paused link). False when the link could not start: no
  // saved project (save-first box), a project path the renderer could not
  // find (message box), or a connection name in use (file-in-use box).
  [[nodiscard]] bool StartOrResume();
  void TogglePause();
  // Ends the link; nothing when stopped. Host failures while detaching are
  // dropped; the status bar and the menus are updated in any case.
  void Stop();
  void SetCameraSync(bool on);
  bool IsCameraSyncOn() const { return cameraSync.load(); }
  LinkState GetLinkState() const { return state.load(); }
  bool IsCameraLive() const { return cameraLive.load(); }
  // The exporter's own export (save dialog); a failure is told in a box.
  void Export();
  // Called by the idle pump; acts at most every 33 ms.
  void OnIdle();
  void OnProjectEvent(std::int32_t code, std::int32_t parameter);
  void OnViewEvent(const API_NotifyViewEventType* event);
  // Reads the link sight's camera and writes the camera record, or ends
  // following (see the camera follower). Safe from the host's notifying
  // thread.
  void SendCamera();
  // Set by the model observer; the next idle pass re-reads the model.
  void FlagModelChanged() { modelChanged.store(true); }
  bool IsModelChanged() const { return modelChanged.load(); }

  // Parts, for the shell (menus, palette, dialogs, the "dae" file type).
  PluginUI& GetUI() const { return *ui; }
  context::PluginSettings& GetSettings() const { return *settings; }
  collada::ColladaExporter& GetExporter() const { return *exporter; }

 private:
  void ResyncChanges();
  void CheckLinkAndResync();
  void PublishLinkStatus(const std::u16string& name, std::int32_t durationMicroseconds);
  void UpdateMenus();
  void StatusBar(const std::u16string& text);
  // Detaches the observers and drops the link's model and reader; a host
  // failure ends the detaching early and is told in the host's debug
  // output.
  void ReleaseHostObjects();
  // Reads the model into the link just created and starts the scene's
  // worker; throws what the host or the memory threw, the link left open.
  void OpenLink();
  // Ends the scene's worker, drops the materials' link state, destroys the
  // link and lets go of the host's objects; the state is the caller's.
  void TearDown();
  // Selects the link sight for a re-read and puts the previous one back.
  bool RereadWithLinkSight();

  // The host's user-interface thread (the one that made this object). The
  // menus and the palette belong to it: a camera turn on another thread
  // leaves their update to the next idle pass.
  std::thread::id uiThread = std::this_thread::get_id();

  // The parts, declared in the order they depend on each other, so that
  // each is destroyed before what it points into or uses.
  std::unique_ptr<context::PluginSettings> settings;
  std::unique_ptr<collada::ColladaExporter> exporter;
  std::unique_ptr<CorvantaAPI::LiveConnection> connection;
  // The link sight and the connection's mappings as SendCamera sees them:
  // SendCamera runs on the host's notifying thread and holds cameraMutex for
  // its whole turn; the host thread takes it to replace or drop the sight and
  // to close the connection, so a camera turn never reads a sight being
  // replaced nor writes a record being unmapped. No host call that could
  // notify is made while it is held.
  mutable std::mutex cameraMutex;
  Modeler::SightPtr linkSight;
  // The host model a running link reads through the link sight; the
  // material library and the scene point into it while the link runs.
  std::unique_ptr<AttributeReader> attributeReader;
  std::unique_ptr<ModelerAPI::Model> model;
  std::unique_ptr<scene::MaterialLibrary> materials;  // publishes through the connection
  std::unique_ptr<scene::ACScene> scene;              // points into the material library
  // These point back into this object.
  std::unique_ptr<PluginUI> ui;
  std::unique_ptr<CameraObserver> cameraObserver;
  std::unique_ptr<ModelObserver> modelObserver;

  std::int64_t nextIdlePass = 0;
  std::uint64_t failedIdlePasses = 0;  // in a row, on the host's thread
  std::atomic<LinkState> state{LinkState::Stopped};
  bool autoPaused = false;
  std::atomic<bool> cameraSync{true};
  std::atomic<bool> cameraLive{false};
  std::atomic<float> verticalOffset{0.01f};
  std::atomic<bool> modelChanged{false};
  std::atomic<bool> menusStale{false};
};

}  // namespace addon
