// A small add-on that uses the host's user interface the way the real add-on
// does: its own menu and an entry in the host's palette menu kept in step
// with a link state through 'GMIF'/'SMIF'/'SMIT', a dockable palette with
// state icons and tooltips, modal dialogs, an alert, a message box whose
// icon a CBT hook sets, status bar texts and the save dialog. What the host
// answers goes to a journal (CORV_UIADDON_JOURNAL) and to DBPrintf, so that
// tests see what the add-on received.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "hostsdk/acapi.h"
#include "hostsdk/loader.h"
#include "hostsdk/requests.h"
#include "hostsdk/ui/acapi_ui.h"
#include "hostsdk/ui/dg.h"
#include "hostsdk/ui/rs.h"
#include "hostsdk/ui/win32ui.h"

namespace {

enum class State { Stopped, Paused, Running };

const char16_t kPaletteGuid[] = u"{5B1E7F0A-3C2D-4E8F-9A6B-0C1D2E3F4A5B}";

int g_anchor;  // an object of this module, to find its resources
GSResModule g_res = 0;
HICON g_icon = nullptr;
State g_state = State::Stopped;
short g_palette = 0;
bool g_paletteEnabled = true;
short g_startIcon = 32111, g_statusIcon = 32131;
std::map<short, std::u16string> g_tooltips;
short g_idle = 0;
long g_idlePasses = 0;
HHOOK g_hook = nullptr;
HWND g_main = nullptr, g_statusBar = nullptr;
bool g_startShowsResume = false;
bool g_follow = true, g_optimize = false;
short g_level = 1;
double g_offset = 0.25;

std::string Utf8(const std::u16string& s) { return GS::UniString(s).ToUtf8(); }

void Journal(const std::string& line) {
  if (const char* path = std::getenv("CORV_UIADDON_JOURNAL")) {
    std::ofstream out(path, std::ios::app);
    out << line << "\n";
  }
  DBPrintf("uiaddon: %s", line.c_str());
}

__attribute__((constructor)) void OnLoad() { g_res = RSInitModuleCache(&g_anchor); }
__attribute__((destructor)) void OnUnload() { RSExitModuleCache(g_res); }

bool ProjectAvailable() {
  API_ProjectInfo info;
  return ACAPI_Environment(APIEnv_ProjectID, &info) == NoError;
}

std::u16string ProjectPath() {
  API_ProjectInfo info;
  if (ACAPI_Environment(APIEnv_ProjectID, &info) != NoError || info.untitled) return {};
  GS::UniString path;
  if (info.location.ToPath(&path) != NoError) return {};
  return path.ToU16();
}

HWND MainWindow() {
  if (!g_main) {
    void* h = nullptr;
    if (ACAPI_Environment(APIEnv_GetMainWindowID, &h) == NoError) g_main = static_cast<HWND>(h);
  }
  return g_main;
}

void SetStatusBarText(const std::u16string& text) {
  if (!g_statusBar || !IsWindow(g_statusBar)) {
    HWND main = MainWindow();
    g_statusBar = main ? FindWindowExW(main, nullptr, u"msctls_statusbar32", u"") : nullptr;
  }
  if (g_statusBar) SetWindowTextW(g_statusBar, text.c_str());
}

// ---- Message boxes --------------------------------------------------------------
LRESULT CbtHook(int code, WPARAM wParam, LPARAM lParam) {
  if (code != HCBT_ACTIVATE) return CallNextHookEx(g_hook, code, wParam, lParam);
  if (g_icon) {
    char16_t title[257] = {};
    GetWindowTextW(reinterpret_cast<HWND>(wParam), title, 256);
    if (std::u16string(title).find(u"Tester") != std::u16string::npos)
      SendMessageW(reinterpret_cast<HWND>(wParam), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(g_icon));
  }
  return 0;
}

int ShowMessage(const std::u16string& text, const std::u16string& caption, UINT style) {
  if (!g_hook) g_hook = SetWindowsHookExW(WH_CBT, CbtHook, nullptr, GetCurrentThreadId());
  int button = MessageBoxW(MainWindow(), text.c_str(), caption.c_str(), style);
  if (g_hook) UnhookWindowsHookEx(g_hook);
  g_hook = nullptr;
  Journal("msgbox " + Utf8(caption) + " -> " + std::to_string(button));
  return button;
}

// ---- Menus ------------------------------------------------------------------------
void SetFlag(short menu, GSFlags bit, bool on) {
  API_MenuItemRef ref{menu, 1};
  GSFlags flags = 0;
  if (ACAPI_Interface(APIIo_GetMenuItemFlagsID, &ref, &flags) != NoError) return;
  flags = on ? (flags | bit) : (flags & ~bit);
  ACAPI_Interface(APIIo_SetMenuItemFlagsID, &ref, &flags);
}
void Enable(short menu, bool on) { SetFlag(menu, API_MenuItemDisabled, !on); }

bool PaletteVisible() { return g_palette && DGIsModelessDialogVisible(g_palette); }

void SetIcon(short item, short icon, short* record, const std::u16string& tip) {
  if (*record == icon) return;
  *record = icon;
  g_tooltips[item] = tip;
  DGSetItemIcon(g_palette, item, g_res, icon);
}

void RefreshPalette() {
  if (!g_palette) return;
  if (g_paletteEnabled) {
    bool project = ProjectAvailable();
    DGEnableItem(g_palette, 1);
    DGEnableItem(g_palette, 4);
    if (project) {
      DGEnableItem(g_palette, 2);
      if (g_state == State::Stopped) DGDisableItem(g_palette, 3); else DGEnableItem(g_palette, 3);
      DGEnableItem(g_palette, 6);
    } else {
      DGDisableItem(g_palette, 2);
      DGDisableItem(g_palette, 3);
      DGDisableItem(g_palette, 6);
    }
  } else {
    for (short i = 1; i <= DGGetItemCount(g_palette); ++i) DGDisableItem(g_palette, i);
  }
  switch (g_state) {
    case State::Stopped:
      SetIcon(4, 32131, &g_statusIcon, u"Status: stopped");
      SetIcon(2, 32111, &g_startIcon, u"Start the link.");
      break;
    case State::Paused:
      SetIcon(4, 32132, &g_statusIcon, u"Status: paused");
      SetIcon(2, 32113, &g_startIcon, u"Resume the link.");
      break;
    case State::Running:
      SetIcon(4, 32133, &g_statusIcon, u"Status: running");
      SetIcon(2, 32112, &g_startIcon, u"Pause the link.");
      break;
  }
}

void UpdateMenus() {
  Enable(32100, true);
  Enable(32106, true);
  Enable(32107, g_state == State::Stopped);
  SetFlag(32106, API_MenuItemChecked, PaletteVisible());
  SetFlag(32110, API_MenuItemChecked, PaletteVisible());
  if (ProjectAvailable()) {
    Enable(32101, g_state != State::Running);
    Enable(32102, g_state == State::Running);
    Enable(32103, g_state != State::Stopped);
    Enable(32105, true);
  } else {
    for (short m : {32101, 32102, 32103, 32105}) Enable(m, false);
  }
  bool resume = g_state == State::Paused;
  if (resume != g_startShowsResume) {
    g_startShowsResume = resume;
    API_MenuItemRef ref{32101, 1};
    GS::UniString text(resume ? u"Resume Link" : u"Start Link");
    ACAPI_Interface(APIIo_SetMenuItemTextID, &ref, &text);
  }
  RefreshPalette();
}

// ---- Palette ----------------------------------------------------------------------
void StartOrResume();
void Stop();
void ShowAbout();
void Export();

short PaletteCallback(short message, short dialId, short item, DGUserData, DGMessageData data) {
  switch (message) {
    case DG_MSG_CLOSE:
      DGEndProcessEvents(dialId);
      g_palette = 0;
      return 0;
    case DG_MSG_CLICK:
      if (item == 1) ShowAbout();
      if (item == 2) StartOrResume();
      if (item == 3) Stop();
      if (item == 6) Export();
      return 0;
    case DG_MSG_TOOLTIP: {
      auto* help = reinterpret_cast<DGHelpData*>(data);
      if (help->helpType != 0) return 0;
      auto it = g_tooltips.find(item);
      if (it == g_tooltips.end()) return 0;
      std::size_t n = std::min<std::size_t>(it->second.size(), DG_TOOLTIP_MAX - 1);
      std::copy_n(it->second.begin(), n, help->toolTipText);
      help->toolTipText[n] = 0;
      return 1;
    }
  }
  return 0;
}

void ShowPalette() {
  if (!g_palette) {
    g_palette = DGCreateDockablePalette(g_res, 32450, g_res, PaletteCallback, 0, kPaletteGuid);
    if (!g_palette) return;
    DGBeginProcessEvents(g_palette);
  }
  if (!DGIsModelessDialogVisible(g_palette)) DGShowModelessDialog(g_palette, DG_DF_FIRST);
  RefreshPalette();
}

void HidePalette() {
  if (!g_palette) return;
  short id = g_palette;
  DGModelessClose(id);
  DGEndProcessEvents(id);
  g_palette = 0;
}

GSErrCode PaletteControl(std::int32_t refId, API_PaletteMessageID message, std::intptr_t param) {
  if (refId != 32450) return NoError;
  Journal("palette control " + std::to_string(message));
  switch (message) {
    case APIPalMsg_ClosePalette: HidePalette(); break;
    case APIPalMsg_HidePalette_Begin:
      if (PaletteVisible()) DGHideModelessDialog(g_palette);
      break;
    case APIPalMsg_HidePalette_End:
      if (g_palette && !PaletteVisible()) DGShowModelessDialog(g_palette, DG_DF_FIRST);
      break;
    case APIPalMsg_DisableItems_Begin:
      if (g_palette) {
        g_paletteEnabled = false;
        RefreshPalette();
      }
      break;
    case APIPalMsg_DisableItems_End:
      g_paletteEnabled = true;
      RefreshPalette();
      break;
    case APIPalMsg_OpenPalette: ShowPalette(); break;
    case APIPalMsg_IsPaletteVisible: *reinterpret_cast<bool*>(param) = PaletteVisible(); break;
  }
  return NoError;
}

// ---- Commands ---------------------------------------------------------------------
void StartOrResume() {
  if (g_state == State::Paused) {
    g_state = State::Running;
    UpdateMenus();
    return;
  }
  if (g_state == State::Running) return;
  if (ProjectPath().empty()) {
    ShowMessage(u"Please save your project first.", u"Tester - Save project first", MB_OK | MB_ICONINFORMATION);
    return;
  }
  short answer = DGResAlert(g_res, 32202, "8.3.0", nullptr, nullptr);
  Journal("alert 32202 -> " + std::to_string(answer));
  SetStatusBarText(u"Link initializing\u2026");
  g_state = State::Running;
  SetStatusBarText(u"Link started.");
  UpdateMenus();
}

void Stop() {
  if (g_state == State::Stopped) return;
  g_state = State::Stopped;
  SetStatusBarText(u"Link stopped.");
  UpdateMenus();
}

void Export() {
  std::u16string proposal = ProjectPath();
  if (!proposal.empty()) {
    auto dot = proposal.rfind(u'.');
    auto slash = proposal.rfind(u'/');
    if (dot != std::u16string::npos && (slash == std::u16string::npos || dot > slash)) proposal.resize(dot);
    proposal += u".tst";
  }
  char16_t file[260] = {};
  if (proposal.size() < 260) std::copy(proposal.begin(), proposal.end(), file);
  static const char16_t filter[] = u"Test files\0*.tst\0All files\0*.*\0";
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof(ofn);
  ofn.hwndOwner = MainWindow();
  ofn.lpstrFilter = filter;
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = file;
  ofn.nMaxFile = 260;
  ofn.lpstrTitle = u"Export test file";
  ofn.Flags = OFN_OVERWRITEPROMPT;
  if (!GetSaveFileNameW(&ofn)) {
    Journal("export cancelled " + std::to_string(CommDlgExtendedError()));
    return;
  }
  std::string path = Utf8(file);
  std::ofstream out(path, std::ios::trunc);
  out << "exported\n";
  SetStatusBarText(u"Exported.");
  Journal("export " + path + " name-at " + std::to_string(ofn.nFileOffset) + " ext-at " +
          std::to_string(ofn.nFileExtension));
}

short AboutCallback(short message, short dialId, short item, DGUserData, DGMessageData) {
  if (message == DG_MSG_INIT) {
    DGSetItemText(dialId, 3, u"version: 1.2.3");
    if (g_icon) SendMessageW(DGGetDialogWindow(dialId), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(g_icon));
  }
  if (message == DG_MSG_CLICK) {
    if (item == 1 || item == 2) return item;
    if (item == 4) ShellExecuteW(nullptr, nullptr, u"https://example.org/support.html", nullptr, nullptr, SW_SHOW);
    if (item == 5) ShellExecuteW(nullptr, nullptr, u"https://example.org/", nullptr, nullptr, SW_SHOW);
  }
  if (message == DG_MSG_CLOSE) Journal("about closed " + std::to_string(item));
  return 0;
}

void ShowAbout() {
  short r = DGModalDialog(g_res, 32204, g_res, AboutCallback, 0);
  Journal("about -> " + std::to_string(r));
}

short SettingsCallback(short message, short dialId, short item, DGUserData, DGMessageData) {
  switch (message) {
    case DG_MSG_INIT:
      DGSetItemValLong(dialId, 2, g_follow);
      DGSetItemValLong(dialId, 3, g_optimize);
      DGPopUpInsertItem(dialId, 5, DG_POPUP_BOTTOM);
      DGPopUpSetItemText(dialId, 5, DG_POPUP_BOTTOM, u"Zero");
      DGPopUpSetItemIcon(dialId, 5, DG_POPUP_BOTTOM, g_res, 32210);
      DGPopUpInsertItem(dialId, 5, DG_POPUP_BOTTOM);
      DGPopUpSetItemText(dialId, 5, DG_POPUP_BOTTOM, u"Sea level");
      DGPopUpSetItemIcon(dialId, 5, DG_POPUP_BOTTOM, g_res, 32211);
      DGPopUpInsertSeparator(dialId, 5, DG_POPUP_BOTTOM);
      DGPopUpInsertItem(dialId, 5, DG_POPUP_BOTTOM);
      DGPopUpSetItemText(dialId, 5, DG_POPUP_BOTTOM, u"Custom");
      DGPopUpSelectItem(dialId, 5, g_level == 0 ? 4 : g_level);
      DGSetItemValDouble(dialId, 6, g_offset);
      if (g_level != 0) DGDisableItem(dialId, 6);
      break;
    case DG_MSG_CHANGE:
      if (item == 2) g_follow = DGGetItemValLong(dialId, 2) != 0;
      if (item == 3) g_optimize = DGGetItemValLong(dialId, 3) != 0;
      if (item == 5) {
        short sel = DGPopUpGetSelected(dialId, 5);
        g_level = sel == 4 ? 0 : sel;
        if (g_level == 0) DGEnableItem(dialId, 6); else DGDisableItem(dialId, 6);
      }
      if (item == 6) g_offset = DGGetItemValDouble(dialId, 6);
      break;
    case DG_MSG_CLICK:
      return item == 1 ? item : 0;
    case DG_MSG_CLOSE: {
      char text[160];
      std::snprintf(text, sizeof text, "settings follow=%d optimize=%d level=%d offset=%.3f", g_follow ? 1 : 0,
                    g_optimize ? 1 : 0, g_level, g_offset);
      Journal(text);
      break;
    }
  }
  return 0;
}

GSErrCode MenuHandler(const API_MenuParams* params) {
  ACAPI_KeepInMemory(true);
  UpdateMenus();
  switch (params->menuItemRef.menuResID) {
    case 32100: ShowAbout(); break;
    case 32101: StartOrResume(); break;
    case 32102:
      g_state = g_state == State::Running ? State::Paused : g_state;
      UpdateMenus();
      break;
    case 32103: Stop(); break;
    case 32105: Export(); break;
    case 32106:
    case 32110:
      if (PaletteVisible()) HidePalette(); else ShowPalette();
      UpdateMenus();
      break;
    case 32107: DGModalDialog(g_res, 32205, g_res, SettingsCallback, 0); break;
  }
  return NoError;
}

GSErrCode ProjectEvent(API_NotifyEventID event, Int32) {
  Journal("project event " + std::to_string(static_cast<int>(event)));
  UpdateMenus();
  return NoError;
}

short IdleCallback(short message, short dialId, short, DGUserData userData, DGMessageData) {
  if (userData == 0) return 0;
  if (message == DG_MSG_INIT) DGEnableMessage(dialId, 0, DG_MSG_NULL, true);
  if (message == DG_MSG_NULL && ++g_idlePasses == 1) Journal("idle started");
  if (message == DG_MSG_UPDATE) Journal("update");
  return 0;
}

}  // namespace

API_AddonType CheckEnvironment(API_EnvirParams* envir) {
  std::u16string name, description;
  RSGetIndString(&name, 32500, 1, g_res);
  RSGetIndString(&description, 32500, 2, g_res);
  std::size_t n = std::min<std::size_t>(name.size(), kAddonInfoTextUnits - 1);
  std::copy_n(name.begin(), n, envir->addOnInfo.name);
  envir->addOnInfo.name[n] = 0;
  n = std::min<std::size_t>(description.size(), kAddonInfoTextUnits - 1);
  std::copy_n(description.begin(), n, envir->addOnInfo.description);
  envir->addOnInfo.description[n] = 0;
  return APIAddon_Normal;
}

GSErrCode RegisterInterface() {
  struct Row {
    short id, prompt;
    std::int32_t code, flags;
  };
  static const Row rows[] = {{32101, 32121, 0, 1}, {32102, 32122, 0, 4}, {32103, 32123, 0, 4},
                             {32106, 32126, 0, 5}, {32107, 32127, 0, 4}, {32105, 32125, 0, 5},
                             {32100, 32120, 0, 5}, {32110, 32130, 12, 5}};
  GSErrCode err = NoError;
  for (const Row& r : rows) err = ACAPI_Register_Menu(r.id, r.prompt, r.code, r.flags);
  return err;
}

GSErrCode Initialize() {
  g_icon = RSLoadIcon(g_res, 101, GetSystemMetrics(SM_CXSMICON));
  g_tooltips = {{1, u"About the tester"}, {2, u"Start the link."}, {3, u"Stop the link"}, {4, u"Status: stopped"}};
  GSErrCode err = ACAPI_RegisterModelessWindow(32450, PaletteControl, 1015, kPaletteGuid);
  Journal("register palette -> " + std::to_string(err));
  for (short id : {32101, 32102, 32103, 32105, 32106, 32100, 32107, 32110})
    if (ACAPI_Install_MenuHandler(id, MenuHandler) != NoError) break;
  g_idle = DGCreateBlankModelessDialog(1, 1, IdleCallback, 1);
  MainWindow();
  DGBeginProcessEvents(g_idle);
  UpdateMenus();
  ACAPI_Notify_CatchProjectEvent(4095, ProjectEvent);
  return NoError;
}

GSErrCode FreeData() {
  ACAPI_Notify_CatchProjectEvent(4095, nullptr);
  // A careless add-on leaves its windows and hook behind (tests of the host).
  if (std::getenv("CORV_UIADDON_CARELESS")) {
    if (!g_hook) g_hook = SetWindowsHookExW(WH_CBT, CbtHook, nullptr, GetCurrentThreadId());
    Journal("freed carelessly");
    return NoError;
  }
  HidePalette();
  ACAPI_UnregisterModelessWindow(32450);
  DGModelessClose(g_idle);
  DGEndProcessEvents(g_idle);
  DestroyIcon(g_icon);
  g_icon = nullptr;
  Journal("freed after " + std::to_string(g_idlePasses) + " idle passes");
  return NoError;
}
