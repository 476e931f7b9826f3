#include "page_verdict.h"

#include <cassert>

namespace velmar {

PageVerdict JudgePage(const PageProgress& page) {
  assert(page.watchedSeconds > 0);
  if (page.tookWhileWatched == 0) {
    // Idle a moment only, after reading much: a page busy with what it got.
    const bool busy = page.idleSeconds < kStalledAfterSeconds && page.takenInAll > kNeverReadBytes;
    return busy ? PageVerdict::kKeep : PageVerdict::kDropStalled;
  }
  const double pace = static_cast<double>(page.tookWhileWatched) / page.watchedSeconds;
  return static_cast<double>(page.left) > pace * kDoneWithinSeconds ? PageVerdict::kDropBehind : PageVerdict::kKeep;
}

}  // namespace velmar
