// The camera record the renderer follows, for cameras whose record can be
// worked out by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "scene/camera_view.h"
#include "scene_test_entry.h"

namespace {

Modeler::Camera Perspective(ModelerAPI::Vertex eye, ModelerAPI::Vertex target, double roll, double angle,
                            ShortRect rect = {0, 0, 0, 0}) {
  return Modeler::Camera::Make(Modeler::kPerspectiveProjection, eye, target, roll, angle, rect);
}

void ExpectVec(const float* v, float x, float y, float z) {
  EXPECT_NEAR(v[0], x, 1e-6f);
  EXPECT_NEAR(v[1], y, 1e-6f);
  EXPECT_NEAR(v[2], z, 1e-6f);
}

TEST(CameraView, HorizontalViewGivesIdentityRotationLiftedByTheOffset) {
  const auto rec = scene::BuildCameraRecord(Perspective({0, 0, 1.6}, {0, 10, 1.6}, 0, 60), 0.01f);
  EXPECT_EQ(rec.kind, 6u);
  ExpectVec(rec.position, 0, 1.61f, 0);
  ExpectVec(rec.backward, 0, 0, -1);
  ExpectVec(rec.up, 0, 1, 0);
  const float rows[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 1.61f, 0, 1}};
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(rec.cameraToWorld[r][c], rows[r][c], 1e-6f) << r << "," << c;
  // No draw rectangle: the view angle goes out unchanged.
  EXPECT_FLOAT_EQ(rec.fieldOfView, 60.0f);
  // The reserved bytes are always zero.
  for (unsigned char b : rec.reserved) ASSERT_EQ(b, 0);
}

TEST(CameraView, RollTurnsTheUpVectorAndTheRows) {
  const auto rec = scene::BuildCameraRecord(Perspective({0, 0, 1.6}, {0, 10, 1.6}, 90, 60), 0.01f);
  ExpectVec(rec.up, -1, 0, 0);
  ExpectVec(rec.cameraToWorld[1], -1, 0, 0);  // the camera's up axis
  ExpectVec(rec.cameraToWorld[0], 0, 1, 0);   // right = up x forward
  ExpectVec(rec.cameraToWorld[2], 0, 0, 1);   // still looking along host +y
}

TEST(CameraView, AspectFactorScalesTheViewAngle) {
  auto rec = scene::BuildCameraRecord(Perspective({0, 0, 0}, {1, 0, 0}, 0, 60, {0, 0, 600, 800}), 0);
  EXPECT_FLOAT_EQ(rec.fieldOfView, 45.0f);
  // One member zero: factor 1.
  rec = scene::BuildCameraRecord(Perspective({0, 0, 0}, {1, 0, 0}, 0, 60, {0, 0, 600, 0}), 0);
  EXPECT_FLOAT_EQ(rec.fieldOfView, 60.0f);
  EXPECT_FLOAT_EQ(scene::AspectFactor({5, 7, 0, 800}), 1.0f);
  // Negative members are taken as they come (by position, as the host has them).
  EXPECT_FLOAT_EQ(scene::AspectFactor({0, 0, -400, 200}), -2.0f);
}

TEST(CameraView, DegenerateDirectionsFallBack) {
  // Eye on the target: forward falls back to host +y, so up is host +z.
  ModelerAPI::Vector u = scene::CameraUpVector({1, 2, 3}, {1, 2, 3 + 5e-6}, 0);
  EXPECT_NEAR(u.x, 0, 1e-12);
  EXPECT_NEAR(u.y, 0, 1e-12);
  EXPECT_NEAR(u.z, 1, 1e-12);
  // Straight down: side (1, 0, 0), so up = s x f = (0, 1, 0) in the host frame.
  u = scene::CameraUpVector({0, 0, 10}, {0, 0, 0}, 0);
  EXPECT_NEAR(u.x, 0, 1e-12);
  EXPECT_NEAR(u.y, 1, 1e-12);
  EXPECT_NEAR(u.z, 0, 1e-12);
  // The record stays finite for a straight-down view: no division by zero.
  const auto rec = scene::BuildCameraRecord(Perspective({0, 0, 10}, {0, 0, 0}, 0, 50), 0);
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) EXPECT_TRUE(std::isfinite(rec.cameraToWorld[r][c]));
  ExpectVec(rec.backward, 0, 1, 0);
}

TEST(CameraView, UpIsAUnitVectorOrthogonalToTheViewForAnyView) {
  const ModelerAPI::Vertex eyes[] = {{3, -4, 2}, {-10, 7, 30}, {0.5, 0.5, -3}};
  const ModelerAPI::Vertex targets[] = {{0, 0, 0}, {2, 2, 1}, {8, -1, 4}};
  for (const auto& e : eyes)
    for (const auto& t : targets)
      for (double roll : {0.0, 33.0, -120.0}) {
        const auto rec = scene::BuildCameraRecord(Perspective(e, t, roll, 60), 0);
        const float* f = rec.cameraToWorld[2];
        const float* up = rec.cameraToWorld[1];
        EXPECT_NEAR(up[0] * up[0] + up[1] * up[1] + up[2] * up[2], 1.0f, 1e-5f);
        EXPECT_NEAR(f[0] * up[0] + f[1] * up[1] + f[2] * up[2], 0.0f, 1e-5f);
        EXPECT_NEAR(f[0] + rec.backward[0], 0.0f, 1e-5f);
      }
}

}  // namespace
