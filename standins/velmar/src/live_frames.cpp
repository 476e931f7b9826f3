#include "live_frames.h"

#include <algorithm>
#include <cstring>

namespace velmar {

class FrameBuilder {
 public:
  FrameBuilder(FrameKind kind, std::uint32_t key, std::uint32_t update) {
    header_.kind = static_cast<std::uint16_t>(kind);
    header_.key = key;
    header_.update = update;
  }
  FrameHeader& header() { return header_; }
  std::vector<std::uint8_t>& payload() { return payload_; }
  void Borrow(const void* data, std::size_t bytes) {
    if (bytes != 0) borrowed_.emplace_back(static_cast<const std::uint8_t*>(data), bytes);
  }
  void Keep(std::shared_ptr<const void> keep) { keep_ = std::move(keep); }
  FramePtr Finish() {
    auto frame = std::make_shared<Frame>();
    frame->owned_.resize(sizeof header_ + payload_.size());
    std::memcpy(frame->owned_.data(), &header_, sizeof header_);
    if (!payload_.empty()) std::memcpy(frame->owned_.data() + sizeof header_, payload_.data(), payload_.size());
    frame->borrowed_ = std::move(borrowed_);
    frame->keep_ = std::move(keep_);
    frame->size_ = frame->owned_.size();
    for (const auto& span : frame->borrowed_) frame->size_ += span.size();
    return frame;
  }

 private:
  FrameHeader header_;
  std::vector<std::uint8_t> payload_;
  std::vector<std::span<const std::uint8_t>> borrowed_;
  std::shared_ptr<const void> keep_;
};

namespace {

void AppendText(std::vector<std::uint8_t>& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
  out.resize((out.size() + 3) & ~std::size_t{3}, 0);
}

FramePtr JsonFrame(FrameKind kind, std::uint32_t update, const std::string& json) {
  FrameBuilder frame(kind, 0, update);
  frame.header().a = static_cast<std::uint32_t>(json.size());
  AppendText(frame.payload(), json);
  return frame.Finish();
}

// Halves an image (2 x 2 means, the last odd row or column folded into its
// neighbour) until both sides fit `side`.
Image Reduced(const Image& source, int side) {
  Image image = source;
  while (image.width > side || image.height > side) {
    Image half;
    half.width = std::max(1, image.width / 2);
    half.height = std::max(1, image.height / 2);
    half.rgba.resize(static_cast<std::size_t>(half.width) * half.height * 4);
    for (int y = 0; y < half.height; ++y)
      for (int x = 0; x < half.width; ++x) {
        const int x0 = std::min(2 * x, image.width - 1), x1 = std::min(2 * x + 1, image.width - 1);
        const int y0 = std::min(2 * y, image.height - 1), y1 = std::min(2 * y + 1, image.height - 1);
        for (int c = 0; c < 4; ++c)
          half.At(x, y)[c] = static_cast<std::uint8_t>(
              (image.At(x0, y0)[c] + image.At(x1, y0)[c] + image.At(x0, y1)[c] + image.At(x1, y1)[c] + 2) / 4);
      }
    image = std::move(half);
  }
  return image;
}

// Elements one range frame carries at most.
std::size_t RangeRoom(std::size_t maxFrameBytes) {
  return std::max<std::size_t>(1, (maxFrameBytes - std::min(maxFrameBytes, sizeof(FrameHeader))) / 4);
}

FrameBuilder RangeBuilder(std::uint32_t update, std::uint32_t key, GeometryArray array, std::size_t first,
                          std::size_t count) {
  FrameBuilder frame(FrameKind::kRange, key, update);
  frame.header().a = static_cast<std::uint32_t>(array);
  frame.header().b = static_cast<std::uint32_t>(first);
  frame.header().c = static_cast<std::uint32_t>(count);
  return frame;
}

}  // namespace

std::vector<std::uint8_t> Frame::Bytes() const {
  std::vector<std::uint8_t> bytes(owned_);
  for (const auto& span : borrowed_) bytes.insert(bytes.end(), span.begin(), span.end());
  return bytes;
}

FrameHeader Frame::header() const {
  FrameHeader header;
  std::memcpy(&header, owned_.data(), sizeof header);
  return header;
}

FramePtr UpdateFrame(std::uint32_t update, const std::string& json) {
  return JsonFrame(FrameKind::kUpdate, update, json);
}

FramePtr EndedFrame(std::uint32_t update, const std::string& json) {
  return JsonFrame(FrameKind::kEnded, update, json);
}

FramePtr MaterialFrame(std::uint32_t update, const Surface& surface) {
  FrameBuilder frame(FrameKind::kMaterial, surface.recordId, update);
  frame.header().a = surface.colour;
  frame.header().b = static_cast<std::uint32_t>(surface.surfaceType);
  frame.header().c = std::bit_cast<std::uint32_t>(surface.opacity);
  frame.header().d = static_cast<std::uint32_t>(surface.name.size());
  AppendText(frame.payload(), surface.name);
  return frame.Finish();
}

FramePtr RemoveFrame(std::uint32_t update, std::uint32_t key) {
  return FrameBuilder(FrameKind::kRemove, key, update).Finish();
}

FramePtr CameraFrame(std::uint32_t update, const Camera& camera) {
  FrameBuilder frame(FrameKind::kCamera, 0, update);
  frame.header().a = camera.followed ? 1 : 0;
  const auto& m = camera.cameraToWorld;
  const float values[13] = {
      m[12], m[13], m[14], m[0], m[1], m[2], m[4], m[5], m[6], m[8], m[9], m[10], camera.fieldOfView};
  frame.payload().resize(sizeof values);
  std::memcpy(frame.payload().data(), values, sizeof values);
  return frame.Finish();
}

FramePtr TextureFrame(std::uint32_t update, std::uint32_t key, const std::shared_ptr<const Texture>& texture) {
  FrameBuilder frame(FrameKind::kTexture, key, update);
  if (!texture || texture->image.empty() ||
      texture->image.rgba.size() != static_cast<std::size_t>(texture->image.width) * texture->image.height * 4)
    return frame.Finish();
  const Image& image = texture->image;
  if (image.width <= kMaxPageTextureSide && image.height <= kMaxPageTextureSide) {
    frame.header().a = static_cast<std::uint32_t>(image.width);
    frame.header().b = static_cast<std::uint32_t>(image.height);
    frame.Borrow(image.rgba.data(), image.rgba.size());
    frame.Keep(texture);
    return frame.Finish();
  }
  const Image reduced = Reduced(image, kMaxPageTextureSide);
  frame.header().a = static_cast<std::uint32_t>(reduced.width);
  frame.header().b = static_cast<std::uint32_t>(reduced.height);
  frame.payload() = reduced.rgba;
  return frame.Finish();
}

std::vector<FramePtr> GeometryFrames(std::uint32_t update, std::uint32_t key,
                                     const std::shared_ptr<const Geometry>& geometry, std::size_t maxFrameBytes) {
  FrameBuilder frame(FrameKind::kGeometry, key, update);
  // A geometry whose arrays disagree with its vertex count is not velmar's
  // decoder's work; it is sent as none rather than read past its arrays.
  if (!geometry || geometry->indices.empty() || geometry->normals.size() != geometry->positions.size() ||
      geometry->texCoords.size() != 2 * geometry->vertexCount())
    return {frame.Finish()};
  const Geometry& g = *geometry;
  const std::size_t v = g.vertexCount();
  if (GeometryFrameBytes(v, g.indices.size()) <= maxFrameBytes) {
    frame.header().a = static_cast<std::uint32_t>(v);
    frame.header().b = static_cast<std::uint32_t>(g.indices.size());
    frame.Borrow(g.positions.data(), 12 * v);
    frame.Borrow(g.normals.data(), 12 * v);
    frame.Borrow(g.texCoords.data(), 8 * v);
    frame.Borrow(g.indices.data(), 4 * g.indices.size());
    frame.Keep(geometry);
    return {frame.Finish()};
  }
  // Too large for one message: the counts first, then the arrays a range
  // at a time, borrowed as a whole frame borrows them.
  frame.header().a = static_cast<std::uint32_t>(v);
  frame.header().b = static_cast<std::uint32_t>(g.indices.size());
  frame.header().flags = kArraysFollow;
  std::vector<FramePtr> frames{frame.Finish()};
  const std::size_t room = RangeRoom(maxFrameBytes);
  for (const GeometryArray array :
       {GeometryArray::kPositions, GeometryArray::kNormals, GeometryArray::kTexCoords, GeometryArray::kIndices}) {
    const std::span<const std::uint8_t> bytes = ArrayBytes(g, array);
    for (std::size_t first = 0; first < bytes.size() / 4; first += room) {
      const std::size_t count = std::min(room, bytes.size() / 4 - first);
      FrameBuilder range = RangeBuilder(update, key, array, first, count);
      range.Borrow(bytes.data() + 4 * first, 4 * count);
      range.Keep(geometry);
      frames.push_back(range.Finish());
    }
  }
  return frames;
}

std::vector<FramePtr> RangeFrames(std::uint32_t update, std::uint32_t key, const Geometry& g,
                                  std::size_t maxFrameBytes) {
  const std::size_t room = RangeRoom(maxFrameBytes);
  std::vector<FramePtr> frames;
  for (const ArrayRange& r : g.changed) {
    const std::uint8_t* array = ArrayBytes(g, r.array).data();
    const std::size_t size = ArrayBytes(g, r.array).size() / 4;
    if (r.first > size || r.count > size - r.first) continue;  // not of these arrays: never read past them
    // Copied, not borrowed: the mirror writes its next revision into
    // these arrays once nobody holds them, and a frame should not keep
    // the whole geometry for a few bytes.
    for (std::size_t first = r.first; first < r.first + r.count; first += room) {
      const std::size_t count = std::min(room, r.first + r.count - first);
      FrameBuilder frame = RangeBuilder(update, key, r.array, first, count);
      frame.payload().assign(array + 4 * first, array + 4 * (first + count));
      frames.push_back(frame.Finish());
    }
  }
  return frames;
}

}  // namespace velmar
