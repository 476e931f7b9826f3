// Discovery and launch of the Velmar renderer: versions of running renderers
// (from their main windows' titles) and of installed ones (from the
// machine's installed-program list), the check the live link runs at every
// start, with its alerts, and the start of the installed renderer.
//
// Host user-interface thread. Nothing here throws; registry and window
// failures make that entry or window count as having no version.
#pragma once

#include <string>

namespace renderer {

// The oldest renderer the live link works with.
inline constexpr char16_t kRequiredVersion[] = u"8.3.0";
// The installed-program list under HKEY_LOCAL_MACHINE.
inline constexpr char16_t kUninstallKey[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
// The renderer's executable inside its install location (Velmar.exe on
// Windows).
inline constexpr char16_t kRendererExecutable[] = u"velmar";

// Compares a and b as four dot-separated numbers (missing ones are 0, so
// "8.3" equals "8.3.0.0"; reading stops at the first part that is not a
// number): 1 when a is newer, -1 when older, 0 when equal.
int CompareVersions(const std::u16string& a, const std::u16string& b);

// Removes every character but digits and full stops ("version 8.3.0 (build
// 1)" gives "8.3.01").
std::u16string CleanVersion(const std::u16string& text);

// The version in a renderer window's title: the first run of digits and
// full stops after "Velmar " that starts with a digit, without trailing
// stops ("Velmar 8.2 (build 7)" gives "8.2"); empty when the title does not
// hold "Velmar " or no digit follows it.
std::u16string VersionInTitle(const std::u16string& title);

// The highest version (by CompareVersions) among installed programs whose
// DisplayName contains "Velmar"; "0.0" when there is none or the list cannot
// be read. Entries whose version holds no digit are skipped.
std::u16string GetInstalledRendererVersion();

// The version in the title of a running renderer's main window
// (VersionInTitle): the first one found, or with highest the highest;
// "0.0.0.0" when none runs.
std::u16string GetRunningRendererVersion(bool highest);

// The log of a renderer the add-on starts, in the per-user runtime folder.
inline constexpr char16_t kRendererLogName[] = u"velmar.log";

// Starts the installed renderer whose cleaned DisplayVersion equals version
// (the last such entry of the list), maximised, in its install location.
// False when there is no such entry, it has no location, the location does
// not exist, or the process cannot be started. Does not wait for it.
// The renderer inherits nothing of the host: it reads no input, runs in a
// session of its own, and its output goes to RendererLogPath() (appended;
// a log over 4 MiB is first moved to "velmar.log.old"), or nowhere when the
// runtime folder is not usable.
bool LaunchRenderer(std::u16string version);
// "<runtime folder>/velmar.log"; empty when there is no runtime folder.
std::u16string RendererLogPath();

// The check before a link starts. A running renderer of at least
// kRequiredVersion: true. Otherwise, when the installed one is older (or
// missing), alert 32201 (on "Yes" the renderer page opens) and false; else
// alert 32202 offering to start it (on "Yes" LaunchRenderer) and true.
bool CheckRenderer();

}  // namespace renderer
