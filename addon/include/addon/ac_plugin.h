// The add-on's single main object and the live link's controller. It owns
// every long-lived part (settings, exporter, connection, material library,
// scene, user interface, the two host observers) and runs the link: start,
// pause, resume and stop, the reaction to project and view events, the idle
// pass and the status map that tells the renderer what it is linked to.
//
// Every operation runs on the host's user-interface thread, except
// SendCamera, which also runs on whichever thread the host delivers a sight's
// camera notification on. Nothing here throws: host calls that fail leave the
// link as the operation's comment says.
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
class ACScene;
namespace scene {
class MaterialLibrary;
}

namespace context {
class PluginSettings;
}
namespace addon {
class PluginUI;
}
class ColladaExporter;
class CameraObserver;
class ModelObserver;
struct API_IOParams;

enum class LinkState : std::int32_t { Stopped = 0, Paused = 1, Running = 2 };

class ACPlugin {
 public:
  // Creates, in this order: the settings (loaded from the registry), the
  // exporter, the connection, the material library, the scene, the user
  // interface and the two observers. A part that cannot be made stays null;
  // every operation copes with a null part.
  ACPlugin();
  // Stops a running link, then destroys the user interface, the scene, the
  // material library and the connection, in this order, then the rest.
  ~ACPlugin();
  ACPlugin(const ACPlugin&) = delete;
  ACPlugin& operator=(const ACPlugin&) = delete;

  // Start (or resume a paused link). False when the link could not start: no
  // saved project (save-first box), a project path the renderer could not
  // find (message box), or a connection name in use (file-in-use box).
  bool StartOrResume();
  void TogglePause();
  // Ends the link; nothing when stopped. Host failures while detaching are
  // dropped; the status bar and the menus are updated in any case.
  void Stop();
  void SetCameraSync(bool on);
  bool IsCameraSyncOn() const { return cameraSync.load(); }
  LinkState GetLinkState() const { return state.load(); }
  bool IsCameraLive() const { return cameraLive.load(); }
  // The exporter's own export (save dialog), when the exporter exists.
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
  addon::PluginUI* GetUI() const { return ui.get(); }
  context::PluginSettings* GetSettings() const { return settings.get(); }
  ColladaExporter* GetExporter() const { return exporter.get(); }
  CorvantaAPI::LiveConnection* GetConnection() const { return connection.get(); }
  ACScene* GetScene() const { return scene.get(); }
  scene::MaterialLibrary* GetMaterials() const { return materials.get(); }

 private:
  void ResyncChanges();
  void CheckLinkAndResync();
  void PublishLinkStatus(const std::u16string& name, std::int32_t durationMicroseconds);
  void UpdateMenus();
  void StatusBar(const std::u16string& text);
  // Detaches the observers and drops the link's model and reader; host
  // failures end the detaching early.
  void ReleaseHostObjects();
  // Selects the link sight for a re-read and puts the previous one back.
  bool RereadWithLinkSight();

  // Owned parts, in the order of the design (destroyed explicitly).
  std::unique_ptr<CorvantaAPI::LiveConnection> connection;
  std::unique_ptr<ACScene> scene;
  std::unique_ptr<scene::MaterialLibrary> materials;
  std::unique_ptr<addon::PluginUI> ui;
  std::unique_ptr<context::PluginSettings> settings;
  std::unique_ptr<ColladaExporter> exporter;
  std::int64_t nextIdlePass = 0;
  std::atomic<LinkState> state{LinkState::Stopped};
  bool autoPaused = false;
  std::atomic<bool> cameraSync{true};
  std::atomic<bool> cameraLive{false};
  std::atomic<float> verticalOffset{0.01f};
  // The link sight and the connection's mappings as SendCamera sees them:
  // SendCamera runs on the host's notifying thread and holds cameraMutex for
  // its whole turn; the host thread takes it to replace or drop the sight and
  // to close the connection, so a camera turn never reads a sight being
  // replaced nor writes a record being unmapped. No host call that could
  // notify is made while it is held.
  mutable std::mutex cameraMutex;
  Modeler::SightPtr linkSight;
  std::unique_ptr<AttributeReader> attributeReader;
  std::unique_ptr<ModelerAPI::Model> model;
  std::unique_ptr<CameraObserver> cameraObserver;
  std::unique_ptr<ModelObserver> modelObserver;
  std::atomic<bool> modelChanged{false};
  // The menus and the palette belong to the host's user-interface thread
  // (the one that made this object): a camera turn on another thread leaves
  // their update to the next idle pass.
  std::thread::id uiThread = std::this_thread::get_id();
  std::atomic<bool> menusStale{false};
};
