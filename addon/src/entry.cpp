// The module's entry points for the host's loader, and the host callbacks it
// installs: the "dae" file type of the 3D window, project and view events.
#include <algorithm>
#include <cstring>
#include <new>

#include "addon/ac_plugin.h"
#include "addon/alerts.h"
#include "addon/module.h"
#include "addon/plugin_ui.h"
#include "base/exception_text.h"
#include "collada/collada_exporter.h"
#include "hostsdk/acapi.h"
#include "hostsdk/filetype.h"
#include "hostsdk/loader.h"
#include "hostsdk/ui/acapi_ui.h"
#include "hostsdk/ui/rs.h"

namespace {

constexpr GSFlags kProjectEventMask = API_AllProjectNotificationMask;
constexpr GSFlags kViewEventMask = API_AllViewNotificationMask;
constexpr API_NavigatorMapID kViewMap = API_PublicViewMap;
constexpr Int32 kDaeCommandRef = 1;

// Name and description into the host's fixed fields, cut to fit.
void CopyInfoText(char16_t (&field)[kAddonInfoTextUnits], const std::u16string& text) {
  const std::size_t n = std::min(text.size(), kAddonInfoTextUnits - 1);
  std::copy_n(text.begin(), n, field);
  field[n] = u'\0';
}

// The host's save of the 3D window as "dae". The export's result goes back
// to the host: a failed export is a failed save, which the host reports to
// its user (the exporter has said why in the status bar).
GSErrCode SaveDaeFile(const API_IOParams* ioParams, Modeler::SightPtr sight) {
  addon::ACPlugin* plugin = addon::ThePlugin();
  GSErrCode result = APIERR_GENERAL;
  if (plugin != nullptr) result = plugin->GetExporter().Export(sight, ioParams);
  sight.reset();
  return result;
}

GSErrCode ProjectEventHandler(API_NotifyEventID code, Int32 parameter) {
  if (addon::ACPlugin* plugin = addon::ThePlugin()) plugin->OnProjectEvent(std::int32_t(code), parameter);
  return NoError;
}

GSErrCode ViewEventHandler(const API_NotifyViewEventType* event) {
  if (addon::ACPlugin* plugin = addon::ThePlugin()) plugin->OnViewEvent(event);
  return NoError;
}

struct MenuRow {
  short id;
  short prompt;
  std::int32_t position;
  std::int32_t flags;
};
// Registration order: the host builds its menu in this order.
constexpr MenuRow kMenus[] = {
    {32101, 32121, 0, 1}, {32102, 32122, 0, 4}, {32103, 32123, 0, 4}, {32104, 32124, 0, 4},  {32106, 32126, 0, 5},
    {32107, 32127, 0, 4}, {32105, 32125, 0, 5}, {32100, 32120, 0, 5}, {32110, 32130, 12, 5},
};

}  // namespace

API_AddonType CheckEnvironment(API_EnvirParams* envir) {
  if (envir == nullptr) return APIAddon_DontRegister;
  std::u16string name, description;
  RSGetIndString(&name, 32500, 1, addon::ResModule());
  RSGetIndString(&description, 32500, 2, addon::ResModule());
  CopyInfoText(envir->addOnInfo.name, name);
  CopyInfoText(envir->addOnInfo.description, description);
  return APIAddon_Normal;
}

GSErrCode RegisterInterface() {
  GSErrCode result = NoError;
  for (const MenuRow& row : kMenus) result = ACAPI_Register_Menu(row.id, row.prompt, row.position, row.flags);
  API_FTypeReg dae{};
  dae.cmdRef = kDaeCommandRef;
  dae.ftype = FourCC("TEXT");
  dae.fcreator = FourCC("TRVK");
  std::strcpy(dae.extname, "dae");
  dae.iconResID = 0;
  dae.descStrResID = 32501;
  dae.descStrResItemID = 1;
  dae.methodFlags = APIFType_Save3D;
  ACAPI_Register_FileType(&dae);
  return result;
}

// Without its main object the add-on can do nothing: it says why in the
// host's debug output and installs no handler, so the host, which keeps a
// module whose Initialize failed, keeps it inert (its menu commands find no
// main object and do nothing). The host logs the failed Initialize.
GSErrCode Initialize() {
  addon::ACPlugin* plugin = nullptr;
  try {
    plugin = new addon::ACPlugin();
  } catch (const std::bad_alloc&) {
    DBPrintf("Corvanta: the add-on could not start: %s\n", base::CurrentExceptionText());
    return APIERR_MEMFULL;
  } catch (...) {
    DBPrintf("Corvanta: the add-on could not start: %s\n", base::CurrentExceptionText());
    return APIERR_GENERAL;
  }
  addon::SetThePlugin(plugin);
  plugin->GetUI().UpdateMenus();
  if (ACAPI_Notify_CatchProjectEvent(kProjectEventMask, &ProjectEventHandler) == NoError &&
      ACAPI_Notify_CatchViewEvent(kViewEventMask, kViewMap, &ViewEventHandler) == NoError) {
    ACAPI_KeepInMemory(true);
  }
  return ACAPI_Install_FileTypeHandler3D(kDaeCommandRef, &SaveDaeFile);
}

GSErrCode FreeData() {
  ACAPI_Notify_CatchProjectEvent(kProjectEventMask, nullptr);
  ACAPI_Notify_CatchViewEvent(kViewEventMask, kViewMap, nullptr);
  if (addon::ACPlugin* plugin = addon::ThePlugin()) {
    addon::SetThePlugin(nullptr);
    delete plugin;
  }
  addon::ForgetHostWindows();
  return NoError;
}
