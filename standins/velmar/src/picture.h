// Drawing what velmar holds to a picture: from the followed camera when the
// link sends one, else from a camera of velmar's own that frames the whole
// model from above one corner.
#pragma once

#include <string>

#include "rasterizer.h"
#include "scene.h"

namespace velmar {

struct PictureOptions {
  int width = 960;
  int height = 720;
  bool followCamera = true;  // false: always the framing camera
};

struct PictureInfo {
  bool followed = false;   // drawn from the link's camera
  std::string cameraNote;  // why the followed camera was not used, if it was not
  View view;
  std::size_t trianglesDrawn = 0;
};

inline constexpr std::uint32_t kBackground = 0xDDE4EC;

// The link's camera as a view, or false (with *why) when it is not followed
// or its axes are not usable (not finite, zero, or not at right angles).
bool FollowedView(const Camera& camera, View* view, std::string* why);

// A view that shows all of bounds at that aspect (width / height).
View FramingView(const Bounds& bounds, float aspect);

// Surfaces' colours, textures and glass: how each one is drawn.
DrawStyle StyleOf(const Surface& surface);

Image DrawScene(const Scene& scene, const PictureOptions& options, PictureInfo* info);

}  // namespace velmar
