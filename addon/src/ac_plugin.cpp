#include "addon/ac_plugin.h"

#include <chrono>
#include <exception>
#include <new>

#include "addon/alerts.h"
#include "addon/plugin_ui.h"
#include "addon/sight_observers.h"
#include "base/utf.h"
#include "collada/collada_exporter.h"
#include "context/host_queries.h"
#include "context/plugin_settings.h"
#include "hostsdk/acapi.h"
#include "hostsdk/modeler.h"
#include "livelink/live_connection.h"
#include "renderer/renderer.h"
#include "scene/ac_scene.h"
#include "scene/camera_view.h"
#include "scene/material_library.h"
#include "util/hash.h"
#include "util/text.h"

namespace {

std::int64_t SteadyNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// new that leaves the field null when the allocation or construction fails.
template <typename T, typename... Args>
std::unique_ptr<T> MakeOrNull(Args&&... args) {
  try {
    return std::make_unique<T>(std::forward<Args>(args)...);
  } catch (...) {
    return nullptr;
  }
}

constexpr char16_t kPathTooLongText[] =
    u"The project's path is too long for Velmar Corvanta: Velmar could not find the link. Save the "
    u"project in a folder with a shorter path and start Corvanta again.";

}  // namespace

ACPlugin::ACPlugin() {
  settings = MakeOrNull<context::PluginSettings>();
  exporter = MakeOrNull<ColladaExporter>();
  // Both ways into the export (the command and the file type's save) show
  // its progress in the status bar.
  if (exporter) exporter->SetProgressListener([](std::u16string_view text) { addon::SetStatusBarText(std::u16string(text)); });
  connection = MakeOrNull<CorvantaAPI::LiveConnection>();
  materials = MakeOrNull<scene::MaterialLibrary>(connection.get());
  if (connection && materials) scene = MakeOrNull<ACScene>(connection.get(), materials.get());
  if (scene) scene->SetDebugOutput([](const char* text) { DBPrintf("%s", text); });
  ui = MakeOrNull<addon::PluginUI>(this);
  cameraObserver = MakeOrNull<CameraObserver>(this);
  modelObserver = MakeOrNull<ModelObserver>(this);
}

ACPlugin::~ACPlugin() {
  if (connection && connection->IsOpen()) Stop();
  ui.reset();
  scene.reset();
  materials.reset();
  connection.reset();
  // The observers are detached by Stop (and by their sources' ends).
  modelObserver.reset();
  cameraObserver.reset();
  exporter.reset();
  settings.reset();
}

void ACPlugin::UpdateMenus() {
  menusStale.store(false);
  if (ui) ui->UpdateMenus();
}

void ACPlugin::StatusBar(const std::u16string& text) {
  addon::SetStatusBarText(text);
}

bool ACPlugin::RereadWithLinkSight() {
  if (!scene) return false;
  Modeler::SightPtr previous;
  if (linkSight) ACAPI_3D_SelectSight(linkSight, &previous);
  modelChanged.store(false);
  const bool changed = scene->Resync();
  if (changed) scene->RequestPublish();
  // A walk that could not take the scene's gate changed nothing: the next
  // idle pass tries again.
  if (scene->IsWalkDeferred()) modelChanged.store(true);
  if (linkSight) {
    Modeler::SightPtr ignored;
    ACAPI_3D_SelectSight(previous, &ignored);
  }
  return changed;
}

bool ACPlugin::StartOrResume() {
  if (autoPaused) {
    context::Make3DWindowCurrent();
    autoPaused = false;
    state.store(LinkState::Running);
    UpdateMenus();
    RereadWithLinkSight();
    return true;
  }
  if (state.load() != LinkState::Stopped) {
    TogglePause();
    return true;
  }
  if (!connection || !scene || !materials) return false;

  const std::u16string path = context::GetProjectFilePath();
  if (path.empty()) {
    addon::AlertSaveFirst();
    return false;
  }
  const std::u16string name = context::ConnectionNameFor(path);
  renderer::CheckRenderer();
  const std::int64_t t0 = SteadyNowNs();
  StatusBar(u"Corvanta initializing\u2026");
  const std::int32_t created = connection->Create(name, 5000);
  if (created != CorvantaAPI::kCreateOk) {
    StatusBar(u"");
    if (created == CorvantaAPI::kCreateNameTooLong) {
      // The renderer finds links by names of at most 259 units: no use
      // starting one it could never join, and the file is not in use.
      addon::ShowMessage(kPathTooLongText);
    } else {
      addon::AlertFileInUse(context::FileNameOf(name));
    }
    return false;
  }
  context::Make3DWindowCurrent();
  Modeler::SightPtr previous;
  Modeler::SightPtr sight;
  ACAPI_3D_CreateSight(&sight);
  {
    std::lock_guard lock(cameraMutex);
    linkSight = sight;
  }
  if (linkSight) ACAPI_3D_SelectSight(linkSight, &previous);
  attributeReader = MakeOrNull<AttributeReader>();
  model = MakeOrNull<ModelerAPI::Model>();
  if (linkSight) {
    if (cameraObserver) linkSight->Attach(*cameraObserver);
    if (auto main = linkSight->GetConstMainModelPtr(); main && modelObserver) main->Attach(*modelObserver);
    if (model) EXPGetModel(linkSight, model.get(), attributeReader.get());
  }
  if (settings) {
    settings->Load();
    verticalOffset.store(settings->EffectiveOffset());
  }
  StatusBar(u"Corvanta load materials\u2026");
  materials->BeginLink(model.get());
  StatusBar(u"Corvanta load geometries\u2026");
  scene->Begin(model.get(), settings.get());
  scene->RequestPublish();
  StatusBar(u"Corvanta started.");
  if (linkSight) {
    Modeler::SightPtr ignored;
    ACAPI_3D_SelectSight(previous, &ignored);
  }
  autoPaused = false;
  state.store(LinkState::Running);
  cameraSync.store(settings ? settings->CameraAutoSync() : true);
  if (cameraSync.load()) SendCamera();
  UpdateMenus();
  const std::int64_t duration = (SteadyNowNs() - t0) / 1000;
  PublishLinkStatus(name, static_cast<std::int32_t>(static_cast<std::uint32_t>(duration)));
  return true;
}

void ACPlugin::TogglePause() {
  switch (state.load()) {
    case LinkState::Paused:
      context::Make3DWindowCurrent();
      state.store(LinkState::Running);
      RereadWithLinkSight();
      UpdateMenus();
      break;
    case LinkState::Running:
      state.store(LinkState::Paused);
      UpdateMenus();
      break;
    case LinkState::Stopped:
      UpdateMenus();
      break;
  }
}

void ACPlugin::ReleaseHostObjects() {
  try {
    if (linkSight && !linkSight->IsSightInvalid()) {
      if (cameraObserver) linkSight->Detach(*cameraObserver);
      if (auto main = linkSight->GetConstMainModelPtr(); main && modelObserver) main->Detach(*modelObserver);
    }
  } catch (...) {
  }
  try {
    model.reset();
    attributeReader.reset();
  } catch (...) {
  }
  // The sight is dropped too: a stopped link keeps nothing of the host's.
  // The last reference may go with a camera turn that still runs; that turn
  // holds its own copy.
  Modeler::SightPtr dropped;
  {
    std::lock_guard lock(cameraMutex);
    dropped.swap(linkSight);
  }
}

void ACPlugin::Stop() {
  if (state.load() == LinkState::Stopped) return;
  state.store(LinkState::Stopped);
  if (scene) scene->Stop();
  if (materials) materials->Reset();
  {
    // Not while a camera turn writes the view record into the mapping. A
    // turn that saw the link running before it stopped may have marked the
    // camera as followed; none after this sees it running.
    std::lock_guard lock(cameraMutex);
    if (connection) connection->Destroy();
    cameraLive.store(false);
  }
  ReleaseHostObjects();
  StatusBar(u"Corvanta\u00AE stopped.");
  UpdateMenus();
}

void ACPlugin::SetCameraSync(bool on) {
  if (cameraSync.load() && !autoPaused && !context::IsPerspectiveView()) {
    context::SwitchToPerspective();
  } else {
    cameraSync.store(on);
  }
  UpdateMenus();
}

void ACPlugin::Export() {
  if (!exporter) return;
  // The user chose the file in our save dialog, so the failure is ours to
  // tell; a cancel tells nothing.
  if (exporter->Export(nullptr, nullptr) == APIERR_GENERAL) {
    addon::AlertExportFailed(exporter->Path(), base::FromUtf8(exporter->LastError()));
  }
}

void ACPlugin::ResyncChanges() { RereadWithLinkSight(); }

void ACPlugin::CheckLinkAndResync() {
  if (!connection || !connection->IsConnected()) {
    Stop();
    return;
  }
  if (state.load() == LinkState::Running && context::Is3DWindowCurrent()) ResyncChanges();
}

void ACPlugin::OnIdle() {
  if (menusStale.load()) UpdateMenus();
  const std::int64_t now = SteadyNowNs();
  if (nextIdlePass >= now) return;
  nextIdlePass = now + 33'000'000;
  if (state.load() == LinkState::Stopped) return;
  try {
    const bool connected = connection && connection->IsConnected();
    // Memory the renderer shrank under the link reads as zeros here and
    // writes reach no one (a read of the shrunk area just now counts): the
    // link is over, and the host's debug output says why.
    if (connection && connection->ViewShrunkSinceOpen()) {
      DBPrintf("Corvanta: the renderer shrank the link's shared memory; the link is stopped\n");
      Stop();
      return;
    }
    if (!connected) Stop();
    if (modelChanged.load()) CheckLinkAndResync();
  } catch (...) {
  }
}

void ACPlugin::OnProjectEvent(std::int32_t code, std::int32_t /*parameter*/) {
  if (code < 1 || code > 128) return;
  const bool open = connection && connection->IsOpen();
  switch (code) {
    case 1:
    case 2:
    case 4:
    case 32:
      if (open) Stop();
      UpdateMenus();
      if (exporter) exporter->ForgetFolder();
      // The host tells of a close while the project is still open: once it
      // is gone, the next idle pass shows the commands a project needs
      // disabled.
      if (code == 32) menusStale.store(true);
      break;
    case 16:
      if (open) {
        const std::u16string path = context::GetProjectFilePath();
        if (!path.empty() && context::ConnectionNameFor(path) != connection->GetName()) {
          Stop();
          if (exporter) exporter->ForgetFolder();
        }
      }
      break;
    case 64:
      if (open) Stop();
      UpdateMenus();
      break;
    case 128:
      CheckLinkAndResync();
      break;
    default:
      break;
  }
}

void ACPlugin::OnViewEvent(const API_NotifyViewEventType* event) {
  if (event == nullptr || event->notifID != APINotifyView_Opened) return;
  const LinkState s = state.load();
  if (s == LinkState::Running) {
    if (context::Is3DWindowCurrent()) {
      ResyncChanges();
    } else if (!autoPaused) {
      autoPaused = true;
      state.store(LinkState::Paused);
      UpdateMenus();
    }
  } else if (s == LinkState::Paused && autoPaused && context::Is3DWindowCurrent()) {
    autoPaused = false;
    state.store(LinkState::Running);
    ResyncChanges();
    UpdateMenus();
  }
}

void ACPlugin::SendCamera() {
  bool menusChanged = false;
  {
    std::lock_guard lock(cameraMutex);
    const Modeler::SightPtr sight = linkSight;
    if (!sight || sight->IsSightInvalid()) return;
    const Modeler::Camera camera = sight->GetCamera();
    const bool perspective = camera.GetProjectionType() == Modeler::kPerspectiveProjection &&
                             camera.GetPerspectiveData() != nullptr;
    if (state.load() == LinkState::Running && cameraSync.load()) {
      if (perspective) {
        menusChanged = !cameraLive.exchange(true);
        const CorvantaAPI::CameraViewData rec = scene::BuildCameraRecord(camera, verticalOffset.load());
        if (connection) connection->UpdateView(true, &rec);
      } else if (cameraLive.exchange(false)) {
        // One inactive record, then nothing while the view stays parallel.
        const CorvantaAPI::CameraViewData rec{};
        if (connection) connection->UpdateView(false, &rec);
        menusChanged = true;
      }
    } else if (cameraLive.exchange(false)) {
      if (connection) connection->UpdateView(false, nullptr);
      menusChanged = true;
    }
  }
  // The menus are the host's: written outside the camera lock, and only on
  // the user-interface thread.
  if (!menusChanged) return;
  if (std::this_thread::get_id() == uiThread) {
    UpdateMenus();
  } else {
    menusStale.store(true);
  }
}

void ACPlugin::PublishLinkStatus(const std::u16string& name, std::int32_t durationMicroseconds) {
  if (!connection) return;
  CorvantaAPI::StatusMap map;
  map[u"toolName"] = {0, u"ArchiCAD"};
  map[u"toolVersion"] = {0, context::GetHostVersion()};
  map[u"format"] = {0, u"CV"};
  map[u"pluginVersion"] = {0, u"3.50.904"};
  map[u"fileNameCrc"] = {1, util::FormatString(u"%llu", static_cast<unsigned long long>(util::HashFileName(name)))};
  map[u"vertexCount"] = {1, scene ? scene->GetVertexCountText() : std::u16string(u"0")};
  map[u"time"] = {1, util::FormatString(u"%d", durationMicroseconds)};
  map[u"cameraSync"] = {1, cameraSync.load() ? u"1" : u"0"};
  connection->UpdateStatus(map);
}
