#include "rasterizer.h"

#include <algorithm>
#include <cmath>

namespace velmar {

namespace {

constexpr float kPi = 3.14159265358979f;

float Dot(const Vec3& a, const float* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// Bilinear sample with repeat; colour channels 0..1 into rgba.
void Sample(const Image& image, float u, float v, float* rgba) {
  if (!std::isfinite(u) || !std::isfinite(v)) u = v = 0;
  const float x = u * static_cast<float>(image.width) - 0.5f;
  const float y = v * static_cast<float>(image.height) - 0.5f;
  const float fx = std::floor(x), fy = std::floor(y);
  const float tx = x - fx, ty = y - fy;
  auto wrap = [](double value, int size) {
    const double m = std::fmod(value, static_cast<double>(size));
    int i = static_cast<int>(m < 0 ? m + size : m);
    return i >= size ? 0 : i;
  };
  const int x0 = wrap(fx, image.width), x1 = wrap(static_cast<double>(fx) + 1, image.width);
  const int y0 = wrap(fy, image.height), y1 = wrap(static_cast<double>(fy) + 1, image.height);
  const std::uint8_t* p00 = image.At(x0, y0);
  const std::uint8_t* p10 = image.At(x1, y0);
  const std::uint8_t* p01 = image.At(x0, y1);
  const std::uint8_t* p11 = image.At(x1, y1);
  for (int c = 0; c < 4; ++c) {
    const float top = p00[c] + (p10[c] - p00[c]) * tx;
    const float bottom = p01[c] + (p11[c] - p01[c]) * tx;
    rgba[c] = (top + (bottom - top) * ty) / 255.0f;
  }
}

}  // namespace

Rasterizer::Vertex Rasterizer::Lerp(const Vertex& a, const Vertex& b, float t) {
  auto mix = [t](float p, float q) { return p + (q - p) * t; };
  return {mix(a.x, b.x),   mix(a.y, b.y),   mix(a.z, b.z), mix(a.nx, b.nx),
          mix(a.ny, b.ny), mix(a.nz, b.nz), mix(a.u, b.u), mix(a.v, b.v)};
}

Rasterizer::Rasterizer(int width, int height, std::uint32_t background)
    : width_(std::max(width, 1)), height_(std::max(height, 1)) {
  picture_.width = width_;
  picture_.height = height_;
  picture_.rgba.resize(static_cast<std::size_t>(width_) * height_ * 4);
  for (std::size_t i = 0; i < picture_.rgba.size(); i += 4) {
    picture_.rgba[i] = static_cast<std::uint8_t>(background >> 16);
    picture_.rgba[i + 1] = static_cast<std::uint8_t>(background >> 8);
    picture_.rgba[i + 2] = static_cast<std::uint8_t>(background);
    picture_.rgba[i + 3] = 255;
  }
  depth_.assign(static_cast<std::size_t>(width_) * height_, 0.0f);
}

void Rasterizer::SetView(const View& view) {
  view_ = view;
  float fov = view.verticalFov;
  if (!std::isfinite(fov) || fov < 1 || fov > 170) fov = 60;
  focal_ = 0.5f * static_cast<float>(height_) / std::tan(0.5f * fov * kPi / 180.0f);
}

Rasterizer::Vertex Rasterizer::ToCamera(const Geometry& g, std::uint32_t index) const {
  const float* p = &g.positions[static_cast<std::size_t>(index) * 3];
  const float* n = &g.normals[static_cast<std::size_t>(index) * 3];
  const float* t = &g.texCoords[static_cast<std::size_t>(index) * 2];
  const float d[3] = {p[0] - view_.eye[0], p[1] - view_.eye[1], p[2] - view_.eye[2]};
  return {Dot(view_.right, d),
          Dot(view_.up, d),
          Dot(view_.forward, d),
          Dot(view_.right, n),
          Dot(view_.up, n),
          Dot(view_.forward, n),
          t[0],
          t[1]};
}

void Rasterizer::Draw(const Geometry& g, const DrawStyle& style) {
  const std::size_t vertices = g.vertexCount();
  if (g.normals.size() < vertices * 3 || g.texCoords.size() < vertices * 2) return;
  const bool blend = style.alpha < 1;
  for (std::size_t i = 0; i + 2 < g.indices.size(); i += 3) {
    const std::uint32_t ia = g.indices[i], ib = g.indices[i + 1], ic = g.indices[i + 2];
    if (ia >= vertices || ib >= vertices || ic >= vertices) continue;
    const Vertex a = ToCamera(g, ia), b = ToCamera(g, ib), c = ToCamera(g, ic);
    if (blend) {
      translucent_.push_back({a, b, c, style, std::max({a.z, b.z, c.z})});
    } else {
      ClipAndDraw(a, b, c, style, false);
    }
  }
}

const Image& Rasterizer::Finish() {
  std::stable_sort(translucent_.begin(), translucent_.end(),
                   [](const Queued& x, const Queued& y) { return x.depth > y.depth; });
  for (const Queued& q : translucent_) ClipAndDraw(q.a, q.b, q.c, q.style, true);
  translucent_.clear();
  return picture_;
}

void Rasterizer::ClipAndDraw(const Vertex& a, const Vertex& b, const Vertex& c, const DrawStyle& style, bool blend) {
  // Clip against z = near (Sutherland-Hodgman with one plane): at most four
  // corners remain, drawn as a fan.
  const float near = view_.nearPlane;
  const Vertex in[3] = {a, b, c};
  Vertex out[4];
  int n = 0;
  for (int i = 0; i < 3; ++i) {
    const Vertex& p = in[i];
    const Vertex& q = in[(i + 1) % 3];
    if (!std::isfinite(p.z) || !std::isfinite(q.z)) return;
    const bool pIn = p.z >= near, qIn = q.z >= near;
    if (pIn) out[n++] = p;
    if (pIn != qIn) out[n++] = Lerp(p, q, (near - p.z) / (q.z - p.z));
  }
  for (int i = 1; i + 1 < n; ++i) Fill(out[0], out[i], out[i + 1], style, blend);
}

void Rasterizer::Fill(const Vertex& a, const Vertex& b, const Vertex& c, const DrawStyle& style, bool blend) {
  const double cx = 0.5 * width_, cy = 0.5 * height_;
  auto project = [&](const Vertex& v, double* sx, double* sy) {
    *sx = cx + static_cast<double>(v.x) * focal_ / v.z;
    *sy = cy - static_cast<double>(v.y) * focal_ / v.z;
  };
  double ax, ay, bx, by, qx, qy;
  project(a, &ax, &ay);
  project(b, &bx, &by);
  project(c, &qx, &qy);
  const double area = (bx - ax) * (qy - ay) - (by - ay) * (qx - ax);
  if (!std::isfinite(area) || std::fabs(area) < 1e-12) return;
  const int x0 = std::max(0, static_cast<int>(std::floor(std::min({ax, bx, qx}))));
  const int x1 = std::min(width_ - 1, static_cast<int>(std::ceil(std::max({ax, bx, qx}))));
  const int y0 = std::max(0, static_cast<int>(std::floor(std::min({ay, by, qy}))));
  const int y1 = std::min(height_ - 1, static_cast<int>(std::ceil(std::max({ay, by, qy}))));
  if (x0 > x1 || y0 > y1) return;
  ++drawn_;

  // Light comes from above, a little left of and behind the viewer, in
  // camera space; both faces of a triangle are lit.
  const float lx = -0.35f, ly = 0.75f, lz = -0.56f;
  const float ia = 1.0f / a.z, ib = 1.0f / b.z, ic = 1.0f / c.z;
  for (int y = y0; y <= y1; ++y) {
    const double py = y + 0.5;
    for (int x = x0; x <= x1; ++x) {
      const double px = x + 0.5;
      double wa = ((bx - px) * (qy - py) - (by - py) * (qx - px)) / area;
      double wb = ((qx - px) * (ay - py) - (qy - py) * (ax - px)) / area;
      double wc = 1.0 - wa - wb;
      if (wa < 0 || wb < 0 || wc < 0) continue;
      const float invZ = static_cast<float>(wa * ia + wb * ib + wc * ic);
      const std::size_t pixel = static_cast<std::size_t>(y) * width_ + x;
      if (!(invZ > depth_[pixel])) continue;
      // Perspective-correct weights.
      const float pa = static_cast<float>(wa) * ia / invZ, pb = static_cast<float>(wb) * ib / invZ;
      const float pc = 1.0f - pa - pb;
      float nx = pa * a.nx + pb * b.nx + pc * c.nx;
      float ny = pa * a.ny + pb * b.ny + pc * c.ny;
      float nz = pa * a.nz + pb * b.nz + pc * c.nz;
      const float length = std::sqrt(nx * nx + ny * ny + nz * nz);
      float shade = 0.75f;
      if (length > 1e-12f && std::isfinite(length)) {
        nx /= length, ny /= length, nz /= length;
        const float vx = -(pa * a.x + pb * b.x + pc * c.x);
        const float vy = -(pa * a.y + pb * b.y + pc * c.y);
        const float vz = -(1.0f / invZ);
        if (nx * vx + ny * vy + nz * vz < 0) nx = -nx, ny = -ny, nz = -nz;
        shade = 0.35f + 0.65f * std::max(0.0f, nx * lx + ny * ly + nz * lz);
      }
      float colour[4] = {style.red, style.green, style.blue, style.alpha};
      if (style.texture != nullptr) {
        float texel[4];
        Sample(*style.texture, pa * a.u + pb * b.u + pc * c.u, pa * a.v + pb * b.v + pc * c.v, texel);
        // A cut-out pattern's holes are holes.
        if (texel[3] < 0.5f) continue;
        for (int k = 0; k < 3; ++k) colour[k] *= texel[k];
      }
      std::uint8_t* out = picture_.rgba.data() + pixel * 4;
      for (int k = 0; k < 3; ++k) {
        const float lit = std::clamp(colour[k] * shade, 0.0f, 1.0f) * 255.0f;
        out[k] = blend ? static_cast<std::uint8_t>(std::lround(out[k] + (lit - out[k]) * style.alpha))
                       : static_cast<std::uint8_t>(std::lround(lit));
      }
      if (!blend) depth_[pixel] = invZ;
    }
  }
}

}  // namespace velmar
