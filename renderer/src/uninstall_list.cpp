#include "renderer/uninstall_list.h"

#include "platform/win32.h"
#include "renderer/renderer.h"
#include "util/registry_values.h"

namespace renderer {

void ForEachInstalledRenderer(const std::function<void(const InstalledEntry&)>& visit) {
  HKEY list = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, &list) != LSTATUS(ERROR_SUCCESS)) return;
  DWORD subKeys = 0;
  // The class is typed: a bare null would fit the system's wide-text call
  // as well as the one for the system's own text on Windows.
  const LPWSTR noClass = nullptr;
  if (RegQueryInfoKeyW(list, noClass, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr) != LSTATUS(ERROR_SUCCESS)) {
    RegCloseKey(list);
    return;
  }
  for (DWORD i = 0; i < subKeys; ++i) {
    char16_t name[260] = {};
    DWORD chars = 260;
    if (RegEnumKeyExW(list, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != LSTATUS(ERROR_SUCCESS)) continue;
    HKEY entryKey = nullptr;
    if (RegOpenKeyExW(list, name, 0, KEY_READ, &entryKey) != LSTATUS(ERROR_SUCCESS)) continue;
    InstalledEntry entry;
    util::ReadStringValue(entryKey, u"DisplayName", entry.displayName);
    if (entry.displayName.find(u"Velmar") != std::u16string::npos) {
      util::ReadStringValue(entryKey, u"DisplayVersion", entry.displayVersion);
      util::ReadStringValue(entryKey, u"InstallLocation", entry.installLocation);
      visit(entry);
    }
    RegCloseKey(entryKey);
  }
  RegCloseKey(list);
}

}  // namespace renderer
