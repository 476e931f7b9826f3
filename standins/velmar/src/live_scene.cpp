#include "live_scene.h"

#include <nlohmann/json.hpp>

#include <set>

using nlohmann::json;

namespace velmar {

namespace {

bool SameMaterial(const Surface& a, const Surface& b) {
  // Compared as bits: a NaN opacity must not look changed at every update.
  return a.name == b.name && a.colour == b.colour && a.surfaceType == b.surfaceType &&
         std::bit_cast<std::uint32_t>(a.opacity) == std::bit_cast<std::uint32_t>(b.opacity);
}

bool SameCamera(const Camera& a, const Camera& b) {
  return a.followed == b.followed && a.cameraToWorld == b.cameraToWorld && a.fieldOfView == b.fieldOfView;
}

// Whether the page can take g as ranges over what it was sent: a geometry
// of the same counts (in one frame or filled by ranges, whatever its size),
// and g made from that very revision.
bool Ranged(const LiveScene::Held& held, const Geometry* g) {
  if (g == nullptr || g->base == 0 || g->base != held.revision || held.revision == 0) return false;
  return held.vertices == g->vertexCount() && held.indices == g->indices.size() && held.indices != 0;
}

std::size_t Bytes(const std::vector<FramePtr>& frames) {
  std::size_t n = 0;
  for (const auto& f : frames) n += f->size();
  return n;
}

}  // namespace

std::string LiveScene::UpdateJson(const LiveSnapshot& snapshot, std::size_t bytes, bool whole) const {
  std::size_t triangles = 0;
  Bounds bounds;
  for (const auto& [key, held] : held_) {
    triangles += held.indices / 3;
    bounds.Add(held.bounds);
  }
  json value = {{"update", update_},
                {"link", snapshot.link},
                {"cause", snapshot.cause},
                {"wakeAt", snapshot.wakeAt},
                {"readAt", snapshot.readAt},
                {"readDoneAt", snapshot.readDoneAt},
                {"surfaces", held_.size()},
                {"triangles", triangles},
                {"bytes", bytes},
                {"whole", whole},
                {"followed", snapshot.camera.followed},
                {"status", snapshot.status}};
  if (!bounds.empty) value["bounds"] = {{"min", bounds.min}, {"max", bounds.max}};
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::vector<FramePtr> LiveScene::Apply(const LiveSnapshot& snapshot, std::uint32_t update) {
  update_ = update;
  std::vector<FramePtr> frames;
  std::set<std::uint32_t> present;
  for (const Surface& surface : snapshot.surfaces) {
    present.insert(surface.recordId);
    auto [it, added] = held_.try_emplace(surface.recordId);
    Held& held = it->second;
    if (added || !SameMaterial(held.surface, surface)) {
      held.material = MaterialFrame(update_, surface);
      frames.push_back(held.material);
    }
    // The mirror makes a new texture object whenever it reads one again,
    // and keeps the old one otherwise: the pointer tells. A geometry has a
    // new revision whenever it changed.
    if (added || held.surface.texture != surface.texture) {
      held.texture = TextureFrame(update_, surface.recordId, surface.texture);
      frames.push_back(held.texture);
    }
    // Each state of a geometry has a revision of its own (HeldGeometry):
    // the revision alone tells whether the pages hold this one.
    const std::uint64_t revision = surface.geometry ? surface.geometry->revision : 0;
    if (added || revision != held.revision || (revision == 0 && surface.geometry)) {
      const auto sent = Ranged(held, surface.geometry.get())
                            ? RangeFrames(update_, surface.recordId, *surface.geometry, maxFrameBytes_)
                            : GeometryFrames(update_, surface.recordId, surface.geometry, maxFrameBytes_);
      frames.insert(frames.end(), sent.begin(), sent.end());
      held.revision = revision;
      held.vertices = surface.geometry ? surface.geometry->vertexCount() : 0;
      held.indices = surface.geometry ? surface.geometry->indices.size() : 0;
      held.bounds = surface.geometry ? surface.geometry->bounds : Bounds();
    }
    held.surface = surface;
    held.surface.geometry.reset();
  }
  for (auto it = held_.begin(); it != held_.end();) {
    if (present.count(it->first) != 0) {
      ++it;
      continue;
    }
    frames.push_back(RemoveFrame(update_, it->first));
    it = held_.erase(it);
  }
  if (!camera_ || !SameCamera(cameraSent_, snapshot.camera)) {
    camera_ = CameraFrame(update_, snapshot.camera);
    cameraSent_ = snapshot.camera;
    frames.push_back(camera_);
  }
  last_ = snapshot;
  last_.surfaces.clear();
  linked_ = true;
  ended_.reset();
  const std::size_t bytes = Bytes(frames);
  frames.push_back(UpdateFrame(update_, UpdateJson(snapshot, bytes, false)));
  return frames;
}

std::vector<FramePtr> LiveScene::Ended(const std::string& link, const std::string& reason, std::uint32_t update) {
  update_ = update;
  held_.clear();
  camera_.reset();
  cameraSent_ = Camera();
  last_ = LiveSnapshot();
  linked_ = false;
  ended_ = EndedFrame(update_,
                      json{{"link", link}, {"reason", reason}}.dump(-1, ' ', false, json::error_handler_t::replace));
  return {ended_};
}

std::vector<FramePtr> LiveScene::WholeWithout() const {
  if (ended_) return {ended_};
  return {};
}

std::vector<FramePtr> LiveScene::Whole(const LiveSnapshot& snapshot) const {
  if (!linked_) return WholeWithout();
  std::vector<FramePtr> frames;
  for (const Surface& surface : snapshot.surfaces) {
    const auto it = held_.find(surface.recordId);
    if (it == held_.end()) continue;  // not applied yet: it comes with its update
    frames.push_back(it->second.material);
    frames.push_back(it->second.texture);
    const auto geometry = GeometryFrames(update_, surface.recordId, surface.geometry, maxFrameBytes_);
    frames.insert(frames.end(), geometry.begin(), geometry.end());
  }
  if (camera_) frames.push_back(camera_);
  const std::size_t bytes = Bytes(frames);
  frames.push_back(UpdateFrame(update_, UpdateJson(last_, bytes, true)));
  return frames;
}

}  // namespace velmar
