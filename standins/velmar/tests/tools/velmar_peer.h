// What velmar's process tests share: velmar's JSON event lines read as they
// come, and the hand-made scene publisher asked line by line. A wait that
// runs out returns null json or an empty answer (and fails the test where
// an answer was owed), so the caller's ASSERT says what did not come.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <memory>
#include <string>

#include "child_process.h"

namespace velmar_test {

using livelink_test::ChildProcess;
using nlohmann::json;

inline std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

// The next line of child whose "event" is event and that satisfies holds;
// lines that are not JSON fail the test. Null json after the time.
template <typename Holds>
json NextEvent(ChildProcess& child, const std::string& event, Holds holds, int timeoutMs = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (std::string line;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !child.ReadLine(&line, static_cast<int>(left.count()))) return json();
    json value = json::parse(line, nullptr, false);
    if (value.is_discarded()) {
      ADD_FAILURE() << "not JSON: " << line;
      continue;
    }
    if (value.value("event", "") == event && holds(value)) return value;
  }
}
inline json NextEvent(ChildProcess& child, const std::string& event, int timeoutMs = 10000) {
  return NextEvent(
      child, event, [](const json&) { return true; }, timeoutMs);
}

// Sends one command to a hostsim run with --echo and waits until hostsim
// has run it: an echo of a marker of its own follows it, and hostsim
// answers commands in order. False (and a test failure) when hostsim does
// not get that far within the time.
inline bool RunHostCommand(ChildProcess& host, const std::string& command, const std::string& marker, int timeoutMs) {
  if (!host.Send(command) || !host.Send("echo " + marker)) {
    ADD_FAILURE() << "hostsim did not take " << command;
    return false;
  }
  for (std::string line;;) {
    if (!host.ReadLine(&line, timeoutMs)) {
      ADD_FAILURE() << "hostsim did not finish " << command;
      return false;
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.rfind("echo", 0) == 0 && line.size() >= marker.size() &&
        line.compare(line.size() - marker.size(), marker.size(), marker) == 0)
      return true;
  }
}

// Ends a test's hostsim (asked to quit, as a user would) and velmar (by
// SIGTERM, as a service manager would), each with a grace time; either may
// be null when the test stopped before starting it.
inline void EndHostAndVelmar(ChildProcess* host, ChildProcess* velmar) {
  if (host != nullptr) {
    host->Send("quit");
    host->Wait(15000);
  }
  if (velmar != nullptr) {
    velmar->Signal(SIGTERM);
    velmar->Wait(10000);
  }
}

#ifdef VELMAR_PUBLISHER
// The test publisher (velmar_test_publisher) on a link of that name; a
// command it does not understand fails the test.
class Publisher {
 public:
  explicit Publisher(const std::u16string& name) : child_(ChildProcess::Start(VELMAR_PUBLISHER, {Narrow(name)})) {}
  bool Started() { return child_ != nullptr && child_->WaitFor("created", 10000) == "created 0"; }
  std::string Ask(const std::string& command) {
    std::string line;
    EXPECT_TRUE(child_->Send(command) && child_->ReadLine(&line, 10000)) << command;
    EXPECT_NE(line.rfind("unknown", 0), 0u) << command << ": " << line;
    return line;
  }
  // The record id that ends the answer ("surface KEY ID").
  std::uint32_t Id(const std::string& command) {
    const std::string answer = Ask(command);
    return static_cast<std::uint32_t>(std::stoul("0" + answer.substr(answer.rfind(' ') + 1)));
  }
  ChildProcess& child() { return *child_; }

 private:
  std::unique_ptr<ChildProcess> child_;
};
#endif

}  // namespace velmar_test
