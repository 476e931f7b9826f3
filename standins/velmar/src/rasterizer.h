// A small software rasterizer for velmar's pictures: perspective projection
// from a camera given by its axes, clipping at the near plane, a depth
// buffer, diffuse shading from the vertex normals (lit from both sides),
// colours or bilinear textures with repeat, and translucent triangles
// blended back to front after the opaque ones.
#pragma once

#include <cstdint>
#include <vector>

#include "image.h"
#include "scene.h"

namespace velmar {

// A camera in the renderer's frame: eye, unit axes (right, up, forward) and
// the vertical field of view in degrees.
struct View {
  Vec3 eye{};
  Vec3 right{1, 0, 0};
  Vec3 up{0, 1, 0};
  Vec3 forward{0, 0, 1};
  float verticalFov = 60;
  float nearPlane = 0.05f;
};

struct DrawStyle {
  float red = 0.67f, green = 0.67f, blue = 0.67f;  // 0..1, multiplied with the texture
  const Image* texture = nullptr;                  // not owned; must outlive Finish()
  float alpha = 1;                                 // below 1: blended after the opaque triangles
};

class Rasterizer {
 public:
  // background is 0xRRGGBB. A size below 1 on either side is raised to 1.
  Rasterizer(int width, int height, std::uint32_t background);

  void SetView(const View& view);

  // Draws the geometry's triangles: at once when opaque, queued when
  // translucent. Triangles whose indices point past the vertices are
  // skipped (callers check, this does not trust them either).
  void Draw(const Geometry& geometry, const DrawStyle& style);

  // Draws the queued translucent triangles, farthest first, with the depth
  // test but without writing depth, and returns the picture.
  const Image& Finish();

  std::size_t trianglesDrawn() const { return drawn_; }

 private:
  struct Vertex {
    float x, y, z;     // camera space: right, up, forward
    float nx, ny, nz;  // camera-space normal
    float u, v;
  };
  static Vertex Lerp(const Vertex& a, const Vertex& b, float t);
  struct Queued {
    Vertex a, b, c;
    DrawStyle style;
    float depth;
  };

  Vertex ToCamera(const Geometry& g, std::uint32_t index) const;
  void ClipAndDraw(const Vertex& a, const Vertex& b, const Vertex& c, const DrawStyle& style, bool blend);
  void Fill(const Vertex& a, const Vertex& b, const Vertex& c, const DrawStyle& style, bool blend);

  int width_;
  int height_;
  Image picture_;
  std::vector<float> depth_;  // 1 / z per pixel, 0 = nothing yet
  View view_;
  float focal_ = 1;
  std::vector<Queued> translucent_;
  std::size_t drawn_ = 0;
};

}  // namespace velmar
