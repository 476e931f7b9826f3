// The log of everything a user of the host could see: menu changes, dialogs
// and their items, alerts, message boxes, the status bar, the save dialog,
// opened addresses. Each event has a kind ("menu.flags", "statusbar", ...),
// a line for people and the same facts as a JSON object for tests.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace host::ui {

struct LogEvent {
  std::uint64_t seq = 0;
  std::string kind;
  std::string text;     // for people
  nlohmann::json data;  // for machines; always has "kind"
};

// Safe to add to from any thread (add-ons print debug output from worker
// threads); sinks are called one event at a time, in sequence order, on the
// thread that added the event.
class Log {
 public:
  using Sink = std::function<void(const LogEvent&)>;

  void Add(const std::string& kind, const std::string& text, nlohmann::json data = nlohmann::json::object());
  // Sinks see every later event; returns an id for RemoveSink.
  int AddSink(Sink sink);
  void RemoveSink(int id);
  // The last events kept in memory (at most kKeep).
  std::vector<LogEvent> Events() const;
  std::vector<LogEvent> EventsOfKind(const std::string& kind) const;
  std::uint64_t LastSeq() const;
  std::size_t ErrorCount() const;
  void Clear();

  static constexpr std::size_t kKeep = 20000;

 private:
  // Recursive: a sink may log (a nested dialog's close, for instance).
  mutable std::recursive_mutex mutex_;
  std::deque<LogEvent> events_;
  std::vector<std::pair<int, Sink>> sinks_;
  int nextSink_ = 1;
  std::uint64_t seq_ = 0;
  std::size_t errors_ = 0;
};

// One JSON object per line: {"seq":..,"kind":..,...}.
std::string ToJsonLine(const LogEvent& event);

}  // namespace host::ui
