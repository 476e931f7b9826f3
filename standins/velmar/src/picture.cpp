#include "picture.h"

#include <algorithm>
#include <cmath>

namespace velmar {

namespace {

constexpr float kFramingFov = 45;

float Length(const Vec3& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }
float Dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Vec3 Cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
Vec3 Normalised(const Vec3& v) {
  const float l = Length(v);
  return l > 0 ? Vec3{v[0] / l, v[1] / l, v[2] / l} : v;
}
bool Finite(const Vec3& v) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

}  // namespace

bool FollowedView(const Camera& camera, View* view, std::string* why) {
  if (!camera.followed) {
    *why = "the link does not send a camera";
    return false;
  }
  const auto& m = camera.cameraToWorld;
  const Vec3 right{m[0], m[1], m[2]}, up{m[4], m[5], m[6]}, forward{m[8], m[9], m[10]};
  const Vec3 eye{m[12], m[13], m[14]};
  if (!Finite(right) || !Finite(up) || !Finite(forward) || !Finite(eye)) {
    *why = "the camera's axes are not finite";
    return false;
  }
  const float lr = Length(right), lu = Length(up), lf = Length(forward);
  if (std::fabs(lr - 1) > 0.01f || std::fabs(lu - 1) > 0.01f || std::fabs(lf - 1) > 0.01f ||
      std::fabs(Dot(right, up)) > 0.01f || std::fabs(Dot(right, forward)) > 0.01f ||
      std::fabs(Dot(up, forward)) > 0.01f) {
    *why = "the camera's axes are not unit vectors at right angles";
    return false;
  }
  view->eye = eye;
  view->right = Normalised(right);
  view->up = Normalised(up);
  view->forward = Normalised(forward);
  view->verticalFov = camera.fieldOfView;
  view->nearPlane = 0.05f;
  if (!(camera.fieldOfView >= 1 && camera.fieldOfView <= 170)) {
    *why = "field of view " + std::to_string(camera.fieldOfView) + " replaced by 60 degrees";
    view->verticalFov = 60;
  }
  return true;
}

View FramingView(const Bounds& bounds, float aspect) {
  View view;
  view.verticalFov = kFramingFov;
  Vec3 centre{0, 0, 0};
  float radius = 1;
  if (!bounds.empty) {
    for (int i = 0; i < 3; ++i) centre[i] = 0.5f * (bounds.min[i] + bounds.max[i]);
    const Vec3 half{0.5f * (bounds.max[0] - bounds.min[0]), 0.5f * (bounds.max[1] - bounds.min[1]),
                    0.5f * (bounds.max[2] - bounds.min[2])};
    radius = std::max(Length(half), 1e-3f);
  }
  // From the front left, above: in the renderer's frame -z is the host's
  // south (host y becomes z).
  const Vec3 towardsEye = Normalised({-0.55f, 0.5f, -0.67f});
  const float halfAngle = 0.5f * kFramingFov * 3.14159265f / 180.0f;
  const float horizontal = std::atan(std::tan(halfAngle) * std::max(aspect, 1e-3f));
  const float distance = 1.08f * radius / std::sin(std::min(halfAngle, horizontal));
  view.eye = {centre[0] + towardsEye[0] * distance, centre[1] + towardsEye[1] * distance,
              centre[2] + towardsEye[2] * distance};
  view.forward = {-towardsEye[0], -towardsEye[1], -towardsEye[2]};
  // As the link builds its camera: right = up x forward, up' = forward x right.
  view.right = Normalised(Cross({0, 1, 0}, view.forward));
  view.up = Cross(view.forward, view.right);
  view.nearPlane = std::max(distance - 1.5f * radius, distance * 1e-3f);
  return view;
}

DrawStyle StyleOf(const Surface& surface) {
  DrawStyle style;
  std::uint32_t rgb = surface.colour & 0xFFFFFF;
  style.red = static_cast<float>((rgb >> 16) & 0xFF) / 255.0f;
  style.green = static_cast<float>((rgb >> 8) & 0xFF) / 255.0f;
  style.blue = static_cast<float>(rgb & 0xFF) / 255.0f;
  if (surface.texture && !surface.texture->image.empty()) style.texture = &surface.texture->image;
  // Only glass is see-through: other surfaces' opacity is not filled for
  // every material (the default material sends 0). Fully clear glass would
  // vanish from the picture, so it keeps a trace.
  if (surface.glass()) {
    const float opacity = std::isfinite(surface.opacity) ? surface.opacity : 0.5f;
    style.alpha = std::clamp(opacity, 0.2f, 0.8f);
  }
  return style;
}

Image DrawScene(const Scene& scene, const PictureOptions& options, PictureInfo* info) {
  PictureInfo local;
  PictureInfo& out = info != nullptr ? *info : local;
  out = PictureInfo();
  Rasterizer rasterizer(options.width, options.height, kBackground);
  View view;
  out.followed = options.followCamera && FollowedView(scene.camera, &view, &out.cameraNote);
  if (!out.followed) {
    if (!options.followCamera) out.cameraNote = "framing camera asked for";
    view = FramingView(scene.ComputeBounds(), static_cast<float>(std::max(options.width, 1)) /
                                                  static_cast<float>(std::max(options.height, 1)));
  }
  out.view = view;
  rasterizer.SetView(view);
  for (const Surface& surface : scene.surfaces)
    if (surface.geometry) rasterizer.Draw(*surface.geometry, StyleOf(surface));
  Image picture = rasterizer.Finish();
  out.trianglesDrawn = rasterizer.trianglesDrawn();
  return picture;
}

}  // namespace velmar
