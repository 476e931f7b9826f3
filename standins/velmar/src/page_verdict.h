// Whether a page may keep a geometry that velmar is about to change while
// frames still to be sent to it borrow that geometry: kept, velmar writes
// the change into a second copy until the page is done with the first;
// dropped, velmar changes its only copy in place.
//
// A page that reads, even at the few tens of MB/s a browser takes a large
// scene in, is kept: dropping it would close the page of a user who edits
// while it loads. A page that has stopped reading is dropped, and so is
// one that reads too slowly to be done soon. What a page took in the
// moment velmar looked is a poor measure on its own: the kernel lets the
// server write again only once a good part of the socket's buffer is free,
// and a browser's page takes nothing while its script works on a large
// message. Hence the page's history counts too.
#pragma once

#include <cstdint>

namespace velmar {

struct PageProgress {
  std::uint64_t tookWhileWatched = 0;  // bytes the page took while velmar looked
  double watchedSeconds = 0;           // how long velmar looked (> 0)
  std::uint64_t left = 0;              // bytes to send before it is done with the geometry
  std::uint64_t takenInAll = 0;        // bytes it took since it connected
  double idleSeconds = 0;              // since it last took bytes
};

enum class PageVerdict {
  kKeep,
  kDropStalled,  // takes nothing, and has not for a while or never really has
  kDropBehind,   // reads, but at its pace would be done too late
};

// A page that took nothing while watched is stalled once it has been idle
// this long ...
inline constexpr double kStalledAfterSeconds = 1.0;
// ... or when all it ever took is what socket buffers hold by themselves
// (it never read).
inline constexpr std::uint64_t kNeverReadBytes = std::uint64_t{32} << 20;
// A page that reads is behind when at the pace it showed it would need
// longer than this to be done with the geometry.
inline constexpr double kDoneWithinSeconds = 30.0;

PageVerdict JudgePage(const PageProgress& page);

}  // namespace velmar
