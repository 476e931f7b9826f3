// Runs hostsim scripts against the add-on module in a registry and runtime
// of this test program's own (children inherit them), and reads back the
// JSON lines log and the registry store.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace addon_test {

// The temporary root of this test program (registry roots, runtime folder,
// scripts, projects).
const std::string& Root();

struct Run {
  int status = -1;
  std::string output;                  // all hostsim wrote (its JSON lines)
  std::vector<nlohmann::json> events;  // the JSON lines log
  std::vector<nlohmann::json> Of(const std::string& kind) const;
  // Whether an event of that kind holds every field of `fields` with its value.
  bool Has(const std::string& kind, const nlohmann::json& fields) const;
  // The events after hostsim raised the named signal (none when it did not).
  Run After(const std::string& signal) const;
};

// "load <module>" followed by script, run as "hostsim --no-launch --quiet
// --json -" with its output read through a pipe. A fileSizeLimit other than
// 0 limits every file hostsim writes (not the pipe).
Run RunModule(const std::string& name, const std::string& script, unsigned long fileSizeLimit = 0);
// The line that loads the module, and a sample project saved under Root().
std::string LoadLine();
std::string SavedProject(const std::string& name);

// A value of the add-on's settings key in the current user's store: the
// number of a REG_DWORD, the text of a REG_SZ; null when missing.
nlohmann::json SettingsValue(const std::string& name);
// Removes the add-on's settings key (a fresh installation).
void ForgetSettings();

}  // namespace addon_test
