// Entering velmar into the machine's installed-program list, where the
// add-on's launcher looks for a renderer: HKEY_LOCAL_MACHINE
// "SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\<sub-key>" with
// DisplayName, DisplayVersion and InstallLocation.
//
// InstallLocation is the folder of the executable with a trailing "/": the
// launcher starts InstallLocation immediately followed by the executable's
// name, with no separator of its own.
#pragma once

#include <string>

namespace velmar {

inline constexpr char16_t kUninstallKey[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

struct InstallEntry {
  std::u16string subKey = u"Velmar";
  std::u16string displayName;  // "Velmar <version>" unless given
  std::u16string version;
  std::u16string location;  // folder, "/" appended when missing
};

// 0 on success, else the failing registry result (2 not found, ...).
long Install(const InstallEntry& entry);
long Uninstall(const std::u16string& subKey);

// Folder of the running executable with a trailing "/", from /proc/self/exe;
// empty when it cannot be read.
std::u16string OwnFolder();

}  // namespace velmar
