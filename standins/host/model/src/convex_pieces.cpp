#include "hostmodel/convex_pieces.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace hostmodel {

namespace {

std::uint32_t Count(std::size_t n) {
  // A polygon's corners are addressed with 32-bit indices everywhere else.
  if (n > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("too many convex piece corners");
  return static_cast<std::uint32_t>(n);
}

}  // namespace

ConvexPieces::ConvexPieces(std::initializer_list<std::initializer_list<std::int32_t>> pieces)
    : ConvexPieces(std::vector<std::vector<std::int32_t>>(pieces.begin(), pieces.end())) {}

ConvexPieces::ConvexPieces(const std::vector<std::vector<std::int32_t>>& pieces) {
  std::size_t corners = 0;
  for (const auto& piece : pieces) corners += piece.size();
  std::int32_t* out = Reshape(Count(pieces.size()), Count(corners));
  std::uint32_t at = 0, k = 0;
  for (const auto& piece : pieces) {
    std::copy(piece.begin(), piece.end(), out + at);
    at += Count(piece.size());
    if (!Local()) heap_[k++] = static_cast<std::int32_t>(at);
  }
}

ConvexPieces::ConvexPieces(const ConvexPieces& other) { *this = other; }

ConvexPieces::ConvexPieces(ConvexPieces&& other) noexcept : pieces_(other.pieces_), corners_(other.corners_) {
  TakeStorage(other);
}

ConvexPieces& ConvexPieces::operator=(const ConvexPieces& other) {
  if (this == &other) return *this;
  Release();
  std::int32_t* out = Reshape(other.pieces_, other.corners_);
  std::copy_n(other.Corners(), other.corners_, out);
  if (!Local()) std::copy_n(other.heap_, pieces_, heap_);
  return *this;
}

ConvexPieces& ConvexPieces::operator=(ConvexPieces&& other) noexcept {
  if (this == &other) return *this;
  Release();
  pieces_ = other.pieces_;
  corners_ = other.corners_;
  TakeStorage(other);
  return *this;
}

ConvexPieces::~ConvexPieces() { Release(); }

void ConvexPieces::TakeStorage(ConvexPieces& other) {
  if (Local()) std::copy_n(other.local_, kLocal, local_);
  else heap_ = other.heap_;
  other.pieces_ = other.corners_ = 0;
}

void ConvexPieces::Release() {
  if (!Local()) delete[] heap_;
  pieces_ = corners_ = 0;
}

std::int32_t* ConvexPieces::Reshape(std::uint32_t pieces, std::uint32_t corners) {
  // Allocated before the shape changes: when it throws, the object stays
  // as it was.
  const bool local = pieces <= 1 && corners <= kLocal;
  std::int32_t* block = local ? nullptr : new std::int32_t[std::size_t{pieces} + corners];
  pieces_ = pieces;
  corners_ = corners;
  if (local) return local_;
  heap_ = block;
  return heap_ + pieces;
}

bool ConvexPieces::Assign(std::span<const std::int32_t> corners, std::span<const std::uint32_t> ends) {
  Release();
  std::uint32_t last = 0;
  for (std::uint32_t e : ends) {
    if (e < last || e > corners.size()) return false;
    last = e;
  }
  if (ends.empty() ? !corners.empty() : last != corners.size()) return false;
  std::int32_t* out = Reshape(Count(ends.size()), Count(corners.size()));
  std::copy(corners.begin(), corners.end(), out);
  if (!Local())
    for (std::size_t k = 0; k < ends.size(); ++k) heap_[k] = static_cast<std::int32_t>(ends[k]);
  return true;
}

void ConvexPieces::push_back(Piece piece) {
  ConvexPieces grown;
  std::int32_t* out = grown.Reshape(Count(std::size_t{pieces_} + 1), Count(std::size_t{corners_} + piece.size()));
  std::copy_n(Corners(), corners_, out);
  std::copy(piece.begin(), piece.end(), out + corners_);
  if (!grown.Local()) {
    for (std::uint32_t k = 0; k < pieces_; ++k)
      grown.heap_[k] = static_cast<std::int32_t>(Local() ? corners_ : static_cast<std::uint32_t>(heap_[k]));
    grown.heap_[pieces_] = static_cast<std::int32_t>(grown.corners_);
  }
  *this = std::move(grown);
}

void ConvexPieces::clear() { Release(); }

bool operator==(const ConvexPieces& a, const ConvexPieces& b) {
  if (a.pieces_ != b.pieces_ || a.corners_ != b.corners_) return false;
  if (!std::equal(a.Corners(), a.Corners() + a.corners_, b.Corners())) return false;
  return a.Local() || std::equal(a.heap_, a.heap_ + a.pieces_, b.heap_);
}

}  // namespace hostmodel
