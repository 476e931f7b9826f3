// A small add-on that uses the host's user interface through the calls the
// real add-on makes: menu items kept in step with the project through
// 'GMIF'/'SMIF', a dockable palette, a message box whose icon a CBT hook
// sets, a modal settings dialog with a pop-up and a ranged field, and a
// modeless idle dialog. What the host answers goes to a journal
// (CORV_UIADDON_JOURNAL) and to DBPrintf, so that tests see what the add-on
// received.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "hostsdk/acapi.h"
#include "hostsdk/loader.h"
#include "hostsdk/requests.h"
#include "hostsdk/ui/acapi_ui.h"
#include "hostsdk/ui/dg.h"
#include "hostsdk/ui/rs.h"
#include "hostsdk/ui/win32ui.h"

namespace {

const char16_t kPaletteGuid[] = u"{5B1E7F0A-3C2D-4E8F-9A6B-0C1D2E3F4A5B}";

int g_anchor;  // an object of this module, to find its resources
GSResModule g_res = 0;
HICON g_icon = nullptr;
short g_palette = 0;
short g_idle = 0;
HHOOK g_hook = nullptr;
bool g_follow = true, g_optimize = false;
short g_level = 1;
double g_offset = 0.25;

void Journal(const std::string& line) {
  if (const char* path = std::getenv("CORV_UIADDON_JOURNAL")) std::ofstream(path, std::ios::app) << line << "\n";
  DBPrintf("uiaddon: %s", line.c_str());
}

__attribute__((constructor)) void OnLoad() { g_res = RSInitModuleCache(&g_anchor); }
__attribute__((destructor)) void OnUnload() { RSExitModuleCache(g_res); }

bool ProjectAvailable() {
  API_ProjectInfo info;
  return ACAPI_Environment(APIEnv_ProjectID, &info) == NoError;
}

HWND MainWindow() {
  void* h = nullptr;
  return ACAPI_Environment(APIEnv_GetMainWindowID, &h) == NoError ? static_cast<HWND>(h) : nullptr;
}

LRESULT CbtHook(int code, WPARAM wParam, LPARAM lParam) {
  if (code != HCBT_ACTIVATE) return CallNextHookEx(g_hook, code, wParam, lParam);
  char16_t title[257] = {};
  GetWindowTextW(reinterpret_cast<HWND>(wParam), title, 256);
  if (g_icon && std::u16string(title).find(u"Tester") != std::u16string::npos)
    SendMessageW(reinterpret_cast<HWND>(wParam), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(g_icon));
  return 0;
}

void ShowMessage() {
  g_hook = SetWindowsHookExW(WH_CBT, CbtHook, nullptr, GetCurrentThreadId());
  int button = MessageBoxW(MainWindow(), u"Please save your project first.", u"Tester - Save project first",
                           MB_OK | MB_ICONINFORMATION);
  if (g_hook) UnhookWindowsHookEx(g_hook);
  g_hook = nullptr;
  Journal("msgbox -> " + std::to_string(button));
}

void SetFlag(short menu, GSFlags bit, bool on) {
  API_MenuItemRef ref{menu, 1};
  GSFlags flags = 0;
  if (ACAPI_Interface(APIIo_GetMenuItemFlagsID, &ref, &flags) != NoError) return;
  flags = on ? (flags | bit) : (flags & ~bit);
  ACAPI_Interface(APIIo_SetMenuItemFlagsID, &ref, &flags);
}

bool PaletteVisible() { return g_palette && DGIsModelessDialogVisible(g_palette); }

void UpdateMenus() {
  SetFlag(32101, API_MenuItemDisabled, !ProjectAvailable());
  SetFlag(32106, API_MenuItemChecked, PaletteVisible());
}

short PaletteCallback(short message, short dialId, short item, DGUserData, DGMessageData) {
  if (message == DG_MSG_CLOSE) {
    DGEndProcessEvents(dialId);
    g_palette = 0;
  }
  if (message == DG_MSG_CLICK) Journal("palette click " + std::to_string(item));
  return 0;
}

void TogglePalette() {
  if (g_palette) {
    DGModelessClose(g_palette);
    DGEndProcessEvents(g_palette);
    g_palette = 0;
    return;
  }
  g_palette = DGCreateDockablePalette(g_res, 32450, g_res, PaletteCallback, 0, kPaletteGuid);
  if (!g_palette) return;
  DGBeginProcessEvents(g_palette);
  DGShowModelessDialog(g_palette, DG_DF_FIRST);
}

GSErrCode PaletteControl(std::int32_t refId, API_PaletteMessageID message, std::intptr_t param) {
  if (refId == 32450 && message == APIPalMsg_IsPaletteVisible) *reinterpret_cast<bool*>(param) = PaletteVisible();
  return NoError;
}

short SettingsCallback(short message, short dialId, short item, DGUserData, DGMessageData) {
  switch (message) {
    case DG_MSG_INIT:
      DGSetItemValLong(dialId, 2, g_follow);
      DGSetItemValLong(dialId, 3, g_optimize);
      for (const char16_t* text : {u"Zero", u"Sea level", u"", u"Custom"}) {
        if (!*text) {
          DGPopUpInsertSeparator(dialId, 5, DG_POPUP_BOTTOM);
          continue;
        }
        DGPopUpInsertItem(dialId, 5, DG_POPUP_BOTTOM);
        DGPopUpSetItemText(dialId, 5, DG_POPUP_BOTTOM, text);
      }
      DGPopUpSetItemIcon(dialId, 5, 1, g_res, 32210);
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
        if (g_level == 0) DGEnableItem(dialId, 6);
        else DGDisableItem(dialId, 6);
      }
      if (item == 6) g_offset = DGGetItemValDouble(dialId, 6);
      break;
    case DG_MSG_CLICK: return item == 1 ? item : 0;
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
  switch (params->menuItemRef.menuResID) {
    case 32101: ShowMessage(); break;
    case 32106: TogglePalette(); break;
    case 32107: DGModalDialog(g_res, 32205, g_res, SettingsCallback, 0); break;
  }
  UpdateMenus();
  return NoError;
}

GSErrCode ProjectEvent(API_NotifyEventID, Int32) {
  UpdateMenus();
  return NoError;
}

short IdleCallback(short message, short dialId, short, DGUserData userData, DGMessageData) {
  if (userData == 0) return 0;
  if (message == DG_MSG_INIT) DGEnableMessage(dialId, 0, DG_MSG_NULL, true);
  if (message == DG_MSG_UPDATE) Journal("update");
  return 0;
}

const short kMenus[] = {32101, 32106, 32107};

}  // namespace

API_AddonType CheckEnvironment(API_EnvirParams* envir) {
  std::u16string name;
  RSGetIndString(&name, 32500, 1, g_res);
  std::size_t n = std::min<std::size_t>(name.size(), kAddonInfoTextUnits - 1);
  std::copy_n(name.begin(), n, envir->addOnInfo.name);
  envir->addOnInfo.name[n] = 0;
  return APIAddon_Normal;
}

GSErrCode RegisterInterface() {
  GSErrCode err = NoError;
  for (short id : kMenus) err = ACAPI_Register_Menu(id, static_cast<short>(id + 20), 0, id == 32101 ? 1 : 5);
  return err;
}

GSErrCode Initialize() {
  g_icon = RSLoadIcon(g_res, 101, GetSystemMetrics(SM_CXSMICON));
  ACAPI_RegisterModelessWindow(32450, PaletteControl, 1015, kPaletteGuid);
  for (short id : kMenus) ACAPI_Install_MenuHandler(id, MenuHandler);
  g_idle = DGCreateBlankModelessDialog(1, 1, IdleCallback, 1);
  DGBeginProcessEvents(g_idle);
  UpdateMenus();
  ACAPI_Notify_CatchProjectEvent(4095, ProjectEvent);
  return NoError;
}

GSErrCode FreeData() {
  ACAPI_Notify_CatchProjectEvent(4095, nullptr);
  if (g_palette) TogglePalette();
  ACAPI_UnregisterModelessWindow(32450);
  DGModelessClose(g_idle);
  DGEndProcessEvents(g_idle);
  DestroyIcon(g_icon);
  Journal("freed");
  return NoError;
}
