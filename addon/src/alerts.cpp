#include "addon/alerts.h"

#include "addon/module.h"
#include "hostsdk/ui/win32ui.h"
#include "util/text.h"

namespace addon {
namespace {

HHOOK g_hook = nullptr;
HWND g_statusBar = nullptr;

// Gives the add-on's message boxes (and any window of ours being activated
// while one is up) the add-on's small icon.
LRESULT CbtHook(int code, WPARAM wParam, LPARAM lParam) {
  if (code != HCBT_ACTIVATE) return CallNextHookEx(g_hook, code, wParam, lParam);
  if (HICON icon = AddonIcon()) {
    char16_t title[257] = {};
    const HWND window = reinterpret_cast<HWND>(wParam);
    GetWindowTextW(window, title, 256);
    if (std::u16string_view(title).find(u"Velmar Corvanta") != std::u16string_view::npos) {
      SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    }
  }
  // The host's own hooks on this thread come after ours: one that does not
  // hear of the activation never sees the box (a host that answers boxes
  // for the user would wait for it forever).
  return CallNextHookEx(g_hook, code, wParam, lParam);
}

}  // namespace

int ShowMessage(const std::u16string& text, const std::u16string& caption, UINT style) {
  const HWND owner = HostMainWindow();
  if (g_hook == nullptr) g_hook = SetWindowsHookExW(WH_CBT, &CbtHook, nullptr, GetCurrentThreadId());
  const int button = MessageBoxW(owner, text.c_str(), caption.c_str(), style);
  if (g_hook != nullptr) UnhookWindowsHookEx(g_hook);
  g_hook = nullptr;
  return button;
}

void AlertSaveFirst() { ShowMessage(kSaveFirstText, kSaveFirstCaption, MB_OK | MB_ICONINFORMATION); }

void AlertFileInUse(const std::u16string& path) {
  const auto slash = path.find_last_of(u'/');
  const std::u16string name = slash == std::u16string::npos ? path : path.substr(slash + 1);
  const std::u16string text = util::FormatString(
      u"Cannot start the Corvanta connection.\n\nFile \"%s\" is being used by another instance of "
      u"ArchiCAD.\n\nSave the file with a different name or stop other connections.",
      name.c_str());
  ShowMessage(text, kFileInUseCaption, MB_OK | MB_ICONERROR);
}

void AlertExportFailed(const std::u16string& path, const std::u16string& reason) {
  const std::u16string text = util::FormatString(
      u"Cannot export the COLLADA file.\n\nThe document \"%s\" could not be written: %s.\n\nA file of that name "
      u"and its texture folder are as they were before the export.",
      path.c_str(), reason.c_str());
  ShowMessage(text, kExportFailedCaption, MB_OK | MB_ICONERROR);
}

void AlertSettingsNotStored(const std::u16string& settingsFile) {
  const std::u16string text = util::FormatString(
      u"Your settings could not be stored.\n\nThe settings file \"%s\" is damaged or cannot be written. "
      u"Your changes are not kept: until the file is repaired or removed, Corvanta uses the settings it can "
      u"read from it, and the default ones in place of those it cannot read.",
      settingsFile.c_str());
  ShowMessage(text, kSettingsNotStoredCaption, MB_OK | MB_ICONWARNING);
}

void SetStatusBarText(const std::u16string& text) {
  if (g_statusBar != nullptr && IsWindow(g_statusBar)) {
    SetWindowTextW(g_statusBar, text.c_str());
    return;
  }
  g_statusBar = nullptr;
  const HWND main = HostMainWindow();
  if (main == nullptr) return;
  // Any title: a bar that shows a text (the host's own, or ours from an
  // earlier load of this module) is the bar all the same.
  g_statusBar = FindWindowExW(main, nullptr, u"msctls_statusbar32", nullptr);
  if (g_statusBar != nullptr) SetWindowTextW(g_statusBar, text.c_str());
}

void ForgetHostWindows() {
  g_statusBar = nullptr;
  ForgetHostMainWindow();
}

}  // namespace addon
