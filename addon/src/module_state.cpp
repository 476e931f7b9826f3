#include "addon/module.h"

#include <cstdio>

#include "hostsdk/requests.h"
#include "hostsdk/acapi.h"
#include "hostsdk/glue.h"
#include "hostsdk/ui/win32ui.h"
#include "platform/win32.h"

namespace addon {
namespace {

GSResModule g_resModule = 0;
// A plain array: the load hook below runs before the module's own static
// initialisers (which would construct a string again over the path it had
// stored, and leak it) and the unload hook after its static destructors.
char g_modulePath[4096] = {};
HICON g_icon = nullptr;
ACPlugin* g_plugin = nullptr;
HWND g_mainWindow = nullptr;

// The operating system's load of the module: remember where it came from
// and open its resources, so that RegisterInterface finds menus and strings.
__attribute__((constructor)) void OnModuleLoad() {
  const std::string file = platform::ModuleFileOf(reinterpret_cast<const void*>(&OnModuleLoad));
  std::snprintf(g_modulePath, sizeof g_modulePath, "%s", file.c_str());
  g_resModule = RSInitModuleCache(reinterpret_cast<const void*>(&OnModuleLoad));
}

// An unload while the host context is still set means FreeData never ran
// (the host went away without the protocol's last step): say so in the
// host's debug output, the one trace such an end leaves.
__attribute__((destructor)) void OnModuleUnload() {
  if (ACAPI_Glue::Context() != nullptr) {
    DBPrintf("Abnormal add-on termination (\"%s\")\n", g_modulePath);
    // The host that gave it may be gone: nothing later (a static object's
    // destructor) may call into the host with it.
    ACAPI_Glue::ClearContext();
  }
  if (g_resModule != 0) RSExitModuleCache(g_resModule);
  g_resModule = 0;
}

}  // namespace

GSResModule ResModule() { return g_resModule; }
const char* ModulePath() { return g_modulePath; }

HICON AddonIcon() { return g_icon; }

void LoadAddonIcon() {
  if (g_icon == nullptr && g_resModule != 0) g_icon = RSLoadIcon(g_resModule, 101, GetSystemMetrics(SM_CXSMICON));
}

void ReleaseAddonIcon() {
  if (g_icon != nullptr) DestroyIcon(g_icon);
  g_icon = nullptr;
}

ACPlugin* ThePlugin() { return g_plugin; }
void SetThePlugin(ACPlugin* plugin) { g_plugin = plugin; }

HWND HostMainWindow() {
  if (g_mainWindow == nullptr) {
    void* window = nullptr;
    if (ACAPI_Environment(APIEnv_GetMainWindowID, &window) == NoError) g_mainWindow = static_cast<HWND>(window);
  }
  return g_mainWindow;
}

void ForgetHostMainWindow() { g_mainWindow = nullptr; }

}  // namespace addon
