// The renderer's side of a live link: a published main window that the
// publisher wakes with message 0x8729, a guest connection to one link found
// through the registry of connections, and a report of what each wake-up
// changed. Ends cleanly on SIGINT/SIGTERM.
#pragma once

#include <cstdint>
#include <string>

#include "live_server.h"
#include "velmar_report.h"

namespace velmar {

struct RunOptions {
  std::u16string version = u"8.3.0";
  std::u16string link;         // empty: the first announced link
  int waitMs = -1;             // give up when no link appears in time; -1 never
  int endAfterWakes = 0;       // end the link after that many wake-ups; 0 never
  bool exitWhenEnded = false;  // stop instead of waiting for the next link
  std::string snapshotsDir;    // draw a picture there after each update that changed something
  std::string gltfPath;        // write the scene there when the link ends and at exit
  int width = 960, height = 720;
  bool framing = false;  // pictures from velmar's own framing camera only
  bool serve = false;    // also serve the live view (live_server.h)
  LiveServerOptions live;
};

struct SnapshotOptions {
  std::u16string link;        // empty: the first announced link
  std::string picture;        // PNG to write; empty for none
  std::string gltfPath;       // glTF to write; empty for none
  std::string canonicalPath;  // the canonical form's bytes (livelink/canonical_bytes.h); empty for none
  int width = 960, height = 720;
  bool framing = false;
};

// Runs until a signal (0), or until the link was ended with exitWhenEnded
// (0), or until no link appeared within waitMs (3). 1 when the window
// cannot be published or, with serve, the live view cannot listen.
int Run(const RunOptions& options, Reporter& reporter);

// Opens a link as a guest just long enough to set its closed flag.
// 0 done, 1 no such link.
int EndLink(const std::u16string& link, Reporter& reporter);

// Opens a link, reads its whole scene once and draws it, writes it as glTF
// and/or writes its canonical form. 0 done, 1 no such link, 2 a file could
// not be written.
int Snapshot(const SnapshotOptions& options, Reporter& reporter);

// Prints one snapshot of a link. 0 done, 1 no such link.
int ShowLink(const std::u16string& link, Reporter& reporter);

// Prints the live links of that kind (0 any). Always 0.
int ListLinks(std::uint32_t kind, Reporter& reporter);

}  // namespace velmar
