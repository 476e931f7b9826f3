// The camera record the renderer follows.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <utility>

#include "scene/camera_view.h"
#include "scene_test_entry.h"

namespace {

Modeler::Camera Perspective(ModelerAPI::Vertex eye, ModelerAPI::Vertex target, double roll, double angle,
                            ShortRect rect = {0, 0, 0, 0}) {
  return Modeler::Camera::Make(Modeler::kPerspectiveProjection, eye, target, roll, angle, rect);
}

// Worked out by hand: position, up, forward and the field of view; backward
// is -forward and the rows are right = up x forward, up, forward, position.
// Then, for any view, up is a unit vector orthogonal to the view.
TEST(CameraView, RecordsWorkedOutByHandAndAnOrthonormalFrameForAnyView) {
  using V = std::array<float, 3>;
  struct Case {
    const char* what;
    Modeler::Camera camera;
    float offset;
    V position, up, forward;
    float fieldOfView;
  };
  const Case cases[] = {
      // Level view along host +y: the identity rotation, lifted by the
      // offset; without a draw rectangle the view angle goes out unchanged.
      {"level", Perspective({0, 0, 1.6}, {0, 10, 1.6}, 0, 60), 0.01f, {0, 1.61f, 0}, {0, 1, 0}, {0, 0, 1}, 60},
      // Roll turns the up vector and the rows.
      {"rolled", Perspective({0, 0, 1.6}, {0, 10, 1.6}, 90, 60), 0.01f, {0, 1.61f, 0}, {-1, 0, 0}, {0, 0, 1}, 60},
      // Straight down: side (1, 0, 0), so up is host +y; nothing divides by 0.
      {"straight down", Perspective({0, 0, 10}, {0, 0, 0}, 0, 50), 0, {0, 10, 0}, {0, 0, 1}, {0, -1, 0}, 50},
      // A 600 x 800 rectangle narrows the angle by its aspect; one member zero: factor 1.
      {"aspect", Perspective({0, 0, 0}, {1, 0, 0}, 0, 60, {0, 0, 600, 800}), 0, {0, 0, 0}, {0, 1, 0}, {1, 0, 0}, 45},
      {"rectangle without height",
       Perspective({0, 0, 0}, {1, 0, 0}, 0, 60, {0, 0, 600, 0}),
       0,
       {0, 0, 0},
       {0, 1, 0},
       {1, 0, 0},
       60},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto rec = scene::BuildCameraRecord(c.camera, c.offset);
    const V& u = c.up;
    const V& f = c.forward;
    const V right = {u[1] * f[2] - u[2] * f[1], u[2] * f[0] - u[0] * f[2], u[0] * f[1] - u[1] * f[0]};
    EXPECT_EQ(rec.kind, 6u);
    // Position, backward, up, then the rows with their w of 0, 0, 0 and 1.
    const std::pair<const float*, V> vectors[] = {{rec.position, c.position},
                                                  {rec.backward, {-f[0], -f[1], -f[2]}},
                                                  {rec.up, u},
                                                  {rec.cameraToWorld[0], right},
                                                  {rec.cameraToWorld[1], u},
                                                  {rec.cameraToWorld[2], f},
                                                  {rec.cameraToWorld[3], c.position}};
    for (std::size_t k = 0; k < 7; ++k)
      for (std::size_t i = 0; i < (k < 3 ? 3u : 4u); ++i)
        EXPECT_NEAR(vectors[k].first[i],
                    i < 3    ? vectors[k].second[i]
                    : k == 6 ? 1.0f
                             : 0.0f,
                    1e-6f)
            << k << "[" << i << "]";
    EXPECT_FLOAT_EQ(rec.fieldOfView, c.fieldOfView);
    for (unsigned char b : rec.reserved) ASSERT_EQ(b, 0);
  }
  // Negative members are taken as they come (by position, as the host has them).
  EXPECT_FLOAT_EQ(scene::AspectFactor({5, 7, 0, 800}), 1.0f);
  EXPECT_FLOAT_EQ(scene::AspectFactor({0, 0, -400, 200}), -2.0f);
  // Eye on the target: forward falls back to host +y, so up is host +z.
  const ModelerAPI::Vector up = scene::CameraUpVector({1, 2, 3}, {1, 2, 3 + 5e-6}, 0);
  EXPECT_LT(std::abs(up.x) + std::abs(up.y) + std::abs(up.z - 1), 1e-12);

  for (const ModelerAPI::Vertex e : {ModelerAPI::Vertex{3, -4, 2}, {-10, 7, 30}, {0.5, 0.5, -3}})
    for (const ModelerAPI::Vertex t : {ModelerAPI::Vertex{0, 0, 0}, {2, 2, 1}, {8, -1, 4}})
      for (double roll : {0.0, 33.0, -120.0}) {
        const auto rec = scene::BuildCameraRecord(Perspective(e, t, roll, 60), 0);
        const float *f = rec.cameraToWorld[2], *u = rec.cameraToWorld[1];
        EXPECT_NEAR(u[0] * u[0] + u[1] * u[1] + u[2] * u[2], 1.0f, 1e-5f);
        EXPECT_NEAR(f[0] * u[0] + f[1] * u[1] + f[2] * u[2], 0.0f, 1e-5f);
        EXPECT_NEAR(f[0] + rec.backward[0], 0.0f, 1e-5f);
      }
}

}  // namespace
