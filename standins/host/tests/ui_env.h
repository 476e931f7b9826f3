// Test isolation for the UI tests: fresh registry roots and runtime
// directory per test program, removed at exit; helpers to run hostsim.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace uitest {

// The temporary directory of this test program (created on first use).
const std::string& TempDir();

struct Run {
  int status = -1;
  std::string output;                  // hostsim's human output and errors
  std::vector<nlohmann::json> events;  // the JSON lines
  std::vector<std::string> journal;    // what the test add-on received
  // Events of one kind, in order.
  std::vector<nlohmann::json> Of(const std::string& kind) const;
};

// Writes script to a file and runs "hostsim --no-launch --json F run S".
Run RunHostsim(const std::string& name, const std::string& script);

}  // namespace uitest
