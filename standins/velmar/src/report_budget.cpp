#include "report_budget.h"

#include <algorithm>

namespace velmar {

ReportBudget::ReportBudget(double perSecond, double burst)
    : perSecond_(perSecond), burst_(burst), tokens_(burst), last_(Clock::now()) {}

bool ReportBudget::Take(Clock::time_point now) {
  if (now > last_) {
    tokens_ = std::min(burst_, tokens_ + perSecond_ * std::chrono::duration<double>(now - last_).count());
    last_ = now;
  }
  if (tokens_ >= 1) {
    tokens_ -= 1;
    return true;
  }
  ++dropped_;
  return false;
}

std::uint64_t ReportBudget::TakeDropped() {
  const std::uint64_t dropped = dropped_;
  dropped_ = 0;
  return dropped;
}

}  // namespace velmar
