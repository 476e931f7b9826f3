// Host core: the loader protocol, add-on records, the log and the delivery of
// notifications.
#include "host/host.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "context.h"
#include "module_loader.h"
#include "snapshot_releaser.h"
#include "watcher.h"

namespace host {

namespace detail {
Host::AddonScope*& CurrentScope() {
  thread_local Host::AddonScope* scope = nullptr;
  return scope;
}
}  // namespace detail

namespace {

std::u16string FixedText(const char16_t* text, std::size_t capacity) {
  std::size_t n = 0;
  while (n < capacity && text[n] != 0) ++n;
  return std::u16string(text, n);
}

std::string Hex(GSErrCode code) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(code));
  return text;
}

}  // namespace

// ---- Construction ---------------------------------------------------------------------

Host::Host() : Host(Options{}) {}

Host::Host(Options options) : options_(std::move(options)) {
  InstallRuntimeEntries();
  if (options_.publishMainWindow) {
    platform::WindowDesc desc;
    desc.className = u"HostMainWindow";
    desc.title = u"Host - no project";
    desc.visible = true;
    mainWindow_ = platform::CreatePublishedWindow(desc);
    if (mainWindow_ == nullptr) {
      Log("host", "the main window could not be published (error " + std::to_string(GetLastError()) +
                      "); add-ons asking for it get an error");
    } else {
      SetForegroundWindow(mainWindow_);
    }
  }
}

Host::~Host() {
  Quit();
  StopWatching();
  if (mainWindow_ != nullptr) platform::DestroyPublishedWindow(mainWindow_);
}

// ---- Contexts and scopes --------------------------------------------------------------

Host* Host::FromContext(API_HostContext* context) {
  if (context != nullptr) {
    return context->magic == API_HostContext::kMagic ? context->host : nullptr;
  }
  AddonScope* scope = detail::CurrentScope();
  return scope != nullptr ? &scope->host() : nullptr;
}

AddonId Host::CallingAddon(API_HostContext* context) {
  if (context != nullptr) return context->magic == API_HostContext::kMagic ? context->addon : 0;
  // The innermost scope that names an add-on: notifications run in scopes
  // of their own without one.
  for (AddonScope* scope = detail::CurrentScope(); scope != nullptr; scope = scope->previous()) {
    if (scope->addon() != 0) return scope->addon();
  }
  return 0;
}

Host::AddonScope::AddonScope(Host& host, AddonId addon)
    : host_(host), addon_(addon), previous_(detail::CurrentScope()) {
  detail::CurrentScope() = this;
  ++host_.callDepth_;
}

Host::AddonScope::~AddonScope() {
  detail::CurrentScope() = previous_;
  if (--host_.callDepth_ == 0 && !host_.flushing_) host_.FlushDeferred();
}

void Host::Deliver(std::function<void()> fn) {
  if (callDepth_ > 0 || flushing_) {
    deferred_.push_back(std::move(fn));
    return;
  }
  fn();
  FlushDeferred();
}

void Host::FlushDeferred() {
  if (flushing_) return;
  flushing_ = true;
  while (!deferred_.empty()) {
    std::vector<std::function<void()>> batch;
    batch.swap(deferred_);
    for (auto& fn : batch) fn();
  }
  flushing_ = false;
}

// ---- Log ------------------------------------------------------------------------------

void Host::Log(std::string_view category, std::string_view text) {
  LogEntry entry{std::string(category), std::string(text)};
  std::function<void(const LogEntry&)> listener;
  {
    std::lock_guard lock(logMutex_);
    log_.push_back(entry);
    listener = logListener_;
  }
  if (options_.verbose || entry.category == "debug") {
    std::string line = "[host " + entry.category + "] " + entry.text;
    if (line.empty() || line.back() != '\n') line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stderr);
  }
  if (listener) listener(entry);
}

std::vector<LogEntry> Host::LogEntries() const {
  std::lock_guard lock(logMutex_);
  return log_;
}

void Host::ClearLog() {
  std::lock_guard lock(logMutex_);
  log_.clear();
}

void Host::SetLogListener(std::function<void(const LogEntry&)> listener) {
  std::lock_guard lock(logMutex_);
  logListener_ = std::move(listener);
}

// ---- Add-ons --------------------------------------------------------------------------

Result<AddonId> Host::LoadAddon(const std::string& path) {
  auto fail = [&](const std::string& problem) {
    Log("loader", path + ": " + problem);
    return Result<AddonId>::Fail(path + ": " + problem);
  };
  std::string loadError;
  void* handle = LoadModule(path, &loadError);
  if (handle == nullptr) return fail(loadError);
  auto closeAndFail = [&](const std::string& problem) {
    UnloadModule(handle);
    return fail(problem);
  };
  auto getExports = reinterpret_cast<GetExportedFuncAddrsProc>(ModuleSymbol(handle, kGetExportedFuncAddrsSymbol));
  auto setImports = reinterpret_cast<SetImportedFuncAddrsProc>(ModuleSymbol(handle, kSetImportedFuncAddrsSymbol));
  if (getExports == nullptr || setImports == nullptr) {
    return closeAndFail("not an add-on: GetExportedFuncAddrs or SetImportedFuncAddrs is missing");
  }

  auto record = std::make_unique<AddonRecord>();
  record->id = nextAddonId_++;
  record->path = path;
  record->handle = handle;
  record->context = std::make_unique<API_HostContext>();
  record->context->host = this;
  record->context->addon = record->id;
  AddonRecord* r = record.get();
  addons_.push_back(std::move(record));
  auto dropRecord = [&] {
    addons_.erase(std::find_if(addons_.begin(), addons_.end(), [&](auto& a) { return a.get() == r; }));
  };

  {
    AddonScope scope(*this, r->id);
    Log("loader", path + ": GetExportedFuncAddrs");
    GSErrCode err = getExports(&r->exports);
    if (err != NoError) {
      dropRecord();
      return closeAndFail("GetExportedFuncAddrs failed with " + Hex(err));
    }
    if (r->exports.interfaceVersion != kAddonInterfaceVersion || r->exports.hostGeneration != kAddonHostGeneration) {
      char text[96];
      std::snprintf(text, sizeof(text), "speaks interface 0x%X for generation %d, the host 0x%X for %d",
                    r->exports.interfaceVersion, r->exports.hostGeneration, kAddonInterfaceVersion,
                    kAddonHostGeneration);
      dropRecord();
      return closeAndFail(text);
    }
    if (r->exports.checkEnvironment == nullptr || r->exports.registerInterface == nullptr ||
        r->exports.initialize == nullptr || r->exports.freeData == nullptr) {
      dropRecord();
      return closeAndFail("the export record lacks an entry point");
    }
    Log("loader", path + ": SetImportedFuncAddrs");
    err = setImports(&table_.Raw());
    if (err != NoError) {
      dropRecord();
      return closeAndFail("SetImportedFuncAddrs failed with " + Hex(err));
    }
    Log("loader", path + ": CheckEnvironment");
    API_EnvirParams envir{};
    envir.hostVersion = kAddonHostGeneration;
    r->type = r->exports.checkEnvironment(&envir);
    r->name = FixedText(envir.addOnInfo.name, kAddonInfoTextUnits);
    r->description = FixedText(envir.addOnInfo.description, kAddonInfoTextUnits);
    if (r->type == APIAddon_DontRegister) {
      dropRecord();
      return closeAndFail("the add-on declined to load (CheckEnvironment)");
    }
    Log("loader", path + ": RegisterInterface");
    r->registerResult = r->exports.registerInterface();
    if (r->registerResult != NoError) {
      // The host keeps the add-on: what registered before the failure stays.
      Log("loader", path + ": RegisterInterface reported " + Hex(r->registerResult));
    }
    Log("loader", path + ": Initialize");
    r->initializeResult = r->exports.initialize(r->context.get());
    r->initialized = true;
    if (r->initializeResult != NoError) {
      Log("loader", path + ": Initialize reported " + Hex(r->initializeResult));
    }
  }
  return Result<AddonId>::Ok(r->id);
}

Status Host::UnloadAddon(AddonId id) {
  auto it = std::find_if(addons_.begin(), addons_.end(), [&](auto& a) { return a->id == id; });
  if (it == addons_.end()) return Status::Fail("no add-on with id " + std::to_string(id) + " is loaded");
  AddonRecord* r = it->get();
  for (auto& listener : unloadListeners_) listener(id);
  if (r->initialized) {
    AddonScope scope(*this, id);
    Log("loader", r->path + ": FreeData");
    const GSErrCode err = r->exports.freeData();
    if (err != NoError) Log("loader", r->path + ": FreeData reported " + Hex(err));
  }
  // Whatever the add-on left installed goes with it: the host never calls
  // into an unloaded module.
  fileTypes_.erase(std::remove_if(fileTypes_.begin(), fileTypes_.end(), [&](auto& f) { return f.addon == id; }),
                   fileTypes_.end());
  void* handle = r->handle;
  const std::string path = r->path;
  {
    // Static destructors of the module run as it unloads and may still print.
    AddonScope scope(*this, id);
    r->projectHandler = nullptr;
    r->viewHandler = nullptr;
    UnloadModule(handle);
  }
  addons_.erase(std::find_if(addons_.begin(), addons_.end(), [&](auto& a) { return a->id == id; }));
  Log("loader", path + ": unloaded");
  return Status::Ok();
}

std::vector<AddonId> Host::Addons() const {
  std::vector<AddonId> ids;
  for (auto& a : addons_) ids.push_back(a->id);
  return ids;
}

const AddonRecord* Host::Addon(AddonId id) const {
  for (auto& a : addons_) {
    if (a->id == id) return a.get();
  }
  return nullptr;
}

AddonRecord* Host::MutableAddon(AddonId id) {
  for (auto& a : addons_) {
    if (a->id == id) return a.get();
  }
  return nullptr;
}

// ---- Events ---------------------------------------------------------------------------

void Host::SendProjectEvent(API_NotifyEventID event, Int32 param) {
  Log("event", "project event " + std::to_string(int(event)));
  Deliver([this, event, param] {
    for (AddonId id : Addons()) {
      AddonRecord* r = MutableAddon(id);
      if (r == nullptr || r->projectHandler == nullptr || (r->projectMask & GSFlags(event)) == 0) continue;
      AddonScope scope(*this, id);
      r->projectHandler(event, param);
    }
  });
}

void Host::SendViewEvent(API_NotifyViewEventID event, API_WindowTypeID window) {
  Log("event", "view event " + std::to_string(int(event)) + " window " + std::to_string(int(window)));
  Deliver([this, event, window] {
    API_NotifyViewEventType record{};
    record.notifID = event;
    record.mapId = API_PublicViewMap;
    record.windowType = window;
    for (AddonId id : Addons()) {
      AddonRecord* r = MutableAddon(id);
      if (r == nullptr || r->viewHandler == nullptr || (r->viewMask & GSFlags(event)) == 0) continue;
      if (r->viewMap != API_UndefinedMap && r->viewMap != record.mapId) continue;
      AddonScope scope(*this, id);
      r->viewHandler(&record);
    }
  });
}

// ---- Failing requests -------------------------------------------------------------------

void Host::SetFault(const std::string& request, GSErrCode code) {
  if (code == NoError) {
    faults_.erase(request);
    Log("fault", request + " runs again");
  } else {
    faults_[request] = code;
    Log("fault", request + " fails with " + Hex(code) + " from now on");
  }
}

void Host::ClearFaults() {
  faults_.clear();
  Log("fault", "every request runs again");
}

GSErrCode Host::Fault(const std::string& request) {
  if (faults_.empty()) return NoError;
  auto it = faults_.find(request);
  if (it == faults_.end()) return NoError;
  Log("fault", request + " refused with " + Hex(it->second));
  return it->second;
}

// ---- Quit -----------------------------------------------------------------------------

void Host::Quit() {
  if (addons_.empty() && !hasProject_) return;
  SendProjectEvent(APINotify_Quit, 0);
  while (!addons_.empty()) UnloadAddon(addons_.back()->id);
  DropProject();
  hasProject_ = false;
}

}  // namespace host
