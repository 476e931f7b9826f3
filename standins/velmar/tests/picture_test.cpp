// Pictures of known scenes: a red box in front of a textured wall with a
// glass pane over the wall, seen from a followed camera; the framing camera
// of velmar's own; geometry that passes through the eye.
#include <gtest/gtest.h>

#include <cstdlib>

#include "picture.h"
#include "scene_builders.h"

using namespace velmar;
using namespace velmar_test;

namespace {

constexpr int kW = 200, kH = 150;

// Eye at (0, 1.5, -3) looking along +z, vertical angle 60 degrees.
Camera FollowedCamera() {
  Camera c;
  c.followed = true;
  c.kind = 6;
  c.cameraToWorld = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 1.5f, -3, 1};
  c.fieldOfView = 60;
  c.position = {0, 1.5f, -3};
  c.backward = {0, 0, -1};
  c.up = {0, 1, 0};
  return c;
}

// Listed glass first and box before wall: the order must not matter.
Scene KnownScene() {
  Scene scene;
  Geometry glass, box, wall;
  AddWall(glass, 0.5f, 1.5f, 1.5f, 2.5f, 4);
  const float a[3] = {-0.5f, 0, 2}, b[3] = {0.5f, 1, 3};
  AddBox(box, a, b);
  AddWall(wall, -2, 0, 2, 3, 5);
  Surface pane = MakeSurface("Glass", 0xFF2850FF, glass);
  pane.surfaceType = kSurfaceGlass;
  pane.opacity = 0.5f;
  scene.surfaces.push_back(pane);
  scene.surfaces.push_back(MakeSurface("Red", 0xFFFF0000, box));
  Surface textured = MakeSurface("Brick", 0x00FFFFFF, wall);
  textured.texture = Checker(64, 8, 0x00C800, 0xC8C800);
  scene.surfaces.push_back(textured);
  scene.camera = FollowedCamera();
  return scene;
}

struct Rgb {
  int r, g, b;
};
Rgb At(const Image& image, int x, int y) {
  const std::uint8_t* p = image.At(x, y);
  return {p[0], p[1], p[2]};
}
bool IsBackground(const Image& image, int x, int y) {
  const Rgb c = At(image, x, y);
  return c.r == ((kBackground >> 16) & 0xFF) && c.g == ((kBackground >> 8) & 0xFF) && c.b == (kBackground & 0xFF);
}
double Coverage(const Image& image) {
  int covered = 0;
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x) covered += IsBackground(image, x, y) ? 0 : 1;
  return static_cast<double>(covered) / (image.width * image.height);
}

TEST(Picture, BoxInFrontOfATexturedWallUnderGlassFromTheFollowedCamera) {
  PictureInfo info;
  const Image image = DrawScene(KnownScene(), {kW, kH, true}, &info);
  ASSERT_TRUE(info.followed) << info.cameraNote;
  ASSERT_EQ(image.width, kW);
  ASSERT_EQ(image.height, kH);

  // The wall spans x 67..132, y 51..99 on the screen (depth 8); the box's
  // front face x 87..113, y 88..114 (depth 5); the pane x 109..128, y 56..75.
  const double expected = (65.0 * 48.8 + 26.0 * 14.6) / (kW * kH);  // the box reaches below the wall
  EXPECT_NEAR(Coverage(image), expected, 0.01);

  // The box wins the depth test although it is listed before the wall:
  // red, shaded (its face turns to the light by 0.56).
  const Rgb box = At(image, 100, 100);
  EXPECT_NEAR(box.r, 182, 6);
  EXPECT_LT(box.g, 10);
  EXPECT_LT(box.b, 10);

  // The wall shows its texture: green and yellow cells, no blue, and both
  // colours occur along a row.
  bool green = false, yellow = false;
  for (int x = 70; x < 105; ++x) {
    const Rgb c = At(image, x, 60);
    EXPECT_LT(c.b, 10) << x;
    EXPECT_NEAR(c.g, 143, 8) << x;
    green = green || c.r < 20;
    yellow = yellow || c.r > 125;
  }
  EXPECT_TRUE(green && yellow);

  // Through the glass: half the pane's blue over the wall behind it.
  const Rgb seen = At(image, 118, 66);
  EXPECT_GT(seen.b, 70);
  EXPECT_LT(seen.b, 110);
  EXPECT_GT(seen.g, 80);
  EXPECT_LT(seen.g, 115);

  // Outside everything: the background.
  EXPECT_TRUE(IsBackground(image, 5, 5));
  EXPECT_TRUE(IsBackground(image, 150, 75));
}

TEST(Picture, WithoutAFollowedCameraTheWholeModelIsFramed) {
  Scene scene = KnownScene();
  scene.camera.followed = false;
  PictureInfo info;
  const Image image = DrawScene(scene, {kW, kH, true}, &info);
  EXPECT_FALSE(info.followed);
  EXPECT_GT(Coverage(image), 0.08);
  // Framed: nothing touches the picture's edges.
  for (int x = 0; x < kW; ++x) {
    EXPECT_TRUE(IsBackground(image, x, 0) && IsBackground(image, x, kH - 1)) << x;
  }
  for (int y = 0; y < kH; ++y) {
    EXPECT_TRUE(IsBackground(image, 0, y) && IsBackground(image, kW - 1, y)) << y;
  }
  // A camera whose axes are damaged falls back to framing too, and says why.
  scene.camera = FollowedCamera();
  scene.camera.cameraToWorld[0] = std::nanf("");
  const Image fallback = DrawScene(scene, {kW, kH, true}, &info);
  EXPECT_FALSE(info.followed);
  EXPECT_FALSE(info.cameraNote.empty());
  EXPECT_EQ(fallback.rgba, image.rgba);
}

TEST(Picture, GeometryThroughTheEyeIsClippedAtTheNearPlane) {
  // A floor from far behind the eye to far in front: its lower half of the
  // picture is covered up to the horizon, nothing above it.
  Scene scene;
  Geometry floor;
  const float q[4][3] = {{-50, 0, -50}, {-50, 0, 50}, {50, 0, 50}, {50, 0, -50}};
  AddQuad(floor, q);
  scene.surfaces.push_back(MakeSurface("Floor", 0xFF808080, floor));
  scene.camera = FollowedCamera();
  const Image image = DrawScene(scene, {kW, kH, true}, nullptr);
  EXPECT_FALSE(IsBackground(image, 100, kH - 1));
  EXPECT_FALSE(IsBackground(image, 0, kH - 1));
  EXPECT_FALSE(IsBackground(image, 100, 80));
  EXPECT_TRUE(IsBackground(image, 100, 70));
  EXPECT_TRUE(IsBackground(image, 100, 0));
}

}  // namespace
