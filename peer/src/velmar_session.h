// The renderer's side of a live link: a published main window that the
// publisher wakes with message 0x8729, a guest connection to one link found
// through the registry of connections, and a report of what each wake-up
// changed. Ends cleanly on SIGINT/SIGTERM.
#pragma once

#include <cstdint>
#include <string>

#include "velmar_report.h"

namespace velmar {

struct RunOptions {
  std::u16string version = u"8.3.0";
  std::u16string link;          // empty: the first announced link
  int waitMs = -1;              // give up when no link appears in time; -1 never
  int endAfterWakes = 0;        // end the link after that many wake-ups; 0 never
  bool exitWhenEnded = false;   // stop instead of waiting for the next link
};

// Runs until a signal (0), or until the link was ended with exitWhenEnded
// (0), or until no link appeared within waitMs (3). 1 when the window
// cannot be published.
int Run(const RunOptions& options, Reporter& reporter);

// Opens a link as a guest just long enough to set its closed flag.
// 0 done, 1 no such link.
int EndLink(const std::u16string& link, Reporter& reporter);

// Prints one snapshot of a link. 0 done, 1 no such link.
int ShowLink(const std::u16string& link, Reporter& reporter);

// Prints the live links of that kind (0 any). Always 0.
int ListLinks(std::uint32_t kind, Reporter& reporter);

}  // namespace velmar
