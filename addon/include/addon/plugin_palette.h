// The add-on's dockable palette: About, start/pause/resume, stop, the link
// status, camera synchronisation, settings and COLLADA export, with state
// icons and tooltips that follow the link.
//
// The palette is registered with the host for its whole life; its window
// exists between Show (or the host's open message) and Hide (or its close
// box). Host user-interface thread only; calls on a closed palette do
// nothing.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "hostsdk/ui/menus.h"

namespace addon {

class ACPlugin;

inline constexpr std::int32_t kPaletteRefId = 32450;
inline constexpr char16_t kPaletteGuid[] = u"{14996244-A12A-49A7-B85E-500D6916A929}";
inline constexpr std::uint32_t kPaletteControlFlags = 1015;

class PluginPalette {
 public:
  // Fills the tooltips and registers the palette with the host.
  explicit PluginPalette(ACPlugin* owner);
  // Closes the window when open and unregisters the palette.
  ~PluginPalette();
  PluginPalette(const PluginPalette&) = delete;
  PluginPalette& operator=(const PluginPalette&) = delete;

  // Creates the window from its resource when it is not open (false when the
  // host refuses). The next Refresh (Show does one) then gives it the icons
  // and tooltips of the link's state.
  bool Open();
  void Show();
  void Hide();
  bool IsVisible() const;
  bool IsOpen() const { return dialogId != 0; }
  // Enabling by link state and project, and the state icons; nothing while
  // closed.
  void Refresh();

  short DialogId() const { return dialogId; }
  // The tooltip the palette answers for an item; empty when it has none.
  std::u16string Tooltip(short item) const;

  static short PaletteCallback(short message, short dialId, short item, std::intptr_t userData, std::intptr_t msgData);
  static GSErrCode ControlCallback(std::int32_t referenceID, API_PaletteMessageID messageID, std::intptr_t param);

 private:
  // Sets an item's icon and tooltip when icon differs from the one recorded.
  void SetStateIcon(short item, short icon, short& record, const std::u16string& tooltip);
  void DisableAll();

  // The icons of items 2, 5 and 4 in the palette's resource.
  static constexpr short kResourceStartIcon = 32111;
  static constexpr short kResourceCameraIcon = 32120;
  static constexpr short kResourceStatusIcon = 32131;

  ACPlugin* owner = nullptr;
  std::unordered_map<short, std::u16string> tooltips;
  short dialogId = 0;
  // The icons items 2, 5 and 4 show (as last written, or as the resource
  // gives them to a new window).
  short startIcon = kResourceStartIcon;
  short cameraIcon = kResourceCameraIcon;
  short statusIcon = kResourceStatusIcon;
  bool enabled = true;
};

}  // namespace addon
