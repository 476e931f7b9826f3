#include "scene/camera_view.h"

#include <cmath>
#include <cstring>

namespace scene {
namespace {

struct Vec3f {
  float x, y, z;
};

Vec3f Normalise(Vec3f v) {
  const float len = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
  // A zero vector stays zero; an infinite one becomes NaN in every component.
  if (len == 0.0f) return v;
  return {v.x / len, v.y / len, v.z / len};
}

Vec3f Cross(Vec3f a, Vec3f b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }

Vec3f Sub(Vec3f a, Vec3f b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }

// Host (x, y, z) to the renderer's (x, z, y).
Vec3f ToRenderer(double x, double y, double z) {
  return {static_cast<float>(x), static_cast<float>(z), static_cast<float>(y)};
}

void Put(float* dst, Vec3f v) {
  dst[0] = v.x;
  dst[1] = v.y;
  dst[2] = v.z;
}

}  // namespace

ModelerAPI::Vector CameraUpVector(const ModelerAPI::Vertex& eye, const ModelerAPI::Vertex& target, double rollDegrees) {
  const double dx = target.x - eye.x, dy = target.y - eye.y, dz = target.z - eye.z;
  const double len = std::sqrt(dx * dx + dy * dy + dz * dz);
  double fx = 0, fy = 1, fz = 0;
  if (len > 1e-5) {
    fx = dx / len;
    fy = dy / len;
    fz = dz / len;
  }
  const double h = std::sqrt(fx * fx + fy * fy);
  double sx = 1, sy = 0;
  if (h > 1e-5) {
    sx = fy / h;
    sy = -fx / h;
  }
  const double theta = rollDegrees * 3.141592653589793 / 180.0;
  const double wx = sy * fz, wy = -sx * fz, wz = sx * fy - sy * fx;
  const double c = std::cos(theta), s = std::sin(theta);
  return {c * wx - s * sx, c * wy - s * sy, c * wz};
}

float AspectFactor(const ShortRect& rect) {
  if (rect.right != 0 && rect.bottom != 0) return static_cast<float>(rect.right) / static_cast<float>(rect.bottom);
  return 1.0f;
}

CorvantaAPI::CameraViewData BuildCameraRecord(const Modeler::Camera& camera, float verticalOffset) {
  CorvantaAPI::CameraViewData rec;
  std::memset(&rec, 0, sizeof rec);
  ModelerAPI::Vertex eye = camera.GetViewPoint();
  ModelerAPI::Vertex target = camera.GetTargetPoint();
  eye.z += verticalOffset;
  target.z += verticalOffset;
  const ModelerAPI::Vector u = CameraUpVector(eye, target, camera.GetRollAngle());

  const Vec3f E = ToRenderer(eye.x, eye.y, eye.z);
  const Vec3f T = ToRenderer(target.x, target.y, target.z);
  const Vec3f U = Normalise(ToRenderer(u.x, u.y, u.z));
  const Vec3f f = Normalise(Sub(T, E));
  const Vec3f r = Normalise(Cross(U, f));
  const Vec3f up = Cross(f, r);

  Put(rec.cameraToWorld[0], r);
  Put(rec.cameraToWorld[1], up);
  Put(rec.cameraToWorld[2], f);
  Put(rec.cameraToWorld[3], E);
  rec.cameraToWorld[3][3] = 1.0f;

  rec.kind = CorvantaAPI::kCameraPerspective;
  const Modeler::PerspectiveData* persp = camera.GetPerspectiveData();
  const double viewAngle = persp != nullptr ? persp->viewAngle : 0.0;
  rec.fieldOfView = static_cast<float>(viewAngle * AspectFactor(camera.GetDrawRect()));
  Put(rec.position, E);
  Put(rec.backward, Normalise(Sub(E, T)));
  Put(rec.up, U);
  return rec;
}

}  // namespace scene
