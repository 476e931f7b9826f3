#include "hostui/log.h"

namespace host::ui {

void Log::Add(const std::string& kind, const std::string& text, nlohmann::json data) {
  std::lock_guard lock(mutex_);
  LogEvent event;
  event.seq = ++seq_;
  event.kind = kind;
  event.text = text;
  if (!data.is_object()) data = nlohmann::json::object();
  data["kind"] = kind;
  event.data = std::move(data);
  if (kind == "error") ++errors_;
  events_.push_back(event);
  if (events_.size() > kKeep) events_.pop_front();
  // A sink may add or remove sinks; iterate over a copy.
  auto sinks = sinks_;
  for (auto& [id, sink] : sinks) sink(event);
}

int Log::AddSink(Sink sink) {
  std::lock_guard lock(mutex_);
  sinks_.emplace_back(nextSink_, std::move(sink));
  return nextSink_++;
}

void Log::RemoveSink(int id) {
  std::lock_guard lock(mutex_);
  std::erase_if(sinks_, [id](const auto& s) { return s.first == id; });
}

std::vector<LogEvent> Log::Events() const {
  std::lock_guard lock(mutex_);
  return {events_.begin(), events_.end()};
}

std::uint64_t Log::LastSeq() const {
  std::lock_guard lock(mutex_);
  return seq_;
}

std::size_t Log::ErrorCount() const {
  std::lock_guard lock(mutex_);
  return errors_;
}

std::vector<LogEvent> Log::EventsOfKind(const std::string& kind) const {
  std::lock_guard lock(mutex_);
  std::vector<LogEvent> out;
  for (const auto& e : events_)
    if (e.kind == kind) out.push_back(e);
  return out;
}

void Log::Clear() {
  std::lock_guard lock(mutex_);
  events_.clear();
  errors_ = 0;
}

std::string ToJsonLine(const LogEvent& event) {
  nlohmann::json j = event.data;
  j["seq"] = event.seq;
  // Invalid UTF-8 in a text must not stop the log.
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace host::ui
