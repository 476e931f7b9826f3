// Real top-level windows for the renderer's side: a window class per class
// name, registered once per process, and a wait for posted messages on the
// thread that made the window.
#include "platform/win32.h"

#include <mutex>
#include <set>

namespace platform {
namespace {

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(window, message, wParam, lParam);
}

bool RegisterClassOnce(const std::u16string& className) {
  static std::mutex mutex;
  static std::set<std::u16string> registered;
  std::lock_guard<std::mutex> hold(mutex);
  if (registered.count(className) != 0) return true;
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = WindowProcedure;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = base::WideText(className.c_str());
  if (RegisterClassExW(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
  registered.insert(className);
  return true;
}

bool OwnWindow(HWND window) {
  DWORD process = 0;
  return window != nullptr && IsWindow(window) && GetWindowThreadProcessId(window, &process) != 0 &&
         process == GetCurrentProcessId();
}

}  // namespace

HWND CreatePublishedWindow(const WindowDesc& desc) {
  if (desc.className.empty() || desc.className.size() > kMaxWindowTextUnits ||
      desc.title.size() > kMaxWindowTextUnits || desc.className.find(u'\0') != std::u16string::npos) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (desc.owner != nullptr && !IsWindow(desc.owner)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  if (!RegisterClassOnce(desc.className)) return nullptr;
  const DWORD style = WS_OVERLAPPEDWINDOW | (desc.visible ? WS_VISIBLE : 0);
  return CreateWindowExW(0, base::WideText(desc.className.c_str()), base::WideText(desc.title.c_str()), style,
                         CW_USEDEFAULT, CW_USEDEFAULT, 640, 480, desc.owner, nullptr, GetModuleHandleW(nullptr),
                         nullptr);
}

BOOL SetPublishedWindowText(HWND window, std::u16string_view title) {
  if (!OwnWindow(window)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (title.size() > kMaxWindowTextUnits) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::wstring text = base::ToWide(title);
  return SetWindowTextW(window, text.c_str());
}

BOOL ShowPublishedWindow(HWND window, bool visible) {
  if (!OwnWindow(window)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  ShowWindow(window, visible ? SW_SHOW : SW_HIDE);
  return TRUE;
}

BOOL DestroyPublishedWindow(HWND window) {
  if (!OwnWindow(window)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return DestroyWindow(window);
}

bool ReceivePostedMessage(HWND window, PostedMessage* out, int timeoutMs) {
  if (out == nullptr || !OwnWindow(window)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    MSG message;
    // This window's own messages first; the system's (below WM_USER) for
    // any window of the thread are handled meanwhile, so the window stays
    // responsive; other windows' own messages wait for their receiver.
    if (PeekMessageW(&message, window, WM_USER, 0xFFFF, PM_REMOVE)) {
      *out = PostedMessage{message.message, message.wParam, message.lParam};
      return true;
    }
    while (PeekMessageW(&message, nullptr, 0, WM_USER - 1, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    if (!IsWindow(window)) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return false;
    }
    DWORD wait = INFINITE;
    if (timeoutMs >= 0) {
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) {
        SetLastError(ERROR_TIMEOUT);
        return false;
      }
      wait = static_cast<DWORD>(deadline - now);
    }
    MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

}  // namespace platform
