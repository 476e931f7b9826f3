#include "velmar_install.h"

#include "base/utf.h"
#include "platform/win32.h"
#include "util/text.h"

namespace velmar {

namespace {

LSTATUS SetText(HKEY key, const char16_t* name, const std::u16string& value) {
  // REG_SZ data counts the terminating NUL.
  const auto bytes = static_cast<DWORD>((value.size() + 1) * sizeof(char16_t));
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), bytes);
}

}  // namespace

long Install(const InstallEntry& entry) {
  if (entry.subKey.empty()) return static_cast<long>(ERROR_INVALID_PARAMETER);
  const std::u16string path = std::u16string(kUninstallKey) + u"\\" + entry.subKey;
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (status != 0) return status;
  std::u16string location = entry.location;
  if (!location.empty() && location.back() != u'/') location += u'/';
  const std::u16string displayName = entry.displayName.empty() ? u"Velmar " + entry.version : entry.displayName;
  status = SetText(key, u"DisplayName", displayName);
  if (status == 0) status = SetText(key, u"DisplayVersion", entry.version);
  if (status == 0) status = SetText(key, u"InstallLocation", location);
  if (status == 0) status = SetText(key, u"Publisher", u"Torvik");
  RegCloseKey(key);
  return status;
}

long Uninstall(const std::u16string& subKey) {
  if (subKey.empty()) return static_cast<long>(ERROR_INVALID_PARAMETER);
  HKEY list = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_ALL_ACCESS, &list);
  if (status != 0) return status;
  status = RegDeleteKeyW(list, subKey.c_str());
  RegCloseKey(list);
  return status;
}

}  // namespace velmar
