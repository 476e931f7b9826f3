// The binary frames that carry velmar's scene to the live page over a
// WebSocket. Every frame is one binary message: a 32-byte header, then a
// payload whose arrays are little-endian and start at multiples of four
// bytes, so the page views them as typed arrays without copying.
//
//   kind      key        a         b          c              d       payload
//   update    0          json len  0          0              0       UTF-8 JSON: the update's summary and times
//   material  record id  ARGB      type (i32) opacity (f32)  name len name, UTF-8, zero-padded to 4
//   geometry  record id  V         I          0              0       positions 12V, normals 12V, uvs 8V, indices 4I
//                                                                     (flag kArraysFollow: none, see below)
//   texture   record id  width     height     0              0       RGBA, 4 * width * height (0 x 0: no texture)
//   remove    record id  0         0          0              0       -
//   camera    0          followed  0          0              0       13 floats: eye, right, up, forward, fov
//   ended     0          json len  0          0              0       UTF-8 JSON: link, reason
//   range     record id  array      first      count          0       count elements, 4 bytes each
//
// Geometry is in the link's own frame (y up, left-handed, fronts clockwise);
// the page turns it. A range frame writes elements [first, first + count)
// of one array of a surface (array: 0 positions, 1 normals, 2 texture
// coordinates, floats; 3 indices), when an update kept its counts; the
// update frame that follows shows them together. A surface larger than one
// frame may hold is sent as a geometry frame with the flag kArraysFollow
// and no payload, which gives its counts, then range frames that fill its
// arrays from velmar's own (no copy of them is made to send them); the page
// shows the surface once every element has come. Encoding never fails:
// what cannot be sent whole (an oversized texture) is sent reduced.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "scene.h"

namespace velmar {

static_assert(std::endian::native == std::endian::little,
              "frames carry the in-memory arrays as they are: little-endian only");

inline constexpr std::uint32_t kFrameMagic = 0x3146'4C56;  // the bytes "VLF1"

enum class FrameKind : std::uint16_t {
  kUpdate = 1,
  kMaterial = 2,
  kGeometry = 3,
  kTexture = 4,
  kRemove = 5,
  kCamera = 6,
  kEnded = 7,
  kRange = 8,
};

// A geometry frame's flag: its arrays follow in range frames.
inline constexpr std::uint16_t kArraysFollow = 1;

struct FrameHeader {
  std::uint32_t magic = kFrameMagic;
  std::uint16_t kind = 0;
  std::uint16_t flags = 0;  // kArraysFollow, on a geometry frame
  std::uint32_t key = 0;
  std::uint32_t update = 0;  // the update this frame belongs to
  std::uint32_t a = 0, b = 0, c = 0, d = 0;
};
static_assert(sizeof(FrameHeader) == 32);
static_assert(offsetof(FrameHeader, kind) == 4 && offsetof(FrameHeader, key) == 8 &&
              offsetof(FrameHeader, update) == 12 && offsetof(FrameHeader, a) == 16 && offsetof(FrameHeader, d) == 28);

// No message the page gets is larger: browsers refuse or fail on larger
// array buffers, and a bounded frame bounds what one write pins.
inline constexpr std::size_t kMaxFrameBytes = 255u << 20;
// Textures larger on a side are halved until they fit: every WebGL device
// takes this size.
inline constexpr int kMaxPageTextureSide = 4096;

// One encoded frame: owned bytes (the header and any payload built for it),
// then borrowed arrays that `keep` holds alive. Immutable once made, shared
// by every client that sends it.
class Frame {
 public:
  Frame() = default;
  std::size_t size() const { return size_; }
  const std::vector<std::uint8_t>& owned() const { return owned_; }
  const std::vector<std::span<const std::uint8_t>>& borrowed() const { return borrowed_; }
  // The whole frame as one array (tests, small frames).
  std::vector<std::uint8_t> Bytes() const;
  // The header, copied out.
  FrameHeader header() const;
  // Whether this frame borrows from that object (a geometry, a texture).
  bool Borrows(const void* object) const { return keep_ && keep_.get() == object; }

 private:
  friend class FrameBuilder;
  std::vector<std::uint8_t> owned_;
  std::vector<std::span<const std::uint8_t>> borrowed_;
  std::shared_ptr<const void> keep_;
  std::size_t size_ = 0;
};
using FramePtr = std::shared_ptr<const Frame>;

FramePtr UpdateFrame(std::uint32_t update, const std::string& json);
FramePtr EndedFrame(std::uint32_t update, const std::string& json);
FramePtr MaterialFrame(std::uint32_t update, const Surface& surface);
FramePtr RemoveFrame(std::uint32_t update, std::uint32_t key);
FramePtr CameraFrame(std::uint32_t update, const Camera& camera);
// The surface's texture (none: a 0 x 0 texture frame).
FramePtr TextureFrame(std::uint32_t update, std::uint32_t key, const std::shared_ptr<const Texture>& texture);
// The surface's geometry (none: an empty one) in one frame, or, past
// maxFrameBytes, a frame of its counts and range frames of its arrays, each
// at most maxFrameBytes. Every frame borrows the geometry's own arrays.
std::vector<FramePtr> GeometryFrames(std::uint32_t update, std::uint32_t key,
                                     const std::shared_ptr<const Geometry>& geometry,
                                     std::size_t maxFrameBytes = kMaxFrameBytes);

// The ranges a geometry's revision changed (Geometry::changed), taken from
// its arrays, each frame at most maxFrameBytes.
std::vector<FramePtr> RangeFrames(std::uint32_t update, std::uint32_t key, const Geometry& geometry,
                                  std::size_t maxFrameBytes = kMaxFrameBytes);

// Bytes of a geometry frame of v vertices and i indices.
constexpr std::size_t GeometryFrameBytes(std::size_t v, std::size_t i) { return sizeof(FrameHeader) + 32 * v + 4 * i; }

}  // namespace velmar
