// The settings dialog: the four switches, the offset type pop-up and the
// offset value row. Every change is saved at once.
#include <cmath>
#include <cstring>

#include "addon/ac_plugin.h"
#include "addon/alerts.h"
#include "addon/module.h"
#include "addon/plugin_ui.h"
#include "base/utf.h"
#include "context/plugin_settings.h"
#include "hostsdk/acapi.h"
#include "hostsdk/requests.h"
#include "hostsdk/ui/dg.h"
#include "hostsdk/ui/win32ui.h"
#include "util/text.h"

namespace addon {
namespace {

using context::PluginSettings;

enum SettingsItem : short {
  kOk = 1,
  kCameraSync = 2,
  kOptimize = 3,
  kSmooth = 4,
  kNodes = 5,
  kLevelPopup = 9,
  kValueLabel = 10,
  kValueField = 11,
  kUnitLabel = 12,
};
constexpr short kCustomEntry = 6;
constexpr double kInch = 0.0254;

bool ProjectAvailable() {
  API_ProjectInfo info;
  return ACAPI_Environment(APIEnv_ProjectID, &info) == NoError;
}

// The pop-up entry that shows an offset type; a stored type the dialog does
// not know shows as "Zero", which is what it amounts to.
short EntryOfType(std::uint32_t type) {
  if (type == PluginSettings::kOffsetCustom) return kCustomEntry;
  return type <= PluginSettings::kOffsetLevel2 ? short(type) : short(PluginSettings::kOffsetZero);
}

void AddEntry(short dialId, const char16_t* text, short icon) {
  DGPopUpInsertItem(dialId, kLevelPopup, DG_POPUP_BOTTOM);
  DGPopUpSetItemText(dialId, kLevelPopup, DG_POPUP_BOTTOM, text);
  DGPopUpSetItemIcon(dialId, kLevelPopup, DG_POPUP_BOTTOM, ResModule(), icon);
}

void FillLevels(short dialId) {
  std::u16string level1 = u"1st Reference Level";
  std::u16string level2 = u"2nd Reference Level";
  API_RefLevelsPrefs levels;
  if (ACAPI_Environment(APIEnv_GetPreferencesID, &levels, reinterpret_cast<void*>(std::intptr_t(1))) == NoError) {
    // The names are the project's; cut to their NUL even when the host
    // filled the whole field.
    const std::string name1(levels.level1name, strnlen(levels.level1name, sizeof(levels.level1name)));
    const std::string name2(levels.level2name, strnlen(levels.level2name, sizeof(levels.level2name)));
    if (levels.hasLevel1 && !name1.empty()) level1 = base::FromUtf8(name1);
    if (levels.hasLevel2 && !name2.empty()) level2 = base::FromUtf8(name2);
  }
  AddEntry(dialId, u"Zero", 32212);
  AddEntry(dialId, u"Sea level", 32211);
  AddEntry(dialId, level1.c_str(), 32210);
  AddEntry(dialId, level2.c_str(), 32213);
  DGPopUpInsertSeparator(dialId, kLevelPopup, DG_POPUP_BOTTOM);
  AddEntry(dialId, u"Custom", 32214);
}

// Metres per displayed unit: the working unit when the host tells it,
// otherwise the user's measurement system.
double UnitFactor() {
  API_WorkingUnitPrefs units;
  if (ACAPI_Environment(APIEnv_GetPreferencesID, &units, reinterpret_cast<void*>(std::intptr_t(0))) == NoError) {
    return units.lengthUnit < 3 ? 1.0 : kInch;
  }
  return platform::UserMeasurementSystem() == platform::MeasurementSystem::Metric ? 1.0 : kInch;
}

void RefreshValueRow(short dialId, const PluginSettings& settings, double unitFactor) {
  const std::uint32_t type = settings.OffsetType();
  const bool project = ProjectAvailable();
  if (type != PluginSettings::kOffsetCustom && !project) {
    for (short item : {kValueLabel, kValueField, kUnitLabel}) DGHideItem(dialId, item);
    return;
  }
  for (short item : {kValueLabel, kValueField, kUnitLabel}) DGShowItem(dialId, item);
  if (type == PluginSettings::kOffsetCustom) {
    DGSetItemValDouble(dialId, kValueField, double(settings.EffectiveOffset()) / unitFactor);
    DGEnableItem(dialId, kValueField);
  } else {
    const double height = PluginSettings::LevelHeight(type).value_or(0.0);
    DGSetItemValDouble(dialId, kValueField, (std::isfinite(height) ? height : 0.0) / unitFactor);
    DGDisableItem(dialId, kValueField);
  }
}

// Whether this run of the dialog has told the user that a change could not
// be stored: once is enough, every later change would fail the same way.
bool g_toldNotStored = false;

void Stored(bool ok, const PluginSettings& settings) {
  if (ok || g_toldNotStored) return;
  g_toldNotStored = true;
  AlertSettingsNotStored(settings.StoreFile());
}

short SettingsCallback(short message, short dialId, short item, DGUserData userData, DGMessageData) {
  auto* ui = reinterpret_cast<PluginUI*>(userData);
  if (ui == nullptr || ui->GetOwner() == nullptr) {
    return message == DG_MSG_CLICK && item == kOk ? kOk : 0;
  }
  PluginSettings& settings = ui->GetOwner()->GetSettings();
  switch (message) {
    case DG_MSG_INIT: {
      g_toldNotStored = false;
      if (HICON icon = AddonIcon()) {
        SendMessageW(DGGetDialogWindow(dialId), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
      }
      DGSetItemValLong(dialId, kCameraSync, settings.CameraAutoSync() ? 1 : 0);
      DGSetItemValLong(dialId, kOptimize, settings.OptimizeSurfaces() ? 1 : 0);
      DGSetItemValLong(dialId, kSmooth, settings.SmoothSurfaces() ? 1 : 0);
      DGSetItemValLong(dialId, kNodes, settings.ExportNodes() ? 1 : 0);
      FillLevels(dialId);
      DGPopUpSelectItem(dialId, kLevelPopup, EntryOfType(settings.OffsetType()));
      ui->SetUnitFactor(UnitFactor());
      DGSetItemText(dialId, kUnitLabel, ui->UnitFactor() == 1.0 ? u"m" : u"in");
      RefreshValueRow(dialId, settings, ui->UnitFactor());
      return 0;
    }
    case DG_MSG_CHANGE:
      switch (item) {
        case kCameraSync: Stored(settings.SetCameraAutoSync(DGGetItemValLong(dialId, item) != 0), settings); break;
        case kOptimize: Stored(settings.SetOptimizeSurfaces(DGGetItemValLong(dialId, item) != 0), settings); break;
        case kSmooth: Stored(settings.SetSmoothSurfaces(DGGetItemValLong(dialId, item) != 0), settings); break;
        case kNodes: Stored(settings.SetExportNodes(DGGetItemValLong(dialId, item) != 0), settings); break;
        case kLevelPopup: {
          const short entry = DGPopUpGetSelected(dialId, kLevelPopup);
          if (entry == kCustomEntry) {
            Stored(settings.SetOffsetType(PluginSettings::kOffsetCustom), settings);
          } else if (entry >= 1 && entry <= 4) {
            Stored(settings.SetOffsetType(std::uint32_t(entry)), settings);
          }
          RefreshValueRow(dialId, settings, ui->UnitFactor());
          break;
        }
        case kValueField: {
          const float value = float(DGGetItemValDouble(dialId, kValueField) * ui->UnitFactor());
          PluginSettings::WriteOffsetAutoText(value);
          Stored(settings.SetCustomOffset(value), settings);
          break;
        }
        default: break;
      }
      return 0;
    case DG_MSG_CLICK: return item == kOk ? kOk : 0;
    case DG_MSG_CLOSE:
      // A custom offset travels with the project: one chosen here is written
      // into a project that does not carry it yet.
      if (settings.OffsetType() == PluginSettings::kOffsetCustom && !PluginSettings::ReadOffsetAutoText()) {
        PluginSettings::WriteOffsetAutoText(settings.CustomOffset());
      }
      return 0;
    default: return 0;
  }
}

}  // namespace

void PluginUI::ShowSettings() {
  DGModalDialog(ResModule(), 32205, ResModule(), &SettingsCallback, reinterpret_cast<DGUserData>(this));
}

}  // namespace addon
