// The host's windows on Windows: real windows, whose procedure tells the
// log what an add-on does to them (a title, the status bar's text, an
// icon), as the Linux build's own window calls do. The status bar is a child
// of the main window, where an add-on looks for it (FindWindowExW); the
// host's dialogs are of the system's dialog class, as on Windows.
#include <map>
#include <mutex>

#include "base/windows_text.h"
#include "impl.h"

namespace host::ui {
namespace {

// What the procedure of a host window notes before the window's own
// procedure (the default one, or the dialog class's) does its part.
void Note(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_SETTEXT && message != WM_SETICON) return;
  HostWindow* w = I().FindWindow(window);
  if (w == nullptr) return;
  if (message == WM_SETTEXT) NoteWindowText(*w, Bounded(reinterpret_cast<LPCWSTR>(lParam), 65536));
  else NoteWindowIcon(*w, wParam == ICON_SMALL, RSIconId(reinterpret_cast<HICON>(lParam)));
}

LRESULT CALLBACK HostWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Note(window, message, wParam, lParam);
  return DefWindowProcW(window, message, wParam, lParam);
}

// The system dialog class's own procedure, which the host's dialogs call on.
WNDPROC g_dialogProcedure = nullptr;

LRESULT CALLBACK HostDialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Note(window, message, wParam, lParam);
  return CallWindowProcW(g_dialogProcedure, window, message, wParam, lParam);
}

bool RegisterHostClass(const std::u16string& className) {
  static std::mutex mutex;
  static std::map<std::u16string, bool> registered;
  std::lock_guard<std::mutex> hold(mutex);
  if (registered.count(className)) return true;
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = HostWindowProcedure;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = base::WideText(className.c_str());
  if (RegisterClassExW(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
  registered[className] = true;
  return true;
}

}  // namespace

HWND Ui::Impl::CreateHostWindow(const std::string& kind, const std::u16string& className, const std::u16string& title,
                                HWND owner) {
  HostWindow w;
  w.kind = kind;
  w.className = className;
  w.title = title;
  w.owner = owner;
  const bool child = kind == "statusbar";
  const DWORD style = child ? (WS_CHILD | WS_VISIBLE) : (WS_OVERLAPPEDWINDOW | WS_VISIBLE);
  const std::wstring text = base::ToWide(title);
  HWND h = nullptr;
  if (className == u"#32770") {
    // The system's dialog class, by its atom (WC_DIALOG).
    h = CreateWindowExW(0, reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(0x8002)), text.c_str(), style,
                        CW_USEDEFAULT, CW_USEDEFAULT, 400, 300, owner, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (h) {
      auto previous = reinterpret_cast<WNDPROC>(
          SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&HostDialogProcedure)));
      if (g_dialogProcedure == nullptr) g_dialogProcedure = previous;
    }
  } else if (RegisterHostClass(className)) {
    h = CreateWindowExW(0, base::WideText(className.c_str()), text.c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
                        child ? 400 : 640, child ? 20 : 480, owner, nullptr, GetModuleHandleW(nullptr), nullptr);
  }
  if (h) {
    w.published = true;  // a real window: every process's window calls see it
  } else {
    // The window still exists for the host's own calls.
    U().log().Add("error", "cannot create the " + kind + " window (error " + std::to_string(GetLastError()) + ")",
                  {{"window", kind}});
    h = reinterpret_cast<HWND>(nextPseudoWindow++);
  }
  w.handle = h;
  windows.push_back(w);
  return h;
}

void Ui::Impl::DestroyHostWindow(HWND handle) {
  for (auto it = windows.begin(); it != windows.end(); ++it) {
    if (it->handle != handle) continue;
    const bool real = it->published;
    windows.erase(it);
    if (real) DestroyWindow(handle);
    return;
  }
}

void Ui::Impl::DispatchWindowMessages() {
  MSG message;
  // Bounded, so that a window flooded with messages cannot hold the idle
  // turn forever.
  for (int i = 0; i < 1000 && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE); ++i) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

}  // namespace host::ui
