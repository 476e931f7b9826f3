#include "livelink/canonical_bytes.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace CorvantaAPI {

namespace {

constexpr char kMagic[4] = {'C', 'V', 'C', 'S'};
constexpr std::uint32_t kVersion = 1;

class Writer {
 public:
  void U8(std::uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void U32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) U8(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void U64(std::uint64_t v) {
    U32(static_cast<std::uint32_t>(v));
    U32(static_cast<std::uint32_t>(v >> 32));
  }
  void F32(float v) { U32(std::bit_cast<std::uint32_t>(v)); }
  void Text(const std::u16string& text) {
    U32(static_cast<std::uint32_t>(text.size()));
    for (const char16_t unit : text) {
      U8(static_cast<std::uint8_t>(unit));
      U8(static_cast<std::uint8_t>(unit >> 8));
    }
  }
  std::string& bytes() { return out_; }

 private:
  std::string out_;
};

class Reader {
 public:
  explicit Reader(const std::string& bytes) : bytes_(bytes) {}
  std::size_t left() const { return bytes_.size() - at_; }
  bool U8(std::uint8_t* v) {
    if (left() < 1) return false;
    *v = static_cast<std::uint8_t>(bytes_[at_++]);
    return true;
  }
  bool U32(std::uint32_t* v) {
    if (left() < 4) return false;
    *v = 0;
    for (int i = 0; i < 4; ++i) *v |= std::uint32_t{static_cast<std::uint8_t>(bytes_[at_++])} << (8 * i);
    return true;
  }
  bool U64(std::uint64_t* v) {
    std::uint32_t low = 0, high = 0;
    if (!U32(&low) || !U32(&high)) return false;
    *v = (std::uint64_t{high} << 32) | low;
    return true;
  }
  bool F32(float* v) {
    std::uint32_t bits = 0;
    if (!U32(&bits)) return false;
    *v = std::bit_cast<float>(bits);
    return true;
  }
  bool Text(std::u16string* text) {
    std::uint32_t units = 0;
    if (!U32(&units) || units > left() / 2) return false;
    text->resize(units);
    for (auto& unit : *text) {
      unit = static_cast<char16_t>(static_cast<std::uint8_t>(bytes_[at_]) |
                                   (static_cast<std::uint8_t>(bytes_[at_ + 1]) << 8));
      at_ += 2;
    }
    return true;
  }

 private:
  const std::string& bytes_;
  std::size_t at_ = 0;
};

// The bytes one triangle takes: the smallest a count of them can claim.
constexpr std::size_t kTriangleBytes = 3 * 8 * 4;
// A surface's bytes without its name, path and triangles.
constexpr std::size_t kSurfaceFixedBytes = 4 + 4 + 4 + 8 * 4 + 1 + 4 + 8 + 4;

}  // namespace

std::string EncodeCanonicalScene(const CanonicalScene& scene) {
  Writer w;
  for (const char c : kMagic) w.U8(static_cast<std::uint8_t>(c));
  w.U32(kVersion);
  w.U32(static_cast<std::uint32_t>(scene.surfaces.size()));
  for (const CanonicalSurface& s : scene.surfaces) {
    const CanonicalMaterial& m = s.material;
    w.Text(m.name);
    w.U32(static_cast<std::uint32_t>(m.surfaceType));
    w.U32(m.colour);
    for (const float f : m.floats) w.F32(f);
    w.U8(m.textured ? 1 : 0);
    w.Text(m.texturePath);
    w.U64(m.textureDigest);
    w.U32(static_cast<std::uint32_t>(s.triangles.size()));
    for (const CanonicalTriangle& t : s.triangles)
      for (const CanonicalCorner& c : t) {
        for (const float f : c.position) w.F32(f);
        for (const float f : c.normal) w.F32(f);
        for (const float f : c.texCoord) w.F32(f);
      }
  }
  return std::move(w.bytes());
}

bool DecodeCanonicalScene(const std::string& bytes, CanonicalScene* scene, std::string* error) {
  Reader r(bytes);
  if (bytes.size() < 12 || std::memcmp(bytes.data(), kMagic, 4) != 0) {
    *error = "not a canonical form (no CVCS header)";
    return false;
  }
  std::uint8_t skip = 0;
  for (int i = 0; i < 4; ++i) r.U8(&skip);
  std::uint32_t version = 0, count = 0;
  r.U32(&version);
  r.U32(&count);
  if (version != kVersion) {
    *error = "canonical form version " + std::to_string(version) + ", not " + std::to_string(kVersion);
    return false;
  }
  if (count > r.left() / kSurfaceFixedBytes) {
    *error = "claims " + std::to_string(count) + " surfaces, more than its bytes hold";
    return false;
  }
  CanonicalScene result;
  result.surfaces.resize(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    CanonicalSurface& s = result.surfaces[i];
    CanonicalMaterial& m = s.material;
    std::uint32_t type = 0, triangles = 0;
    std::uint8_t textured = 0;
    bool ok = r.Text(&m.name) && r.U32(&type) && r.U32(&m.colour);
    for (float& f : m.floats) ok = ok && r.F32(&f);
    ok = ok && r.U8(&textured) && textured <= 1 && r.Text(&m.texturePath) && r.U64(&m.textureDigest) &&
         r.U32(&triangles) && triangles <= r.left() / kTriangleBytes;
    if (!ok) {
      *error = "surface " + std::to_string(i) + " is cut short or damaged";
      return false;
    }
    m.surfaceType = static_cast<std::int32_t>(type);
    m.textured = textured != 0;
    s.triangles.resize(triangles);
    for (CanonicalTriangle& t : s.triangles)
      for (CanonicalCorner& c : t) {
        for (float& f : c.position) r.F32(&f);
        for (float& f : c.normal) r.F32(&f);
        for (float& f : c.texCoord) r.F32(&f);
      }
  }
  if (r.left() != 0) {
    *error = std::to_string(r.left()) + " bytes after the last surface";
    return false;
  }
  *scene = std::move(result);
  return true;
}

}  // namespace CorvantaAPI
