// The host stand-in's runtime: it loads add-on modules through the loader
// protocol, holds the open project and its 3D model, and delivers what the
// host delivers (project and view events, model changes to 3D model
// observers, camera changes to sight observers, 3D file-type saves). Every
// user action has a call here; hostsim and tests drive the host through them.
//
// Threading: everything runs on the thread that owns the Host (the host's
// user-interface thread). Add-ons may call DBPrintf and read models from
// other threads; the log and model snapshots are safe for that.
//
// Failures come back as hostmodel::Status / Result with a message for the
// user; a failed operation leaves the project as it was.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <typeindex>
#include <vector>

#include "host/function_table.h"
#include "hostmodel/edit.h"
#include "hostmodel/model.h"
#include "hostmodel/result.h"
#include "hostsdk/events.h"
#include "hostsdk/filetype.h"
#include "hostsdk/loader.h"
#include "hostsdk/sight.h"
#include "platform/win32.h"

namespace host {

using AddonId = int;
using hostmodel::Result;
using hostmodel::Status;

class ModelWatcher;
class SnapshotReleaser;

struct LogEntry {
  std::string category;  // "debug" (DBPrintf), "loader", "project", "view", "edit", "watch", "save3d", ...
  std::string text;
};

struct AddonRecord {
  AddonId id = 0;
  std::string path;
  void* handle = nullptr;  // dlopen handle (resources are found through it)
  API_ExportRecord exports{};
  std::u16string name;
  std::u16string description;
  API_AddonType type = APIAddon_DontRegister;
  GSErrCode registerResult = NoError;
  GSErrCode initializeResult = NoError;
  bool initialized = false;
  bool keepInMemory = false;
  APIProjectEventHandlerProc projectHandler = nullptr;
  GSFlags projectMask = 0;
  APIViewEventHandlerProc viewHandler = nullptr;
  GSFlags viewMask = 0;
  API_NavigatorMapID viewMap = API_UndefinedMap;
  std::unique_ptr<API_HostContext> context;
};

struct FileTypeRecord {
  AddonId addon = 0;
  API_FTypeReg reg{};
  APIIO3DCommandProc handler3D = nullptr;
};

class Host {
 public:
  struct Options {
    // Version text 'GMAP' reports while no project names one.
    std::string version = "21.0.0";
    // Publish the main window in the per-user window registry (needs a
    // runtime directory); without it 'hWND' fails.
    bool publishMainWindow = true;
    // Copy every log line (not only debug output) to stderr.
    bool verbose = false;
  };

  Host();
  explicit Host(Options options);
  ~Host();  // quits: the quit event, FreeData and unload of every add-on
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // ---- Function table and the host's parts --------------------------------------
  FunctionTable& Table() { return table_; }
  // The host an add-on call belongs to: the context's host, or for a null
  // context the host that is calling into an add-on on this thread. Null
  // when neither exists.
  static Host* FromContext(API_HostContext* context);
  // The add-on making a call (0 when unknown).
  static AddonId CallingAddon(API_HostContext* context);

  // Marks this thread as running inside a call into an add-on, so the host
  // calls it makes resolve even with a null context, and so notifications
  // the host raises meanwhile are delivered after it returns.
  class AddonScope {
   public:
    AddonScope(Host& host, AddonId addon);
    ~AddonScope();
    AddonScope(const AddonScope&) = delete;
    AddonScope& operator=(const AddonScope&) = delete;

    Host& host() const { return host_; }
    AddonId addon() const { return addon_; }
    AddonScope* previous() const { return previous_; }

   private:
    Host& host_;
    AddonId addon_;
    AddonScope* previous_;
  };

  // Per-host state of other parts of the host (the user interface).
  template <typename T>
  void SetExtension(std::shared_ptr<T> value) {
    extensions_[std::type_index(typeid(T))] = std::move(value);
  }
  template <typename T>
  T* GetExtension() const {
    auto it = extensions_.find(std::type_index(typeid(T)));
    return it == extensions_.end() ? nullptr : static_cast<T*>(it->second.get());
  }
  // Called with the add-on's id just before it is unloaded.
  void AddUnloadListener(std::function<void(AddonId)> listener) { unloadListeners_.push_back(std::move(listener)); }

  // ---- Add-ons --------------------------------------------------------------------
  // Loads a module and runs the loader protocol up to Initialize. A module
  // that is missing, lacks the entry points, speaks another interface, or
  // declines in CheckEnvironment is refused and unloaded again.
  Result<AddonId> LoadAddon(const std::string& path);
  // FreeData, then unload. False for an unknown id.
  Status UnloadAddon(AddonId id);
  std::vector<AddonId> Addons() const;
  const AddonRecord* Addon(AddonId id) const;
  const std::vector<FileTypeRecord>& FileTypes() const { return fileTypes_; }

  // ---- Log --------------------------------------------------------------------------
  void Log(std::string_view category, std::string_view text);
  std::vector<LogEntry> LogEntries() const;
  void ClearLog();
  // Called for every new entry (on the thread that logged it).
  void SetLogListener(std::function<void(const LogEntry&)> listener);

  // ---- Main window ----------------------------------------------------------------
  HWND MainWindow() const { return mainWindow_; }

  // ---- Project --------------------------------------------------------------------
  bool HasProject() const { return hasProject_; }
  // The project as it stands (model and state); an empty project when none
  // is open.
  hostmodel::Project CurrentProject() const;
  const hostmodel::ProjectState& State() const { return state_; }
  ModelerAPI::ProjectSnapshot Snapshot() const;
  // The 3D window's model and sight; null without a project.
  Modeler::Model3DPtr Model3D() const { return model3D_; }
  Modeler::SightPtr WindowSight() const { return windowSight_; }
  Modeler::SightPtr CurrentSight() const { return currentSight_; }
  bool IsModified() const { return modified_; }

  // A new, empty, untitled project. With reset, the host's "new and reset"
  // (project event 2 instead of 1): the settings go back to their defaults
  // as well, which the stand-in's fresh project state already is.
  Status NewProject(bool reset = false);
  // The built-in sample building, untitled.
  Status OpenSampleProject();
  // A native project file (".pln", ".json") or a model file (imported as an
  // untitled project whose model file is remembered for watching).
  Status OpenProject(const std::string& path);
  // A teamwork project: the model of a file, shared at a teamwork URL.
  Status OpenTeamworkProject(const std::string& path, const std::string& url);
  // Saves to the project's path; an untitled project needs SaveProjectAs.
  Status SaveProject();
  Status SaveProjectAs(const std::string& path);
  Status CloseProject();
  // The quit event, then every add-on is freed and unloaded.
  void Quit();

  // ---- Windows and the 3D view ------------------------------------------------------
  Status SwitchWindow(hostmodel::WindowType window);
  Status SetProjection(bool perspective);
  Status SetCamera(const hostmodel::Camera& camera);
  // Moves eye and target by the same offset (a walk).
  Status MoveCamera(const hostmodel::Vec3& offset);
  Status SetDrawRect(std::int16_t width, std::int16_t height);

  // ---- Project settings -----------------------------------------------------------
  Status SetReferenceLevels(const std::vector<hostmodel::ReferenceLevel>& levels);
  Status SetSeaLevelAltitude(double metres);
  Status SetWorkingLengthUnit(hostmodel::LengthUnit unit);

  // ---- Edits (each notifies the 3D model's observers) ------------------------------
  Result<hostmodel::ChangeSet> MoveElement(const hostmodel::Guid& element, const hostmodel::Vec3& offset);
  Result<hostmodel::ChangeSet> CopyElement(const hostmodel::Guid& element, const hostmodel::Vec3& offset);
  Result<hostmodel::ChangeSet> DeleteElement(const hostmodel::Guid& element);
  Result<hostmodel::ChangeSet> SetElementMaterial(const hostmodel::Guid& element, std::int32_t material);
  Result<hostmodel::ChangeSet> SetMaterialColor(std::int32_t material, const hostmodel::ColorRGB& color);
  Result<hostmodel::ChangeSet> SetMaterialTransparency(std::int32_t material, std::int32_t percent);
  Result<hostmodel::ChangeSet> SetMaterialTexture(std::int32_t material, std::int32_t texture);
  Result<hostmodel::ChangeSet> SetMaterialTextureFile(std::int32_t material, const std::string& imagePath, double xSize,
                                                      double ySize);
  // Deletes a material attribute (its users take the replacement, 0: the
  // first material left, hostmodel::kNoReplacement: they keep the deleted
  // index and are regenerated); its index stays taken.
  Result<hostmodel::ChangeSet> DeleteMaterial(std::int32_t material, std::int32_t replacement = 0);
  Result<hostmodel::ChangeSet> AddBox(const hostmodel::Vec3& minCorner, const hostmodel::Vec3& maxCorner,
                                      std::int32_t material, const std::string& name = "Box");

  // ---- Failing requests (for testing an add-on's failure paths) -----------------------
  // Makes every request by that selector ("GWIN", "PROJ", ...) or the
  // creation of a 3D sight ("sight") fail with code, until cleared (code 0).
  // Each refused call is logged ("fault").
  void SetFault(const std::string& request, GSErrCode code);
  void ClearFaults();
  // The code a request is to fail with, 0 when it runs; logs the refusal.
  GSErrCode Fault(const std::string& request);

  // ---- 3D file-type save ------------------------------------------------------------
  // Saves the 3D window through the add-on file type whose extension ends
  // path (case-insensitive). Needs a project and the 3D window current.
  Status Save3D(const std::string& path);

  // ---- Watching a model file ----------------------------------------------------------
  // Watches the model file the project was imported from (or path) and
  // applies its changes when ProcessEvents runs.
  Status WatchModelFile(const std::string& path = {});
  void StopWatching();
  bool IsWatching() const;
  // File descriptor readable when the watched file may have changed (-1
  // when not watching), for a poll loop.
  int WatchFd() const;
  // Applies pending changes of the watched file; true when the model
  // changed. A file that does not load (being written, or broken) is
  // reported in the log and the model stays as it was.
  bool ProcessEvents();
  // Reloads the watched file now.
  Result<hostmodel::ChangeSet> ReloadModelFile();

  // ---- Services of the table entries (public for the UI's entries too) ------------
  // Runs fn now, or after the outermost call into an add-on on this thread
  // returns, so that add-ons see notifications between their own calls, as
  // the host posts them.
  void Deliver(std::function<void()> fn);
  Status ApplyEdit(const std::string& what,
                   const std::function<Result<hostmodel::ChangeSet>(hostmodel::Project&)>& edit,
                   hostmodel::ChangeSet* changes);
  void SendProjectEvent(API_NotifyEventID event, Int32 param = 0);
  void SendViewEvent(API_NotifyViewEventID event, API_WindowTypeID window);
  AddonRecord* MutableAddon(AddonId id);
  std::vector<FileTypeRecord>& MutableFileTypes() { return fileTypes_; }
  Modeler::SightPtr CreateSight();
  Modeler::SightPtr SelectSight(const Modeler::SightPtr& sight);
  Modeler::Camera SdkCamera() const;
  std::string VersionText() const;
  hostmodel::ProjectState& MutableState() { return state_; }
  void MarkModified() { modified_ = true; }

 private:
  friend class AddonScope;
  void InstallRuntimeEntries();
  // Makes project the open one. It is checked first unless checked says
  // its loader has just checked this very project (LoadAnyFile does): a
  // second check of a large model adds a good part of a second to the
  // user's wait for nothing.
  Status InstallProject(hostmodel::Project project, API_NotifyEventID event, const std::string& modelFile,
                        bool checked = false);
  void DropProject();
  void NotifyCameraChanged();
  void FlushDeferred();

  Options options_;
  FunctionTable table_;
  std::map<std::type_index, std::shared_ptr<void>> extensions_;
  std::vector<std::function<void(AddonId)>> unloadListeners_;

  std::vector<std::unique_ptr<AddonRecord>> addons_;
  AddonId nextAddonId_ = 1;
  std::vector<FileTypeRecord> fileTypes_;

  mutable std::mutex logMutex_;
  std::vector<LogEntry> log_;
  std::function<void(const LogEntry&)> logListener_;

  HWND mainWindow_ = nullptr;

  bool hasProject_ = false;
  bool modified_ = false;
  hostmodel::ProjectState state_;
  Modeler::Model3DPtr model3D_;
  Modeler::SightPtr windowSight_;
  Modeler::SightPtr currentSight_;
  std::vector<std::weak_ptr<Modeler::Sight>> sights_;
  std::string modelFilePath_;  // the model file an imported project came from

  int callDepth_ = 0;
  bool flushing_ = false;
  std::vector<std::function<void()>> deferred_;

  std::unique_ptr<ModelWatcher> watcher_;
  std::map<std::string, GSErrCode> faults_;
  // Snapshots an edit replaced are freed there (made at the first edit).
  std::unique_ptr<SnapshotReleaser> releaser_;
};

}  // namespace host
