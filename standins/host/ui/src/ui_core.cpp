// The Ui object itself: construction, the host's windows, resources of
// add-on modules, and text helpers.
#include <cstdio>
#include <filesystem>

#include "base/utf.h"
#include "impl.h"
#include "module_image.h"

namespace host::ui {

std::string Utf8(const std::u16string& s) { return base::ToUtf8(s); }
std::u16string Utf16(const std::string& s) { return base::FromUtf8(s); }

std::string HandleText(const void* handle) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(handle)));
  return buf;
}

std::string DialogKindName(DialogKind kind) {
  switch (kind) {
    case DialogKind::Modal: return "modal";
    case DialogKind::Modeless: return "modeless";
    case DialogKind::Palette: return "palette";
    case DialogKind::Blank: return "blank";
  }
  return "?";
}

const ItemState* DialogState::Item(short item) const {
  if (item < 1 || item > static_cast<short>(items.size())) return nullptr;
  return &items[item - 1];
}

Ui& Ui::Get() {
  // One per process: the add-on and the host reach the same object because
  // both link this shared library.
  static Ui* instance = new Ui();
  return *instance;
}

Ui::Ui() : impl_(std::make_unique<Impl>(*this)) {}

void Ui::Reset() {
  menus_.clear();
  palettes_.clear();
  for (auto& [id, d] : impl_->dialogs)
    if (d.window) impl_->DestroyHostWindow(d.window);
  impl_->dialogs.clear();
  messageBoxes_.clear();
  shell_.clear();
  impl_->hooks.clear();
}

namespace {
// The file of the module that holds the code at address.
std::string Canonical(const std::string& path) {
  std::error_code ec;
  auto p = std::filesystem::weakly_canonical(path, ec);
  return ec ? path : p.string();
}
std::string CodeModule(const void* address) {
  const std::string file = platform::ModuleFileOf(address);
  return file.empty() ? file : Canonical(file);
}
}  // namespace

void Ui::ForgetModuleCode(const std::string& modulePath) {
  if (modulePath.empty()) return;
  const std::string path = Canonical(modulePath);
  auto fromModule = [&](const void* fn) { return fn && CodeModule(fn) == path; };
  std::size_t menus = 0, palettes = 0, dialogs = 0, hooks = 0;
  menus = std::erase_if(menus_, [&](const MenuItemState& m) {
    return fromModule(reinterpret_cast<const void*>(m.handler)) || Canonical(ModulePath(m.module)) == path;
  });
  palettes = std::erase_if(palettes_,
                           [&](const auto& p) { return fromModule(reinterpret_cast<const void*>(p.second.callback)); });
  for (auto it = impl_->dialogs.begin(); it != impl_->dialogs.end();) {
    if (fromModule(reinterpret_cast<const void*>(it->second.callback))) {
      if (it->second.window) impl_->DestroyHostWindow(it->second.window);
      it = impl_->dialogs.erase(it);
      ++dialogs;
    } else {
      ++it;
    }
  }
  hooks = std::erase_if(impl_->hooks, [&](const Hook& h) { return fromModule(reinterpret_cast<const void*>(h.proc)); });
  if (menus + palettes + dialogs + hooks)
    log_.Add("ui.forget",
             "dropped what " + path + " left behind: " + std::to_string(menus) + " menu items, " +
                 std::to_string(palettes) + " palettes, " + std::to_string(dialogs) + " dialogs, " +
                 std::to_string(hooks) + " hooks",
             {{"path", path}, {"menus", menus}, {"palettes", palettes}, {"dialogs", dialogs}, {"hooks", hooks}});
}

// ---- Windows ------------------------------------------------------------------

HostWindow* Ui::Impl::FindWindow(HWND handle) {
  if (!handle) return nullptr;
  for (auto& w : windows)
    if (w.handle == handle) return &w;
  return nullptr;
}

const HostWindow* Ui::Window(HWND handle) const { return impl_->FindWindow(handle); }

HWND Ui::EnsureMainWindow(const std::u16string& title) {
  if (!mainWindow_) {
    mainWindow_ = impl_->CreateHostWindow("main", u"HostMainWindow", title, nullptr);
    log_.Add("window.main", "main window " + Utf8(title), {{"title", Utf8(title)}});
  }
  SetMainWindow(mainWindow_);
  return mainWindow_;
}

void Ui::SetMainWindow(HWND window) {
  mainWindow_ = window;
  // The thread that shows the host's main window is the one whose questions
  // the host answers.
  impl_->AttachToThread();
  if (!impl_->FindWindow(window)) {
    HostWindow w;
    w.handle = window;
    w.kind = "main";
    w.className = u"HostMainWindow";
    impl_->windows.push_back(w);  // adopted: the host destroys it itself
  }
  if (statusBar_ && impl_->FindWindow(statusBar_) && impl_->FindWindow(statusBar_)->owner == window) return;
  if (statusBar_) impl_->DestroyHostWindow(statusBar_);
  statusBar_ = impl_->CreateHostWindow("statusbar", u"msctls_statusbar32", u"", window);
}

std::u16string Ui::StatusText() const {
  const HostWindow* w = impl_->FindWindow(statusBar_);
  return w ? w->title : std::u16string();
}

void Ui::DestroyWindows() {
  auto windows = impl_->windows;
  for (auto it = windows.rbegin(); it != windows.rend(); ++it)
    if (it->published && (it->kind != "main" || it->handle == mainWindow_)) impl_->DestroyHostWindow(it->handle);
  impl_->windows.clear();
  mainWindow_ = statusBar_ = nullptr;
}

// ---- Resources ----------------------------------------------------------------

GSResModule Ui::OpenModuleResources(const std::string& path, std::string* error) {
  for (auto& [id, m] : impl_->modules)
    if (m.path == path) {
      ++m.users;
      return id;
    }
  ModuleImage loaded;
  if (!OpenModuleImage(path, &loaded, error)) return 0;
  // Loading ran the module's constructors, which may have opened its
  // resources already.
  for (auto& [id, m] : impl_->modules)
    if (m.path == path) {
      ++m.users;
      CloseModuleImage(loaded);
      return id;
    }
  auto parsed = resc::Parse(loaded.image);
  if (!parsed.ok) {
    CloseModuleImage(loaded);
    if (error) *error = path + ": " + parsed.error;
    return 0;
  }
  GSResModule id = impl_->nextModule++;
  ResourceModule m;
  m.path = path;
  m.image = loaded;
  m.users = 1;
  m.set = std::move(parsed.set);
  impl_->modules.emplace(id, std::move(m));
  log_.Add("resources.open", "resources of " + path, {{"module", id}, {"path", path}});
  return id;
}

GSResModule Ui::OpenModuleAt(const void* address, std::string* error) {
  const std::string file = platform::ModuleFileOf(address);
  if (file.empty()) {
    if (error) *error = "address belongs to no loaded module";
    return 0;
  }
  return OpenModuleResources(file, error);
}

void Ui::CloseModuleResources(GSResModule module) {
  auto it = impl_->modules.find(module);
  if (it == impl_->modules.end()) return;
  if (--it->second.users > 0) return;
  CloseModuleImage(it->second.image);
  impl_->modules.erase(it);
  if (currentModule_ == module) currentModule_ = 0;
}

const resc::ResourceSet* Ui::Resources(GSResModule module) const {
  auto it = impl_->modules.find(module);
  return it == impl_->modules.end() ? nullptr : &it->second.set;
}

std::string Ui::ModulePath(GSResModule module) const {
  auto it = impl_->modules.find(module);
  return it == impl_->modules.end() ? std::string() : it->second.path;
}

}  // namespace host::ui
