// The convex pieces of one polygon: lists of 0-based vertex indices into
// its body, each piece counter-clockwise seen from the side the polygon's
// normal points to.
//
// Almost every polygon of a real model is one triangle or one quad. A list
// of lists cost two allocations for each, which at ten million polygons was
// most of the time spent building bodies and 640 MB of memory. So one piece
// of up to four corners is kept inside the object itself; anything larger
// goes to one heap block that holds where each piece ends, then every
// corner.
//
// Pieces read back as spans: valid until the object is changed, moved from
// or destroyed. Indices are not checked here; the model's validation does
// that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace hostmodel {

class ConvexPieces {
 public:
  using Piece = std::span<const std::int32_t>;

  class Iterator {
   public:
    using value_type = Piece;
    using difference_type = std::ptrdiff_t;
    Iterator() = default;
    Piece operator*() const { return (*owner_)[index_]; }
    Iterator& operator++() {
      ++index_;
      return *this;
    }
    Iterator operator++(int) {
      Iterator was = *this;
      ++index_;
      return was;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) { return a.index_ == b.index_; }

   private:
    friend class ConvexPieces;
    Iterator(const ConvexPieces* owner, std::size_t index) : owner_(owner), index_(index) {}
    const ConvexPieces* owner_ = nullptr;
    std::size_t index_ = 0;
  };

  ConvexPieces() = default;
  ConvexPieces(std::initializer_list<std::initializer_list<std::int32_t>> pieces);
  explicit ConvexPieces(const std::vector<std::vector<std::int32_t>>& pieces);
  ConvexPieces(const ConvexPieces& other);
  ConvexPieces(ConvexPieces&& other) noexcept;
  ConvexPieces& operator=(const ConvexPieces& other);
  ConvexPieces& operator=(ConvexPieces&& other) noexcept;
  ~ConvexPieces();

  // Pieces `corners[ends[k-1] .. ends[k])`, k in order (ends[-1] = 0).
  // Ends that are not ascending or run past the corners leave the object
  // empty and return false.
  bool Assign(std::span<const std::int32_t> corners, std::span<const std::uint32_t> ends);

  // Appends one piece. Copies every corner held so far: meant for the few
  // pieces of one polygon, not for building thousands one at a time (use
  // Assign).
  void push_back(Piece piece);
  void push_back(std::initializer_list<std::int32_t> piece) { push_back(Piece(piece.begin(), piece.size())); }
  void clear();

  std::size_t size() const { return pieces_; }
  bool empty() const { return pieces_ == 0; }
  // Every corner of every piece.
  std::size_t corners() const { return corners_; }
  // Piece k, k < size() (not checked, as for a vector). Inline: every
  // reader of a model goes through it for each polygon.
  Piece operator[](std::size_t k) const {
    if (Local()) return Piece(local_, corners_);
    const auto begin = k == 0 ? 0u : static_cast<std::uint32_t>(heap_[k - 1]);
    const auto end = static_cast<std::uint32_t>(heap_[k]);
    return Piece(heap_ + pieces_ + begin, end - begin);
  }
  Piece front() const { return (*this)[0]; }
  Iterator begin() const { return Iterator(this, 0); }
  Iterator end() const { return Iterator(this, pieces_); }

  friend bool operator==(const ConvexPieces& a, const ConvexPieces& b);

 private:
  bool Local() const { return pieces_ <= 1 && corners_ <= kLocal; }
  const std::int32_t* Corners() const { return Local() ? local_ : heap_ + pieces_; }
  // Takes the layout for `pieces` pieces of `corners` corners; the old
  // heap block, if any, is the caller's to free.
  std::int32_t* Reshape(std::uint32_t pieces, std::uint32_t corners);
  void Release();
  // Takes other's storage for the shape already copied from it, leaving
  // other empty.
  void TakeStorage(ConvexPieces& other);

  static constexpr std::uint32_t kLocal = 4;
  std::uint32_t pieces_ = 0;
  std::uint32_t corners_ = 0;
  union {
    std::int32_t local_[kLocal] = {};
    // Heap layout: the end of each piece (as uint32 bits), then the corners.
    std::int32_t* heap_;
  };
};

}  // namespace hostmodel
