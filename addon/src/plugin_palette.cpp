#include "addon/plugin_palette.h"

#include <algorithm>

#include "addon/module.h"
#include "addon/plugin_ui.h"
#include "hostsdk/acapi.h"
#include "hostsdk/requests.h"
#include "hostsdk/ui/acapi_ui.h"
#include "hostsdk/ui/dg.h"
#include "addon/ac_plugin.h"
#include "util/text.h"

namespace addon {
namespace {

enum PaletteItem : short {
  kItemAbout = 1,
  kItemStart = 2,
  kItemStop = 3,
  kItemStatus = 4,
  kItemCamera = 5,
  kItemSettings = 6,
  kItemSeparator = 7,
  kItemExport = 8,
};

constexpr char16_t kTipStart[] = u"Start Corvanta to view your project in Velmar.";
constexpr char16_t kTipPause[] = u"Pause Corvanta to complete changes and improve performance while modeling.";
constexpr char16_t kTipResume[] = u"Resume Corvanta to update changes in Velmar.";
constexpr char16_t kTipStopped[] = u"Status: Corvanta stopped";
constexpr char16_t kTipPaused[] = u"Status: Corvanta paused";
constexpr char16_t kTipRunning[] = u"Status: Corvanta running";
constexpr char16_t kTipCameraOn[] = u"View your project from the same camera angle in ArchiCAD and Velmar.";
constexpr char16_t kTipCameraStop[] = u"Stop camera synchronization with Velmar.";
constexpr char16_t kTipCameraOff[] = u"Switch back to a perspective view to synchronize the camera.";

bool ProjectAvailable() {
  API_ProjectInfo info;
  return ACAPI_Environment(APIEnv_ProjectID, &info) == NoError;
}

bool PerspectiveView() {
  API_3DProjectionInfo info;
  return ACAPI_Environment(APIEnv_Get3DProjectionSetsID, &info) == NoError && info.isPersp;
}

void EnableItem(short dialog, short item, bool on) {
  if (on) {
    DGEnableItem(dialog, item);
  } else {
    DGDisableItem(dialog, item);
  }
}

// The palette object of the module's user interface, for the host's
// control messages; null while there is no main object.
PluginPalette* ModulePalette() {
  ACPlugin* plugin = ThePlugin();
  if (plugin == nullptr) return nullptr;
  return plugin->GetUI().GetPalette();
}

// The palette's window came or went without a menu command: the ticks of
// the two palette commands follow at once instead of at the next command.
void RetickMenus(ACPlugin* plugin) {
  if (plugin != nullptr) plugin->GetUI().UpdateMenus();
}

}  // namespace

PluginPalette::PluginPalette(ACPlugin* ownerPlugin) : owner(ownerPlugin), tooltips(8) {
  tooltips.max_load_factor(1.0f);
  tooltips[kItemAbout] = util::FormatString(u"About Velmar\u00ae Corvanta\u00ae for ArchiCAD - v.%s", u"3.50");
  tooltips[kItemStart] = kTipStart;
  tooltips[kItemStop] = u"Stop Corvanta";
  tooltips[kItemStatus] = kTipStopped;
  tooltips[kItemCamera] = u"Start camera synchronization";
  tooltips[kItemSettings] = u"Corvanta Settings";
  tooltips[kItemExport] = u"Export your project as COLLADA (.DAE) file.";
  ACAPI_RegisterModelessWindow(kPaletteRefId, &PluginPalette::ControlCallback, kPaletteControlFlags, kPaletteGuid);
}

PluginPalette::~PluginPalette() {
  Hide();
  ACAPI_UnregisterModelessWindow(kPaletteRefId);
}

bool PluginPalette::Open() {
  if (dialogId != 0) return true;
  dialogId = DGCreateDockablePalette(ResModule(), short(kPaletteRefId), ResModule(), &PluginPalette::PaletteCallback,
                                     reinterpret_cast<DGUserData>(this), kPaletteGuid);
  if (dialogId == 0) return false;
  // A window made from the resource shows the resource's icons, whatever
  // the last window showed: the records follow it, so that the next Refresh
  // writes the icons (and tooltips) of the link's state. The tooltips are
  // the palette's own, not the window's: they stay as last written.
  startIcon = kResourceStartIcon;
  cameraIcon = kResourceCameraIcon;
  statusIcon = kResourceStatusIcon;
  DGBeginProcessEvents(dialogId);
  return true;
}

void PluginPalette::Show() {
  if (!Open()) return;
  if (!DGIsModelessDialogVisible(dialogId)) DGShowModelessDialog(dialogId, DG_DF_FIRST);
  Refresh();
}

void PluginPalette::Hide() {
  if (dialogId == 0) return;
  const short id = dialogId;
  dialogId = 0;
  DGModelessClose(id);
  DGEndProcessEvents(id);
}

bool PluginPalette::IsVisible() const { return dialogId != 0 && DGIsModelessDialogVisible(dialogId); }

std::u16string PluginPalette::Tooltip(short item) const {
  const auto it = tooltips.find(item);
  return it != tooltips.end() ? it->second : std::u16string();
}

void PluginPalette::DisableAll() {
  const short count = DGGetItemCount(dialogId);
  for (short item = 1; item <= count; ++item) DGDisableItem(dialogId, item);
}

void PluginPalette::SetStateIcon(short item, short icon, short& record, const std::u16string& tooltip) {
  if (record == icon) return;
  record = icon;
  tooltips[item] = tooltip;
  DGSetItemIcon(dialogId, item, ResModule(), icon);
}

void PluginPalette::Refresh() {
  if (dialogId == 0) return;
  const LinkState state = owner != nullptr ? owner->GetLinkState() : LinkState::Stopped;
  if (enabled) {
    EnableItem(dialogId, kItemAbout, true);
    EnableItem(dialogId, kItemStatus, true);
    if (ProjectAvailable()) {
      EnableItem(dialogId, kItemStart, true);
      EnableItem(dialogId, kItemStop, state != LinkState::Stopped);
      EnableItem(dialogId, kItemCamera, state == LinkState::Running);
      EnableItem(dialogId, kItemSettings, state == LinkState::Stopped);
      EnableItem(dialogId, kItemExport, true);
    } else {
      EnableItem(dialogId, kItemStart, false);
      EnableItem(dialogId, kItemStop, false);
      EnableItem(dialogId, kItemCamera, false);
      EnableItem(dialogId, kItemSettings, true);
      EnableItem(dialogId, kItemExport, false);
    }
  } else {
    DisableAll();
  }

  if (state == LinkState::Running && PerspectiveView()) {
    if (owner != nullptr && owner->IsCameraSyncOn()) {
      SetStateIcon(kItemCamera, 32122, cameraIcon, kTipCameraStop);
    } else {
      SetStateIcon(kItemCamera, 32121, cameraIcon, kTipCameraOn);
    }
  } else {
    SetStateIcon(kItemCamera, 32120, cameraIcon, kTipCameraOff);
  }
  switch (state) {
    case LinkState::Stopped:
      SetStateIcon(kItemStatus, 32131, statusIcon, kTipStopped);
      SetStateIcon(kItemStart, 32111, startIcon, kTipStart);
      break;
    case LinkState::Paused:
      SetStateIcon(kItemStatus, 32132, statusIcon, kTipPaused);
      SetStateIcon(kItemStart, 32113, startIcon, kTipResume);
      break;
    case LinkState::Running:
      SetStateIcon(kItemStatus, 32133, statusIcon, kTipRunning);
      SetStateIcon(kItemStart, 32112, startIcon, kTipPause);
      break;
  }
}

short PluginPalette::PaletteCallback(short message, short dialId, short item, std::intptr_t userData,
                                     std::intptr_t msgData) {
  auto* self = reinterpret_cast<PluginPalette*>(userData);
  if (self == nullptr) return 0;
  switch (message) {
    case DG_MSG_CLOSE:
      DGEndProcessEvents(dialId);
      if (self->dialogId == dialId) {
        self->dialogId = 0;
        RetickMenus(self->owner);
      }
      return 0;
    case DG_MSG_CLICK: {
      ACPlugin* plugin = self->owner;
      if (plugin == nullptr) return 0;
      switch (item) {
        case kItemAbout: plugin->GetUI().ShowAbout(); break;
        case kItemStart:
          // A start that failed has told the user why in a box.
          (void)plugin->StartOrResume();
          break;
        case kItemStop: plugin->Stop(); break;
        case kItemCamera: plugin->SetCameraSync(!plugin->IsCameraSyncOn()); break;
        case kItemSettings: plugin->GetUI().ShowSettings(); break;
        case kItemExport: plugin->Export(); break;
        default: break;
      }
      return 0;
    }
    case DG_MSG_TOOLTIP: {
      auto* help = reinterpret_cast<DGHelpData*>(msgData);
      if (help == nullptr || help->helpType != 0) return 0;
      const auto it = self->tooltips.find(item);
      if (it == self->tooltips.end()) return 0;
      const std::size_t n = std::min<std::size_t>(it->second.size(), DG_TOOLTIP_MAX - 1);
      std::copy_n(it->second.begin(), n, help->toolTipText);
      help->toolTipText[n] = u'\0';
      return 1;
    }
    default: return 0;
  }
}

GSErrCode PluginPalette::ControlCallback(std::int32_t referenceID, API_PaletteMessageID messageID,
                                         std::intptr_t param) {
  if (referenceID != kPaletteRefId) return NoError;
  PluginPalette* self = ModulePalette();
  if (self == nullptr) return NoError;
  switch (messageID) {
    case APIPalMsg_ClosePalette:
      self->Hide();
      RetickMenus(self->owner);
      break;
    case APIPalMsg_HidePalette_Begin:
      if (self->IsVisible()) DGHideModelessDialog(self->dialogId);
      break;
    case APIPalMsg_HidePalette_End:
      if (self->dialogId != 0 && !self->IsVisible()) DGShowModelessDialog(self->dialogId, DG_DF_FIRST);
      break;
    case APIPalMsg_DisableItems_Begin:
      if (self->dialogId != 0) {
        self->enabled = false;
        self->DisableAll();
      }
      break;
    case APIPalMsg_DisableItems_End:
      self->enabled = true;
      self->Refresh();
      break;
    case APIPalMsg_OpenPalette:
      self->Show();
      RetickMenus(self->owner);
      break;
    case APIPalMsg_IsPaletteVisible:
      if (param != 0) *reinterpret_cast<bool*>(param) = self->IsVisible();
      break;
  }
  return NoError;
}

}  // namespace addon
