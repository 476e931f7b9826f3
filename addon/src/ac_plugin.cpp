#include "addon/ac_plugin.h"

#include <chrono>
#include <exception>
#include <new>

#include "addon/alerts.h"
#include "addon/plugin_ui.h"
#include "addon/sight_observers.h"
#include "base/exception_text.h"
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

namespace addon {
namespace {

std::int64_t SteadyNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

constexpr char16_t kPathTooLongText[] =
    u"The project's path is too long for Velmar Corvanta: Velmar could not find the link. Save the "
    u"project in a folder with a shorter path and start Corvanta again.";

}  // namespace

ACPlugin::ACPlugin()
    : settings(std::make_unique<context::PluginSettings>()),
      exporter(std::make_unique<collada::ColladaExporter>()),
      connection(std::make_unique<CorvantaAPI::LiveConnection>()),
      materials(std::make_unique<scene::MaterialLibrary>(connection.get())),
      scene(std::make_unique<scene::ACScene>(connection.get(), materials.get())),
      ui(std::make_unique<PluginUI>(this)),
      cameraObserver(std::make_unique<CameraObserver>(this)),
      modelObserver(std::make_unique<ModelObserver>(this)) {
  // Both ways into the export (the command and the file type's save) show
  // its progress in the status bar.
  exporter->SetProgressListener([](std::u16string_view text) { SetStatusBarText(std::u16string(text)); });
  scene->SetDebugOutput([](const char* text) { DBPrintf("%s", text); });
}

// The observers are detached by Stop (and by their sources' ends); the
// members go in reverse order of declaration.
ACPlugin::~ACPlugin() {
  if (connection->IsOpen()) Stop();
}

void ACPlugin::UpdateMenus() {
  menusStale.store(false);
  ui->UpdateMenus();
}

void ACPlugin::StatusBar(const std::u16string& text) { SetStatusBarText(text); }

bool ACPlugin::RereadWithLinkSight() {
  Modeler::SightPtr previous;
  if (linkSight) ACAPI_3D_SelectSight(linkSight, &previous);
  // The host's own sight is selected again however the walk ends.
  auto restore = [&] {
    if (!linkSight) return;
    Modeler::SightPtr ignored;
    ACAPI_3D_SelectSight(previous, &ignored);
  };
  modelChanged.store(false);
  bool changed = false;
  try {
    changed = scene->Resync();
    if (changed) scene->RequestPublish();
  } catch (...) {
    // A walk that failed part way took nothing in for good: the next idle
    // pass reads the change again.
    modelChanged.store(true);
    restore();
    throw;
  }
  // A walk that could not take the scene's gate changed nothing: the next
  // idle pass tries again.
  if (scene->IsWalkDeferred()) modelChanged.store(true);
  restore();
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

  const std::u16string path = context::GetProjectFilePath();
  if (path.empty()) {
    AlertSaveFirst();
    return false;
  }
  const std::u16string name = context::ConnectionNameFor(path);
  renderer::CheckRenderer();
  const std::int64_t t0 = SteadyNowNs();
  StatusBar(u"Corvanta initializing\u2026");
  CorvantaAPI::CreateResult created = CorvantaAPI::CreateResult::kFailed;
  try {
    created = connection->Create(name, 5000);
  } catch (...) {
    StatusBar(u"");  // no start is under way any more
    throw;
  }
  if (created != CorvantaAPI::CreateResult::kOk) {
    StatusBar(u"");
    if (created == CorvantaAPI::CreateResult::kNameTooLong) {
      // The renderer finds links by names of at most 259 units: no use
      // starting one it could never join, and the file is not in use.
      ShowMessage(kPathTooLongText);
    } else {
      AlertFileInUse(context::FileNameOf(name));
    }
    return false;
  }
  // From here the link is open: a start that fails part way (the host ran
  // out of memory) ends it again whole, so that no worker publishes into a
  // link the user cannot stop, the menus offer a start again, and the next
  // start finds nothing of this one.
  try {
    OpenLink();
    autoPaused = false;
    state.store(LinkState::Running);
    cameraSync.store(settings->CameraAutoSync());
    if (cameraSync.load()) SendCamera();
    UpdateMenus();
    const std::int64_t duration = (SteadyNowNs() - t0) / 1000;
    PublishLinkStatus(name, static_cast<std::int32_t>(static_cast<std::uint32_t>(duration)));
  } catch (...) {
    state.store(LinkState::Stopped);
    try {
      TearDown();
      StatusBar(u"");
      UpdateMenus();
    } catch (...) {
      DBPrintf("Corvanta: ending a failed start failed: %s\n", base::CurrentExceptionText());
    }
    throw;
  }
  return true;
}

// Reads the model into the just opened link and starts its worker. The
// host's own sight is selected again however this ends.
void ACPlugin::OpenLink() {
  context::Make3DWindowCurrent();
  Modeler::SightPtr previous;
  Modeler::SightPtr sight;
  ACAPI_3D_CreateSight(&sight);
  {
    std::lock_guard lock(cameraMutex);
    linkSight = sight;
  }
  if (linkSight) ACAPI_3D_SelectSight(linkSight, &previous);
  const Modeler::SightPtr selected = linkSight;
  auto restore = [&] {
    if (!selected) return;
    Modeler::SightPtr ignored;
    ACAPI_3D_SelectSight(previous, &ignored);
  };
  try {
    // Without memory for the model the link starts empty, as it does when
    // the host cannot give one: the next re-read fills it.
    attributeReader.reset(new (std::nothrow) AttributeReader());
    model.reset(new (std::nothrow) ModelerAPI::Model());
    if (linkSight) {
      linkSight->Attach(*cameraObserver);
      if (auto main = linkSight->GetConstMainModelPtr()) main->Attach(*modelObserver);
      if (model) EXPGetModel(linkSight, model.get(), attributeReader.get());
    }
    settings->Load();
    verticalOffset.store(settings->EffectiveOffset());
    StatusBar(u"Corvanta load materials\u2026");
    materials->BeginLink(model.get());
    StatusBar(u"Corvanta load geometries\u2026");
    scene->Begin(model.get(), settings.get());
    scene->RequestPublish();
    StatusBar(u"Corvanta started.");
  } catch (...) {
    restore();
    throw;
  }
  restore();
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
    case LinkState::Stopped: UpdateMenus(); break;
  }
}

void ACPlugin::ReleaseHostObjects() {
  try {
    if (linkSight && !linkSight->IsSightInvalid()) {
      linkSight->Detach(*cameraObserver);
      if (auto main = linkSight->GetConstMainModelPtr()) main->Detach(*modelObserver);
    }
  } catch (...) {
    DBPrintf("Corvanta: detaching from the link sight failed: %s\n", base::CurrentExceptionText());
  }
  try {
    model.reset();
    attributeReader.reset();
  } catch (...) {
    DBPrintf("Corvanta: freeing the link's model failed: %s\n", base::CurrentExceptionText());
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

void ACPlugin::TearDown() {
  scene->Stop();
  materials->Reset();
  {
    // Not while a camera turn writes the view record into the mapping. A
    // turn that saw the link running before it stopped may have marked the
    // camera as followed; none after this sees it running.
    std::lock_guard lock(cameraMutex);
    connection->Destroy();
    cameraLive.store(false);
  }
  ReleaseHostObjects();
}

void ACPlugin::Stop() {
  if (state.load() == LinkState::Stopped) return;
  state.store(LinkState::Stopped);
  TearDown();
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
  // The user chose the file in our save dialog, so the failure is ours to
  // tell; a cancel tells nothing.
  if (exporter->Export(nullptr, nullptr) == APIERR_GENERAL) {
    AlertExportFailed(exporter->Path(), base::FromUtf8(exporter->LastError()));
  }
}

void ACPlugin::ResyncChanges() { RereadWithLinkSight(); }

void ACPlugin::CheckLinkAndResync() {
  if (!connection->IsConnected()) {
    Stop();
    return;
  }
  if (state.load() == LinkState::Running && context::Is3DWindowCurrent()) ResyncChanges();
}

void ACPlugin::OnIdle() {
  try {
    if (menusStale.load()) UpdateMenus();
    const std::int64_t now = SteadyNowNs();
    if (nextIdlePass >= now) return;
    nextIdlePass = now + 33'000'000;
    if (state.load() == LinkState::Stopped) return;
    const bool connected = connection->IsConnected();
    // Memory the renderer shrank under the link reads as zeros here and
    // writes reach no one (a read of the shrunk area just now counts): the
    // link is over, and the host's debug output says why.
    if (connection->ViewShrunkSinceOpen()) {
      DBPrintf("Corvanta: the renderer shrank the link's shared memory; the link is stopped\n");
      Stop();
      return;
    }
    if (!connected) Stop();
    if (modelChanged.load()) CheckLinkAndResync();
  } catch (...) {
    // The idle pump is the host's: nothing may leave it. The pass is
    // tried again at the next idle message; a failure that lasts is told
    // once, and how long it lasted when a pass gets through again.
    if (failedIdlePasses++ == 0) DBPrintf("Corvanta: the idle pass stopped: %s\n", base::CurrentExceptionText());
    return;
  }
  if (failedIdlePasses != 0) {
    DBPrintf("Corvanta: the idle pass runs again after %llu failed\n",
             static_cast<unsigned long long>(failedIdlePasses));
    failedIdlePasses = 0;
  }
}

void ACPlugin::OnProjectEvent(std::int32_t code, std::int32_t /*parameter*/) {
  if (code < APINotify_New || code > APINotify_ChangeProjectDB) return;
  const bool open = connection->IsOpen();
  switch (code) {
    case APINotify_New:
    case APINotify_NewAndReset:
    case APINotify_Open:
    case APINotify_Close:
      if (open) Stop();
      UpdateMenus();
      exporter->ForgetFolder();
      // The host tells of a close while the project is still open: once it
      // is gone, the next idle pass shows the commands a project needs
      // disabled.
      if (code == APINotify_Close) menusStale.store(true);
      break;
    case APINotify_Save:
      if (open) {
        const std::u16string path = context::GetProjectFilePath();
        if (!path.empty() && context::ConnectionNameFor(path) != connection->GetName()) {
          Stop();
          exporter->ForgetFolder();
        }
      }
      break;
    case APINotify_Quit:
      if (open) Stop();
      UpdateMenus();
      break;
    case APINotify_ChangeProjectDB: CheckLinkAndResync(); break;
    default: break;
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
    const bool perspective =
        camera.GetProjectionType() == Modeler::kPerspectiveProjection && camera.GetPerspectiveData() != nullptr;
    if (state.load() == LinkState::Running && cameraSync.load()) {
      if (perspective) {
        menusChanged = !cameraLive.exchange(true);
        const CorvantaAPI::CameraViewData rec = scene::BuildCameraRecord(camera, verticalOffset.load());
        connection->UpdateView(true, &rec);
      } else if (cameraLive.exchange(false)) {
        // One inactive record, then nothing while the view stays parallel.
        const CorvantaAPI::CameraViewData rec{};
        connection->UpdateView(false, &rec);
        menusChanged = true;
      }
    } else if (cameraLive.exchange(false)) {
      connection->UpdateView(false, nullptr);
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
  CorvantaAPI::StatusMap map;
  map[u"toolName"] = {0, u"ArchiCAD"};
  map[u"toolVersion"] = {0, context::GetHostVersion()};
  map[u"format"] = {0, u"CV"};
  map[u"pluginVersion"] = {0, u"3.50.904"};
  map[u"fileNameCrc"] = {1, util::FormatString(u"%llu", static_cast<unsigned long long>(util::HashFileName(name)))};
  map[u"vertexCount"] = {1, scene->GetVertexCountText()};
  map[u"time"] = {1, util::FormatString(u"%d", durationMicroseconds)};
  map[u"cameraSync"] = {1, cameraSync.load() ? u"1" : u"0"};
  connection->UpdateStatus(map);
}

}  // namespace addon
