// How many reports of one kind may be told over time: a burst at once,
// then a steady rate; what goes past it is counted, not kept, so that a
// peer that provokes reports without end (refused requests, a page's own
// messages) costs neither a log without bound nor memory.
#pragma once

#include <chrono>
#include <cstdint>

namespace velmar {

class ReportBudget {
 public:
  using Clock = std::chrono::steady_clock;
  ReportBudget(double perSecond, double burst);
  // True when a report may be told now; otherwise counts it as dropped.
  bool Take(Clock::time_point now);
  // Dropped since the last call.
  std::uint64_t TakeDropped();

 private:
  double perSecond_, burst_, tokens_;
  Clock::time_point last_;
  std::uint64_t dropped_ = 0;
};

}  // namespace velmar
