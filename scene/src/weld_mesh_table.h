// The welding table shared by WeldMesh and the mesh builder's finishing:
// open addressing from a vertex's 32 attribute bytes (position, normal,
// texture coordinate) to the first vertex that has them. The 64-bit digest
// only picks the slot and screens candidates; two vertices are the same only
// when all 32 bytes are equal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace scene {

// One vertex as the block stores it: position (3), normal (3), texture
// coordinate (2).
struct WeldAttributes {
  float f[8];

  friend bool operator==(const WeldAttributes& a, const WeldAttributes& b) {
    std::uint64_t x[4], y[4];
    std::memcpy(x, a.f, 32);
    std::memcpy(y, b.f, 32);
    return ((x[0] ^ y[0]) | (x[1] ^ y[1]) | (x[2] ^ y[2]) | (x[3] ^ y[3])) == 0;
  }
};

inline std::uint64_t WeldMix(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdull;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ull;
  x ^= x >> 33;
  return x;
}

// A digest of all 32 bytes: equal attributes give equal digests. The four
// words are multiplied independently and mixed once: a chain of four mixes
// made the digest the longest wait of finishing a mesh. The final mix
// brings the products' high bits, where the words' high bits land, down to
// the low bits that pick a slot.
inline std::uint64_t WeldDigest(const WeldAttributes& a) {
  std::uint64_t w[4];
  std::memcpy(w, a.f, 32);
  const std::uint64_t h =
      (w[0] ^ 0x9E3779B97F4A7C15ull) * 0xff51afd7ed558ccdull ^ (w[1] ^ 0xc2b2ae3d27d4eb4full) * 0xc4ceb9fe1a85ec53ull ^
      (w[2] ^ 0x165667b19e3779f9ull) * 0x9E3779B97F4A7C15ull ^ (w[3] ^ 0x27d4eb2f165667c5ull) * 0xd6e8feb86659fd93ull;
  return WeldMix(h);
}

// Digest is WeldDigest (WeldTable); a test gives different vertices one
// digest, to see that their bytes decide. As a template argument it is a
// direct call the compiler inlines, as a call of WeldDigest was.
template <std::uint64_t (*Digest)(const WeldAttributes&) = WeldDigest>
class BasicWeldTable {
 public:
  static constexpr std::uint32_t kFree = 0xFFFFFFFFu;

  // Empties the table for up to n distinct vertices; the slots of earlier
  // uses are kept, so a thread welding many small meshes allocates once.
  void Reset(std::size_t n) {
    std::size_t slots = 16;
    while (slots < 2 * n) slots *= 2;
    if (slots_.size() < slots) {
      slots_.assign(slots, kFree);
      digests_.resize(slots);
    } else {
      std::memset(slots_.data(), 0xFF, slots * sizeof(std::uint32_t));
    }
    mask_ = slots - 1;
  }

  // The number of the first vertex in vertices equal to a; when there is
  // none, a is appended and its new number returned.
  std::uint32_t Add(const WeldAttributes& a, std::vector<WeldAttributes>& vertices) {
    const std::uint64_t digest = Digest(a);
    std::size_t slot = static_cast<std::size_t>(digest) & mask_;
    for (;;) {
      const std::uint32_t first = slots_[slot];
      if (first == kFree) {
        const auto number = static_cast<std::uint32_t>(vertices.size());
        slots_[slot] = number;
        digests_[slot] = digest;
        vertices.push_back(a);
        return number;
      }
      if (digests_[slot] == digest && vertices[first] == a) return first;
      slot = (slot + 1) & mask_;
    }
  }

  // Gives the memory back when a large mesh made the table large.
  void Release(std::size_t keepSlots) {
    if (slots_.size() > keepSlots) {
      slots_ = {};
      digests_ = {};
      mask_ = 0;
    }
  }

 private:
  std::vector<std::uint32_t> slots_;    // vertex number, or kFree
  std::vector<std::uint64_t> digests_;  // digest of the slot's vertex
  std::size_t mask_ = 0;
};

using WeldTable = BasicWeldTable<>;

}  // namespace scene
