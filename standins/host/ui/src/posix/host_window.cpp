// The host's windows on Linux: published in the per-user window registry,
// so that the window calls of other processes (platform/win32.h) see them as
// on Windows; a window the registry cannot take still exists for the host's
// own calls.
#include "impl.h"

namespace host::ui {

HWND Ui::Impl::CreateHostWindow(const std::string& kind, const std::u16string& className, const std::u16string& title,
                                HWND owner) {
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

void Ui::Impl::AttachToThread() {}

// Messages to the host's windows are delivered by the calls that send them.
void Ui::Impl::DispatchWindowMessages() {}

}  // namespace host::ui
