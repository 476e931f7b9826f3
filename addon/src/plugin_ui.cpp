#include "addon/plugin_ui.h"

#include "addon/alerts.h"
#include "addon/module.h"
#include "addon/plugin_palette.h"
#include "base/exception_text.h"
#include "hostsdk/acapi.h"
#include "hostsdk/requests.h"
#include "hostsdk/ui/acapi_ui.h"
#include "hostsdk/ui/dg.h"
#include "addon/ac_plugin.h"
#include "util/text.h"

namespace addon {
namespace {

// The host calls one plain function per command; it finds the user
// interface through the module's main object.
GSErrCode MenuCommandHandler(const API_MenuParams* params) {
  ACAPI_KeepInMemory(true);
  ACPlugin* plugin = ThePlugin();
  if (plugin == nullptr || params == nullptr) return NoError;
  // Nothing may leave into the host's menu dispatch. A command that failed
  // part way (the host ran out of memory) says so, and the host hears of
  // the failure; the menus and the palette show the link's state as it is.
  try {
    plugin->GetUI().OnMenuCommand(params);
  } catch (...) {
    DBPrintf("Corvanta: the command %d failed: %s\n", static_cast<int>(params->menuItemRef.menuResID),
             base::CurrentExceptionText());
    return APIERR_GENERAL;
  }
  return NoError;
}

bool ProjectAvailable() {
  API_ProjectInfo info;
  return ACAPI_Environment(APIEnv_ProjectID, &info) == NoError;
}

// Read, change one bit, write back: the host keeps the other bits.
void SetMenuFlag(short menu, GSFlags bit, bool on) {
  API_MenuItemRef ref{menu, 1};
  GSFlags flags = 0;
  if (ACAPI_Interface(APIIo_GetMenuItemFlagsID, &ref, &flags) != NoError) return;
  flags = on ? (flags | bit) : (flags & ~bit);
  ACAPI_Interface(APIIo_SetMenuItemFlagsID, &ref, &flags);
}

void EnableMenu(short menu, bool on) { SetMenuFlag(menu, API_MenuItemDisabled, !on); }

void SetMenuText(short menu, const char16_t* text) {
  API_MenuItemRef ref{menu, 1};
  GS::UniString value(text);
  ACAPI_Interface(APIIo_SetMenuItemTextID, &ref, &value);
}

}  // namespace

PluginUI::PluginUI(ACPlugin* ownerPlugin)
    : versionText(util::FormatString(u"version: %s", kAddonVersionText)), owner(ownerPlugin) {
  palette = std::make_unique<PluginPalette>(owner);
  resModule = ResModule();
  LoadAddonIcon();
  for (short id : {kCmdStart, kCmdPause, kCmdStop, kCmdCamera, kCmdExport, kCmdPalette, kCmdAbout, kCmdSettings,
                   kCmdPaletteMenu}) {
    if (ACAPI_Install_MenuHandler(id, &MenuCommandHandler) != NoError) break;
  }
  idleDialog = DGCreateBlankModelessDialog(1, 1, &PluginUI::IdleCallback, reinterpret_cast<DGUserData>(this));
  if (mainWindow == nullptr) mainWindow = HostMainWindow();
  if (idleDialog != 0) DGBeginProcessEvents(idleDialog);
}

PluginUI::~PluginUI() {
  palette.reset();
  if (idleDialog != 0) {
    DGModelessClose(idleDialog);
    DGEndProcessEvents(idleDialog);
    idleDialog = 0;
  }
  ReleaseAddonIcon();
}

short PluginUI::IdleCallback(short message, short dialId, short, std::intptr_t userData, std::intptr_t) {
  if (userData == 0) return 0;
  if (message == DG_MSG_INIT) {
    DGEnableMessage(dialId, 0, DG_MSG_NULL, true);
  } else if (message == DG_MSG_NULL || message == DG_MSG_UPDATE) {
    if (ACPlugin* plugin = reinterpret_cast<PluginUI*>(userData)->owner) plugin->OnIdle();
  }
  return 0;
}

void PluginUI::UpdateMenus() {
  const LinkState state = owner != nullptr ? owner->GetLinkState() : LinkState::Stopped;
  const bool cameraSync = owner != nullptr && owner->IsCameraSyncOn();
  const bool paletteVisible = palette && palette->IsVisible();

  EnableMenu(kCmdAbout, true);
  EnableMenu(kCmdPalette, true);
  EnableMenu(kCmdSettings, state == LinkState::Stopped);
  SetMenuFlag(kCmdPalette, API_MenuItemChecked, paletteVisible);
  SetMenuFlag(kCmdPaletteMenu, API_MenuItemChecked, paletteVisible);
  if (ProjectAvailable()) {
    EnableMenu(kCmdStart, state != LinkState::Running);
    EnableMenu(kCmdPause, state == LinkState::Running);
    EnableMenu(kCmdStop, state != LinkState::Stopped);
    EnableMenu(kCmdCamera, state == LinkState::Running);
    EnableMenu(kCmdExport, true);
  } else {
    for (short id : {kCmdStart, kCmdPause, kCmdStop, kCmdCamera, kCmdExport}) EnableMenu(id, false);
  }

  const bool resume = state == LinkState::Paused;
  if (resume != startShowsResume) {
    SetMenuText(kCmdStart, resume ? u"Resume Corvanta" : u"Start Corvanta");
    startShowsResume = resume;
  }
  const bool stopCamera = cameraSync && state == LinkState::Running;
  if (stopCamera != cameraShowsStop) {
    SetMenuFlag(kCmdCamera, API_MenuItemChecked, stopCamera);
    SetMenuText(kCmdCamera, stopCamera ? u"Stop camera synchronization" : u"Start camera synchronization");
    cameraShowsStop = stopCamera;
  }
  if (palette) palette->Refresh();
}

// ACAPI_KeepInMemory came first, in the handler, even without a plug-in.
void PluginUI::OnMenuCommand(const API_MenuParams* params) {
  if (owner == nullptr || params == nullptr) return;
  UpdateMenus();
  switch (params->menuItemRef.menuResID) {
    case kCmdAbout: ShowAbout(); break;
    case kCmdStart:
      // A start that failed has told the user why in a box.
      (void)owner->StartOrResume();
      break;
    case kCmdPause: owner->TogglePause(); break;
    case kCmdStop: owner->Stop(); break;
    case kCmdCamera: owner->SetCameraSync(!owner->IsCameraSyncOn()); break;
    case kCmdExport: owner->Export(); break;
    case kCmdPalette:
    case kCmdPaletteMenu:
      if (palette) {
        if (palette->IsVisible()) {
          palette->Hide();
        } else {
          palette->Show();
        }
      }
      UpdateMenus();
      break;
    case kCmdSettings: ShowSettings(); break;
    default: break;
  }
}

int PluginUI::ShowMessage(const std::u16string& text, const std::u16string& caption, UINT style) {
  return addon::ShowMessage(text, caption, style);
}

void PluginUI::AlertSaveFirst() { addon::AlertSaveFirst(); }

void PluginUI::AlertFileInUse(const std::u16string& path) { addon::AlertFileInUse(path); }

}  // namespace addon
