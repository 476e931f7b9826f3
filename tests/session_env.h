// What the whole-system tests share: hostsim runs with the add-on and their
// JSON lines logs, hostsim's named signals, the registry of connections,
// what a renderer holds of a link (read from this process in its canonical
// form) and the add-on's settings store. Everything lives in a registry and
// runtime of this test program's own, which its children inherit.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "livelink/canonical_scene.h"

namespace system_test {

using json = nlohmann::json;
namespace fs = std::filesystem;

// The sanitizer builds run the process tests smaller.
inline constexpr bool kSanitized = CORV_SANITIZED;

// The temporary root of this test program (removed when it ends).
const std::string& Root();

// What hostsim wrote: its JSON lines, parsed.
struct Run {
  int status = -1;
  std::string output;
  std::vector<json> events;
  std::vector<json> Of(const std::string& kind) const;
  // How many events of that kind hold every field of `fields` with its value.
  int Count(const std::string& kind, const json& fields) const;
  bool Has(const std::string& kind, const json& fields) const { return Count(kind, fields) > 0; }
  // The events after hostsim raised the named signal (none when it did not).
  Run After(const std::string& signal) const;
};
// hostsim's JSON log file.
Run ReadLog(const std::string& path);
// A file's bytes; empty when it cannot be read.
std::string ReadAll(const std::string& path);

// "load <module>" followed by script, run as "hostsim --no-launch --quiet
// --json -" with its output read through a pipe. A fileSizeLimit other than
// 0 limits every file hostsim writes (not the pipe).
Run RunModule(const std::string& name, const std::string& script, unsigned long fileSizeLimit = 0);
std::string LoadLine();
// Fails the test for each line of a run that failed (an expectation that
// did not hold, a refused command), naming the part of the script that the
// last `echo` before it named.
void ExpectEveryLineHeld(const Run& r);
// A sample project saved as Root()/<name>.pln.
std::string SavedProject(const std::string& name);

// hostsim's expect lines for what the user sees. A row holds a character
// per item: '+' enabled, '-' disabled, '.' not looked at. Menus: start,
// pause, stop, camera, export, palette, settings, about; Palette: its items
// 1 to 8. Icons: the palette's icons of the link (item 2), the status (4)
// and the camera (5), 0 not looked at.
std::string Menus(std::string_view states);
std::string Palette(std::string_view states);
std::string Icons(int link, int status, int camera = 0);

// Raises a signal that hostsim's `await` takes down.
void Raise(const std::string& name);
// Waits for hostsim's signal and takes it down; false after the timeout.
bool Awaited(const std::string& name, int timeoutMs);

inline int ExitCode(int status) { return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

// Waits until the registry of connections does (or does not) name a link.
bool AwaitRegistered(const std::u16string& name, bool wanted);

// What a renderer holds of the link now, read under its lock through a
// guest connection of this process (closed again, so the link's memory is
// not kept alive by the test). Problems of the read fail the test.
CorvantaAPI::CanonicalScene ReadLink(const std::u16string& name);

// `after` holds what `before` held, surface by surface with every surface's
// material unchanged, and the twelve triangles of a box between the host
// points lo and hi (z up), which the link stores as (x, z, y) with the
// default vertical offset 0.
void ExpectBoxAdded(const CorvantaAPI::CanonicalScene& before, const CorvantaAPI::CanonicalScene& after,
                    const std::array<float, 3>& lo, const std::array<float, 3>& hi);

// A value of the add-on's settings key in the current user's store: the
// number of a REG_DWORD, the text of a REG_SZ; null when missing.
json SettingsValue(const std::string& name);
// Removes the add-on's settings key (a fresh installation).
void ForgetSettings();

}  // namespace system_test
