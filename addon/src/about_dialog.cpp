// The About dialog: version, help and latest-version links, the logo that
// opens the vendor's home page.
#include "addon/module.h"
#include "addon/plugin_ui.h"
#include "hostsdk/ui/dg.h"
#include "hostsdk/ui/win32ui.h"
#include "renderer/web_links.h"

namespace addon {
namespace {

enum AboutItem : short {
  kAboutOk = 1,
  kAboutTitle = 2,
  kAboutVersion = 3,
  kAboutHelpLink = 5,
  kAboutLatestLink = 7,
  kAboutLogo = 8,
};

void SetDialogIcon(short dialId) {
  if (HICON icon = AddonIcon()) {
    SendMessageW(DGGetDialogWindow(dialId), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  }
}

short AboutCallback(short message, short dialId, short item, DGUserData userData, DGMessageData) {
  auto* ui = reinterpret_cast<PluginUI*>(userData);
  switch (message) {
    case DG_MSG_INIT:
      if (ui != nullptr) DGSetItemText(dialId, kAboutVersion, ui->VersionText().c_str());
      SetDialogIcon(dialId);
      return 0;
    case DG_MSG_CLICK:
      switch (item) {
        case kAboutOk:
        case kAboutTitle: return item;
        case kAboutHelpLink: renderer::OpenWebPage(renderer::GetHelpLink()); return 0;
        case kAboutLatestLink: renderer::OpenWebPage(renderer::GetLatestVersionLink()); return 0;
        case kAboutLogo: renderer::OpenWebPage(renderer::GetHomePageLink()); return 0;
        default: return 0;
      }
    default: return 0;
  }
}

}  // namespace

void PluginUI::ShowAbout() {
  DGModalDialog(ResModule(), 32204, ResModule(), &AboutCallback, reinterpret_cast<DGUserData>(this));
}

}  // namespace addon
