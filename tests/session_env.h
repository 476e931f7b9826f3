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
  std::string output;                  // hostsim's lines for people and errors
  std::vector<nlohmann::json> events;  // the JSON lines log
  std::vector<nlohmann::json> Of(const std::string& kind) const;
  // Events of a kind whose field equals value.
  std::vector<nlohmann::json> Of(const std::string& kind, const std::string& field, const nlohmann::json& value) const;
};

// "load <module>" followed by script, run as "hostsim --no-launch --json".
Run RunModule(const std::string& name, const std::string& script);
// The line that loads the module.
std::string LoadLine();

// A value of the add-on's settings key in the current user's store: the
// number of a REG_DWORD, the text of a REG_SZ; null when missing.
nlohmann::json SettingsValue(const std::string& name);
// Removes the add-on's settings key (a fresh installation).
void ForgetSettings();

}  // namespace addon_test
