// What the live view has sent of velmar's scene, and the frames that bring
// a page from there to a new snapshot: only the surfaces whose material,
// texture or geometry changed (of a geometry whose counts stayed, only the
// ranges that changed), the surfaces that went, the camera when it
// moved, then one update frame. A page that connects late gets the whole
// scene as held. Lives on the server's thread; the link's thread only makes
// the snapshot (a copy of shared pointers, nothing large).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "live_frames.h"
#include "scene.h"

namespace velmar {

// The scene as velmar held it after one update, with the update's times on
// the wall clock (milliseconds since the epoch, as the page's clock counts).
struct LiveSnapshot {
  std::string link;
  std::string cause;      // "opened", "wake", "poll"
  double wakeAt = 0;      // velmar woken by the publisher (or the read began, for a poll)
  double readAt = 0;      // the read began
  double readDoneAt = 0;  // the scene was read
  std::vector<Surface> surfaces;
  Camera camera;
  std::map<std::string, std::string> status;
};

class LiveScene {
 public:
  explicit LiveScene(std::size_t maxFrameBytes = kMaxFrameBytes) : maxFrameBytes_(maxFrameBytes) {}

  // The frames of what changed since the last snapshot, ending with the
  // update frame (always sent: it carries the times the page measures by).
  // update numbers it; numbers only grow.
  std::vector<FramePtr> Apply(const LiveSnapshot& snapshot, std::uint32_t update);
  // The link ended: the page empties its view and says why. Forgets all.
  std::vector<FramePtr> Ended(const std::string& link, const std::string& reason, std::uint32_t update);
  // Everything a page opened now needs, ending with an update frame marked
  // "whole" (or the ended frame when no link is held).
  std::vector<FramePtr> Whole() const;

  std::uint32_t update() const { return update_; }

  // A surface as the pages have it.
  struct Held {
    Surface surface;
    FramePtr material, texture;
    std::vector<FramePtr> geometry;  // the whole geometry, for a page opened later
    std::uint64_t revision = 0;      // of the geometry sent
  };

 private:
  std::string UpdateJson(const LiveSnapshot& snapshot, std::size_t bytes, bool whole) const;

  std::size_t maxFrameBytes_;
  std::uint32_t update_ = 0;
  std::map<std::uint32_t, Held> held_;  // by record id
  FramePtr camera_;
  Camera cameraSent_;
  LiveSnapshot last_;  // its surfaces left empty: held_ keeps them
  bool linked_ = false;
  FramePtr ended_;
};

}  // namespace velmar
