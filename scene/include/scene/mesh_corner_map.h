// A compact hash map from a 64-bit corner key to a small value, for the
// per-corner texture coordinates and normals of raw meshes. There are
// millions of corners in a large model, so node-based maps (one allocation
// and two pointers per entry) would dominate the memory of a built scene:
// this one keeps keys and values in two flat arrays with open addressing
// and linear probing.
//
// The key with all bits set is the empty-slot marker and cannot be stored
// (a corner key never has it: its low half is a vertex index below 2^31).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace scene {

template <typename V>
class CornerMap {
 public:
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};

  CornerMap() = default;

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Makes room for n entries without rehashing.
  void reserve(std::size_t n) {
    if (SlotsFor(n) > keys_.size()) Rehash(SlotsFor(n));
  }

  // Stores value under key unless the key is present already; false when it
  // was present (the stored value stays) or the key is the empty marker.
  bool insert(std::uint64_t key, const V& value) {
    if (key == kEmpty) return false;
    if (SlotsFor(size_ + 1) > keys_.size()) Rehash(SlotsFor(size_ + 1));
    std::size_t slot = Slot(key);
    while (keys_[slot] != kEmpty) {
      if (keys_[slot] == key) return false;
      slot = (slot + 1) & mask_;
    }
    keys_[slot] = key;
    values_[slot] = value;
    ++size_;
    return true;
  }

  // The value stored under key, or null.
  const V* find(std::uint64_t key) const {
    if (size_ == 0 || key == kEmpty) return nullptr;
    std::size_t slot = Slot(key);
    while (keys_[slot] != kEmpty) {
      if (keys_[slot] == key) return &values_[slot];
      slot = (slot + 1) & mask_;
    }
    return nullptr;
  }

  void clear() {
    keys_ = {};
    values_ = {};
    size_ = 0;
    mask_ = 0;
    shift_ = 64;
  }

  // Shrinks the table to the smallest one that holds the entries.
  void shrink_to_fit() {
    if (size_ == 0) {
      clear();
      return;
    }
    if (SlotsFor(size_) < keys_.size()) Rehash(SlotsFor(size_));
  }

  // Heap bytes held by the table.
  std::size_t MemoryBytes() const {
    return keys_.capacity() * sizeof(std::uint64_t) + values_.capacity() * sizeof(V);
  }

 private:
  // Power-of-two slot count keeping the load at or below 3/4.
  static std::size_t SlotsFor(std::size_t n) {
    if (n == 0) return 0;
    std::size_t slots = 8;
    while (slots * 3 < n * 4) slots *= 2;
    return slots;
  }

  // Fibonacci hashing: corner keys differ mostly in their low bits and in
  // the piece number, and the multiplication spreads both over the top bits.
  std::size_t Slot(std::uint64_t key) const {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
  }

  void Rehash(std::size_t slots) {
    std::vector<std::uint64_t> oldKeys(slots, kEmpty);
    std::vector<V> oldValues(slots);
    oldKeys.swap(keys_);
    oldValues.swap(values_);
    mask_ = slots - 1;
    shift_ = 64;
    for (std::size_t s = slots; s > 1; s >>= 1) --shift_;
    for (std::size_t i = 0; i < oldKeys.size(); ++i) {
      if (oldKeys[i] == kEmpty) continue;
      std::size_t slot = Slot(oldKeys[i]);
      while (keys_[slot] != kEmpty) slot = (slot + 1) & mask_;
      keys_[slot] = oldKeys[i];
      values_[slot] = oldValues[i];
    }
  }

  std::vector<std::uint64_t> keys_;
  std::vector<V> values_;
  std::size_t size_ = 0;
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
};

}  // namespace scene
