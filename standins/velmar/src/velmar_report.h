// What velmar prints: readable lines for people, or with --json one JSON
// object per line (an "event" field names it) for scripts and tests.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

#include "livelink/link_reader.h"

namespace velmar {

// Snapshot as JSON: header counters, records, status text, camera.
nlohmann::json SnapshotJson(const CorvantaAPI::LinkSnapshot& snapshot);

// Records whose type, flags or change count differ from the previous
// snapshot, or that are new; removed records are listed as such.
nlohmann::json ChangesJson(const CorvantaAPI::LinkSnapshot& before, const CorvantaAPI::LinkSnapshot& after);

class Reporter {
 public:
  explicit Reporter(bool json) : json_(json) {}
  bool jsonMode() const { return json_; }

  // One event: in JSON mode the object with "event" added, one line;
  // otherwise the human text (which may span lines).
  void Emit(const std::string& event, nlohmann::json fields, const std::string& human);
  void Error(const std::string& message);  // to stderr in both modes

  std::string HumanSnapshot(const CorvantaAPI::LinkSnapshot& snapshot) const;
  std::string HumanChanges(const nlohmann::json& changes) const;

 private:
  bool json_;
};

}  // namespace velmar
