// What the live view has sent of velmar's scene, and the frames that bring
// a page from there to a new snapshot: only the surfaces whose material,
// texture or geometry changed (of a geometry whose counts stayed, only the
// ranges that changed), the surfaces that went, the camera when it
// moved, then one update frame. A page that connects late gets the whole
// scene from a snapshot made for it. Lives on the server's thread; the
// link's thread only makes the snapshots (a copy of shared pointers,
// nothing large).
//
// No geometry is held between updates: a snapshot's geometries are held
// by the frames made from them, and so only until every page has been
// sent them. velmar's mirror then changes its only copy in place, as
// without a live view, instead of keeping a second copy for the view.
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
  // Whether a page opened now needs a snapshot of the scene (a link is
  // held); without one, WholeWithout() is what it gets.
  bool linked() const { return linked_; }
  // Everything a page opened now needs, from a snapshot of the scene as
  // last applied (the link's thread makes it after its last Publish, so
  // that its geometries are the ones sent), ending with an update frame
  // marked "whole".
  std::vector<FramePtr> Whole(const LiveSnapshot& snapshot) const;
  // What a page opened while no link is held gets: the ended frame, or
  // nothing.
  std::vector<FramePtr> WholeWithout() const;

  std::uint32_t update() const { return update_; }

  // A surface as the pages have it: its material and texture (textures
  // are never changed in place: holding one costs no copy), and of its
  // geometry only what says which state the pages hold.
  struct Held {
    Surface surface;  // without its geometry
    FramePtr material, texture;
    std::uint64_t revision = 0;  // of the geometry sent; 0 for none
    std::size_t vertices = 0, indices = 0;
    Bounds bounds;
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
