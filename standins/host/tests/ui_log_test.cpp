// The UI log from several threads at once (add-ons print debug output from
// worker threads while the user-interface thread logs its own events).
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "hostui/log.h"

namespace {

TEST(UiLog, ConcurrentWritersLoseNothingAndSinksSeeEventsInOrder) {
  host::ui::Log log;
  std::vector<std::uint64_t> seen;
  log.AddSink([&](const host::ui::LogEvent& e) { seen.push_back(e.seq); });
  auto writer = [&](int who) {
    for (int i = 0; i < 2000; ++i) log.Add(who ? "host.debug" : "statusbar", "line", {{"i", i}});
  };
  std::thread a(writer, 0), b(writer, 1);
  std::thread reader([&] {
    for (int i = 0; i < 200; ++i) (void)log.EventsOfKind("statusbar");
  });
  a.join();
  b.join();
  reader.join();
  ASSERT_EQ(log.Events().size(), 4000u);
  ASSERT_EQ(seen.size(), 4000u);
  for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], i + 1);
  EXPECT_EQ(log.EventsOfKind("statusbar").size(), 2000u);
  // Errors are counted; JSON lines carry kind and sequence.
  log.Add("error", "bad", {{"reason", "bad"}});
  EXPECT_EQ(log.ErrorCount(), 1u);
  auto line = host::ui::ToJsonLine(log.Events().back());
  EXPECT_EQ(nlohmann::json::parse(line)["seq"], 4001);
  // Text that is not UTF-8 does not stop the log.
  log.Add("statusbar", "x", {{"text", std::string("\xff\xfe", 2)}});
  EXPECT_NO_THROW(host::ui::ToJsonLine(log.Events().back()));
}

}  // namespace
