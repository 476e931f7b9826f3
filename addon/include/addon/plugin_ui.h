// The add-on's user interface towards the host: the menu command handlers
// and their dispatch, the menu states kept in step with the link, the idle
// pump, the palette, the about and settings dialogs and the message boxes.
//
// One per main object, created by it. Host user-interface thread only; a
// host call that fails leaves that menu item, dialog or box as it was.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "addon/alerts.h"
#include "hostsdk/ui/menus.h"
#include "hostsdk/ui/rs.h"
#include "platform/win32.h"

namespace addon {

class ACPlugin;

class PluginPalette;

// Menu command ids (each is its own menu resource).
enum MenuCommand : short {
  kCmdAbout = 32100,
  kCmdStart = 32101,
  kCmdPause = 32102,
  kCmdStop = 32103,
  kCmdCamera = 32104,
  kCmdExport = 32105,
  kCmdPalette = 32106,
  kCmdSettings = 32107,
  kCmdPaletteMenu = 32110,  // the entry in the host's palette menu
};

inline constexpr char16_t kAddonVersionText[] = u"3.50.904";

class PluginUI {
 public:
  // Builds the version text and the palette, loads the add-on icon,
  // installs the menu handlers (stopping at the first refused one), creates
  // and starts the idle dialog.
  explicit PluginUI(ACPlugin* owner);
  // Destroys the palette, closes the idle dialog, releases the add-on icon.
  ~PluginUI();
  PluginUI(const PluginUI&) = delete;
  PluginUI& operator=(const PluginUI&) = delete;

  // Recomputes enabling, ticks and texts of every command from the link
  // state and the project, then refreshes the palette. Texts and the camera
  // tick are written only when their choice changes.
  void UpdateMenus();
  // Dispatch of one menu command (by the menu resource id).
  void OnMenuCommand(const API_MenuParams* params);

  void ShowAbout();
  void ShowSettings();
  int ShowMessage(const std::u16string& text, const std::u16string& caption, UINT style);
  void AlertSaveFirst();
  void AlertFileInUse(const std::u16string& path);

  PluginPalette* GetPalette() const { return palette.get(); }
  ACPlugin* GetOwner() const { return owner; }
  const std::u16string& VersionText() const { return versionText; }
  // Metres per displayed length unit of the settings dialog.
  double UnitFactor() const { return unitFactor; }
  void SetUnitFactor(double f) { unitFactor = f; }
  short IdleDialog() const { return idleDialog; }

  // The idle dialog's callback (host dialog messages).
  static short IdleCallback(short message, short dialId, short item, std::intptr_t userData, std::intptr_t msgData);

 private:
  std::u16string versionText;
  ACPlugin* owner = nullptr;
  std::unique_ptr<PluginPalette> palette;
  HWND mainWindow = nullptr;
  GSResModule resModule = 0;
  short idleDialog = 0;
  double unitFactor = 1.0;
  bool startShowsResume = false;
  bool cameraShowsStop = false;
};

}  // namespace addon
