// The Ui object itself: construction, the host's windows, resources of
// add-on modules, and text helpers.
#include <dlfcn.h>

#include <cstdio>
#include <filesystem>

#include "base/utf.h"
#include "impl.h"

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
  Dl_info info{};
  if (!address || !dladdr(address, &info) || !info.dli_fname) return "";
  return Canonical(info.dli_fname);
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
  palettes = std::erase_if(palettes_, [&](const auto& p) {
    return fromModule(reinterpret_cast<const void*>(p.second.callback));
  });
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

HWND Ui::Impl::CreateHostWindow(const std::string& kind, const std::u16string& className,
                                const std::u16string& title, HWND owner) {
  HostWindow w;
  w.kind = kind;
  w.className = className;
  w.title = title;
  w.owner = owner;
  platform::WindowDesc desc;
  desc.className = className;
  desc.title = title;
  desc.owner = owner;
  desc.visible = true;
  // Published windows are seen by the Win32 window calls of every process;
  // when the window registry cannot be used the window still exists for the
  // host's own calls.
  HWND h = platform::CreatePublishedWindow(desc);
  if (h) {
    w.published = true;
  } else {
    h = reinterpret_cast<HWND>(nextPseudoWindow++);
  }
  w.handle = h;
  windows.push_back(w);
  return h;
}

void Ui::Impl::DestroyHostWindow(HWND handle) {
  for (auto it = windows.begin(); it != windows.end(); ++it) {
    if (it->handle != handle) continue;
    if (it->published) platform::DestroyPublishedWindow(handle);
    windows.erase(it);
    return;
  }
}

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
  // RTLD_NOLOAD first: a module opening its own resources while it is being
  // loaded must not be loaded a second time.
  void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL | RTLD_NOLOAD);
  if (!handle) handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (!handle) {
    if (error) *error = std::string("cannot load ") + path + ": " + dlerror();
    return 0;
  }
  // Loading ran the module's constructors, which may have opened its
  // resources already.
  for (auto& [id, m] : impl_->modules)
    if (m.path == path) {
      ++m.users;
      dlclose(handle);
      return id;
    }
  auto* image = static_cast<const char*>(dlsym(handle, resc::kImageSymbolName));
  auto* size = static_cast<const unsigned long long*>(dlsym(handle, resc::kSizeSymbolName));
  if (!image || !size) {
    dlclose(handle);
    if (error) *error = path + ": the module carries no resources";
    return 0;
  }
  // The image is NUL-terminated by the compiler; the size symbol must agree.
  if (*size > (64ull << 20) || image[*size] != '\0') {
    dlclose(handle);
    if (error) *error = path + ": resource image size is damaged";
    return 0;
  }
  auto parsed = resc::Parse(std::string_view(image, static_cast<std::size_t>(*size)));
  if (!parsed.ok) {
    dlclose(handle);
    if (error) *error = path + ": " + parsed.error;
    return 0;
  }
  GSResModule id = impl_->nextModule++;
  ResourceModule m;
  m.path = path;
  m.dlHandle = handle;
  m.users = 1;
  m.set = std::move(parsed.set);
  impl_->modules.emplace(id, std::move(m));
  log_.Add("resources.open", "resources of " + path, {{"module", id}, {"path", path}});
  return id;
}

GSResModule Ui::OpenModuleAt(const void* address, std::string* error) {
  Dl_info info{};
  if (!address || !dladdr(address, &info) || !info.dli_fname) {
    if (error) *error = "address belongs to no loaded module";
    return 0;
  }
  return OpenModuleResources(info.dli_fname, error);
}

void Ui::CloseModuleResources(GSResModule module) {
  auto it = impl_->modules.find(module);
  if (it == impl_->modules.end()) return;
  if (--it->second.users > 0) return;
  if (it->second.dlHandle) dlclose(it->second.dlHandle);
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
