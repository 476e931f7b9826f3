// The host's own windows as the Windows calls see them on Linux: message
// boxes with the thread's CBT hook, window texts and icons, the status bar.
#include <sys/syscall.h>
#include <unistd.h>

#include "impl.h"

using host::ui::Bounded;
using host::ui::HostWindow;
using host::ui::I;
using host::ui::U;
using host::ui::Utf8;

namespace {

// Runs the CBT hooks of this thread, newest first, as Windows does when a
// window is about to be activated.
LRESULT RunCbtHooks(int code, WPARAM wParam, LPARAM lParam) {
  DWORD me = GetCurrentThreadId();
  for (auto it = I().hooks.rbegin(); it != I().hooks.rend(); ++it)
    if (it->type == WH_CBT && (it->thread == me || it->thread == 0)) {
      HOOKPROC proc = it->proc;
      return proc(code, wParam, lParam);  // the hook passes on with CallNextHookEx
    }
  return 0;
}

}  // namespace

DWORD GetCurrentThreadId() { return static_cast<DWORD>(syscall(SYS_gettid)); }

int GetSystemMetrics(int index) {
  switch (index) {
    case SM_CXSMICON:
    case SM_CYSMICON: return 16;
    case SM_CXICON:
    case SM_CYICON: return 32;
  }
  return 0;
}

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  auto buttons = host::ui::MessageBoxButtons(type);
  if (buttons.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  host::ui::MessageBoxRequest req;
  req.owner = owner;
  req.caption = caption ? Bounded(caption, 4096) : u"Error";  // Windows' default caption
  req.text = Bounded(text, 65536);
  req.style = type;
  req.window = I().CreateHostWindow("msgbox", u"#32770", req.caption, owner);
  host::ui::NoteMessageBoxShown(req);
  CBTACTIVATESTRUCT activate{FALSE, nullptr};
  RunCbtHooks(HCBT_ACTIVATE, reinterpret_cast<WPARAM>(req.window), reinterpret_cast<LPARAM>(&activate));
  int button = 0;
  if (U().answerer()) button = U().answerer()->MessageBox(req);
  button = host::ui::UsableMessageBoxButton(req, button);
  host::ui::MessageBoxRecord rec;
  rec.caption = req.caption;
  rec.text = req.text;
  rec.style = type;
  rec.owner = owner;
  if (const HostWindow* w = I().FindWindow(req.window)) rec.smallIcon = w->smallIcon;
  rec.button = button;
  host::ui::NoteMessageBoxAnswered(rec);
  I().DestroyHostWindow(req.window);
  return button;
}

HHOOK SetWindowsHookExW(int idHook, HOOKPROC proc, HINSTANCE, DWORD threadId) {
  if (idHook != WH_CBT || !proc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  host::ui::Hook h;
  h.id = reinterpret_cast<HHOOK>(I().nextHook++);
  h.type = idHook;
  h.proc = proc;
  h.thread = threadId;
  I().hooks.push_back(h);
  U().log().Add("hook.install", "CBT hook installed",
                {{"thread", threadId}, {"current", threadId == GetCurrentThreadId()}});
  return h.id;
}

LRESULT CallNextHookEx(HHOOK hook, int code, WPARAM wParam, LPARAM lParam) {
  // The next hook is the one installed before `hook` for the same thread.
  auto& hooks = I().hooks;
  int at = -1;
  for (int i = 0; i < static_cast<int>(hooks.size()); ++i)
    if (hooks[i].id == hook) at = i;
  DWORD me = GetCurrentThreadId();
  for (int i = (at < 0 ? static_cast<int>(hooks.size()) : at) - 1; i >= 0; --i)
    if (hooks[i].type == WH_CBT && (hooks[i].thread == me || hooks[i].thread == 0))
      return hooks[i].proc(code, wParam, lParam);
  return 0;
}

BOOL UnhookWindowsHookEx(HHOOK hook) {
  auto& hooks = I().hooks;
  for (auto it = hooks.begin(); it != hooks.end(); ++it)
    if (it->id == hook) {
      hooks.erase(it);
      U().log().Add("hook.remove", "CBT hook removed", nlohmann::json::object());
      return TRUE;
    }
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  HostWindow* w = I().FindWindow(window);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (message == WM_SETICON)
    return host::ui::NoteWindowIcon(*w, wParam == ICON_SMALL, RSIconId(reinterpret_cast<HICON>(lParam)));
  if (message == WM_GETICON) return wParam == ICON_SMALL ? w->smallIcon : w->bigIcon;
  if (message == WM_SETTEXT) return SetWindowTextW(window, reinterpret_cast<LPCWSTR>(lParam));
  return 0;
}

BOOL SetWindowTextW(HWND window, LPCWSTR text) {
  HostWindow* w = I().FindWindow(window);
  if (!w) {
    // Windows of other processes keep their titles.
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  std::u16string t = Bounded(text, 65536);
  if (w->published && !platform::SetPublishedWindowText(window, t)) return FALSE;
  host::ui::NoteWindowText(*w, t);
  return TRUE;
}

HWND FindWindowExW(HWND parent, HWND childAfter, LPCWSTR className, LPCWSTR title) {
  std::u16string cls = Bounded(className, 256), ttl = Bounded(title, 4096);
  bool started = childAfter == nullptr;
  for (const auto& w : I().windows) {
    if (!started) {
      started = w.handle == childAfter;
      continue;
    }
    if (w.owner != parent || w.kind == "main") continue;
    if (className && w.className != cls) continue;
    if (title && w.title != ttl) continue;
    return w.handle;
  }
  SetLastError(ERROR_FILE_NOT_FOUND);
  return nullptr;
}
