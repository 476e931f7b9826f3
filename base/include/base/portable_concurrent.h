// Concurrent containers for builds without oneTBB (MinGW has no package of
// it): the operations the system uses of oneTBB's concurrent_unordered_map,
// concurrent_unordered_set and concurrent_vector, with the same promise.
// Insertion may overlap lookup and traversal from other threads: an element
// is complete before it is published (release) and never moves afterwards.
// Erasure and clear (unsafe_erase, as oneTBB names it) only while no other
// thread uses the container.
//
// The tables keep their elements in one list that readers walk without a
// lock (newest first) and an index that a shared mutex guards; the vector
// keeps them in segments of doubling size that never move.
#pragma once

#include <array>
#include <atomic>
#include <compare>
#include <cstddef>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>

namespace base {
namespace portable {

// The list and index shared by the map and the set; Element is what an
// iterator shows, KeyOf takes its key.
template <typename Key, typename Element, typename KeyOf, typename Hash, typename Equal>
class PublishedTable {
  struct Node {
    template <typename... Args>
    explicit Node(Args&&... args) : element(std::forward<Args>(args)...) {}
    Element element;
    std::atomic<Node*> next{nullptr};
    Node* previous = nullptr;  // touched only by writers under the mutex
  };

 public:
  using key_type = Key;
  using value_type = Element;
  using size_type = std::size_t;

  template <typename Shown>
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Element;
    using difference_type = std::ptrdiff_t;
    using pointer = Shown*;
    using reference = Shown&;
    Iterator() = default;
    explicit Iterator(Node* node) : node_(node) {}
    // A mutable iterator converts to a constant one.
    template <typename Other, typename = std::enable_if_t<!std::is_same_v<Other, Shown>>>
    Iterator(const Iterator<Other>& other) : node_(other.node_) {}
    reference operator*() const { return node_->element; }
    pointer operator->() const { return &node_->element; }
    Iterator& operator++() {
      node_ = node_->next.load(std::memory_order_acquire);
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) { return a.node_ == b.node_; }

   private:
    template <typename>
    friend class Iterator;
    friend class PublishedTable;
    Node* node_ = nullptr;
  };
  using iterator = Iterator<Element>;
  using const_iterator = Iterator<const Element>;

  PublishedTable() = default;
  // Room in the index for that many elements, as oneTBB's bucket count.
  explicit PublishedTable(size_type buckets) { index_.reserve(buckets); }
  PublishedTable(const PublishedTable&) = delete;
  PublishedTable& operator=(const PublishedTable&) = delete;
  ~PublishedTable() { clear(); }

  iterator begin() { return iterator(head_.load(std::memory_order_acquire)); }
  iterator end() { return iterator(nullptr); }
  const_iterator begin() const { return const_iterator(head_.load(std::memory_order_acquire)); }
  const_iterator end() const { return const_iterator(nullptr); }
  const_iterator cbegin() const { return begin(); }
  const_iterator cend() const { return end(); }

  size_type size() const {
    std::shared_lock<std::shared_mutex> hold(mutex_);
    return index_.size();
  }
  bool empty() const { return size() == 0; }

  iterator find(const Key& key) { return iterator(Lookup(key)); }
  const_iterator find(const Key& key) const { return const_iterator(Lookup(key)); }
  size_type count(const Key& key) const { return Lookup(key) != nullptr ? 1 : 0; }
  bool contains(const Key& key) const { return Lookup(key) != nullptr; }

  // Builds the element first; an element whose key is present already is
  // dropped and the present one returned, as oneTBB does.
  template <typename... Args>
  std::pair<iterator, bool> emplace(Args&&... args) {
    auto node = std::make_unique<Node>(std::forward<Args>(args)...);
    std::unique_lock<std::shared_mutex> hold(mutex_);
    auto [at, added] = index_.try_emplace(KeyOf{}(node->element), node.get());
    if (!added) return {iterator(at->second), false};
    Publish(node.get());
    return {iterator(node.release()), true};
  }
  std::pair<iterator, bool> insert(const Element& element) { return emplace(element); }
  std::pair<iterator, bool> insert(Element&& element) { return emplace(std::move(element)); }

  // The index's load factor, as oneTBB's (the list does not care).
  void max_load_factor(float factor) {
    std::unique_lock<std::shared_mutex> hold(mutex_);
    index_.max_load_factor(factor);
  }

  // The element an iterator shows; the iterator is spent.
  void unsafe_erase(const_iterator at) {
    if (at.node_ != nullptr) unsafe_erase(KeyOf{}(at.node_->element));
  }
  size_type unsafe_erase(const Key& key) {
    std::unique_lock<std::shared_mutex> hold(mutex_);
    auto at = index_.find(key);
    if (at == index_.end()) return 0;
    Node* node = at->second;
    index_.erase(at);
    Node* next = node->next.load(std::memory_order_relaxed);
    if (node->previous != nullptr) node->previous->next.store(next, std::memory_order_release);
    else head_.store(next, std::memory_order_release);
    if (next != nullptr) next->previous = node->previous;
    delete node;
    return 1;
  }

  void clear() {
    std::unique_lock<std::shared_mutex> hold(mutex_);
    Node* node = head_.exchange(nullptr, std::memory_order_acq_rel);
    while (node != nullptr) {
      Node* next = node->next.load(std::memory_order_relaxed);
      delete node;
      node = next;
    }
    index_.clear();
  }

 protected:
  Node* Lookup(const Key& key) const {
    std::shared_lock<std::shared_mutex> hold(mutex_);
    auto at = index_.find(key);
    return at == index_.end() ? nullptr : at->second;
  }

  // The map's operator[]: finds, or adds an element built from the key.
  template <typename... Args>
  Element& FindOrAdd(const Key& key, Args&&... args) {
    if (Node* found = Lookup(key)) return found->element;
    return emplace(std::forward<Args>(args)...).first.operator*();
  }

 private:
  // Under the exclusive lock: the node is complete; readers see it whole
  // from the release store of the head on.
  void Publish(Node* node) {
    Node* head = head_.load(std::memory_order_relaxed);
    node->next.store(head, std::memory_order_relaxed);
    if (head != nullptr) head->previous = node;
    head_.store(node, std::memory_order_release);
  }

  std::atomic<Node*> head_{nullptr};
  mutable std::shared_mutex mutex_;
  std::unordered_map<Key, Node*, Hash, Equal> index_;
};

struct KeyOfSelf {
  template <typename K>
  const K& operator()(const K& key) const {
    return key;
  }
};
struct KeyOfFirst {
  template <typename Pair>
  const typename Pair::first_type& operator()(const Pair& pair) const {
    return pair.first;
  }
};

}  // namespace portable

template <typename Key>
using ConcurrentSet = portable::PublishedTable<Key, Key, portable::KeyOfSelf, std::hash<Key>, std::equal_to<Key>>;

template <typename Key, typename Value>
class ConcurrentMap : public portable::PublishedTable<Key, std::pair<const Key, Value>, portable::KeyOfFirst,
                                                      std::hash<Key>, std::equal_to<Key>> {
 public:
  using mapped_type = Value;
  Value& operator[](const Key& key) {
    return this->FindOrAdd(key, std::piecewise_construct, std::forward_as_tuple(key), std::forward_as_tuple()).second;
  }
};

// Elements in segments of 8, 8, 16, 32, ... that never move: push_back may
// overlap reading elements already pushed and traversal up to size().
template <typename T>
class ConcurrentVector {
  static constexpr std::size_t kFirstBits = 3;
  static constexpr std::size_t kSegments = 48;

 public:
  using value_type = T;
  using size_type = std::size_t;

  template <typename Owner, typename Shown>
  class Iterator {
   public:
    // Random access, as oneTBB's: elements never move, so std::sort and
    // the like may reorder them through it (while no other thread uses
    // the vector).
    using iterator_category = std::random_access_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using pointer = Shown*;
    using reference = Shown&;
    Iterator() = default;
    Iterator(Owner* owner, std::size_t index) : owner_(owner), index_(index) {}
    reference operator*() const { return (*owner_)[index_]; }
    pointer operator->() const { return &(*owner_)[index_]; }
    reference operator[](difference_type n) const { return (*owner_)[Moved(n)]; }
    Iterator& operator++() {
      ++index_;
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++index_;
      return before;
    }
    Iterator& operator--() {
      --index_;
      return *this;
    }
    Iterator operator--(int) {
      Iterator before = *this;
      --index_;
      return before;
    }
    Iterator& operator+=(difference_type n) {
      index_ = Moved(n);
      return *this;
    }
    Iterator& operator-=(difference_type n) { return *this += -n; }
    friend Iterator operator+(Iterator a, difference_type n) { return a += n; }
    friend Iterator operator+(difference_type n, Iterator a) { return a += n; }
    friend Iterator operator-(Iterator a, difference_type n) { return a -= n; }
    friend difference_type operator-(const Iterator& a, const Iterator& b) {
      return static_cast<difference_type>(a.index_) - static_cast<difference_type>(b.index_);
    }
    friend bool operator==(const Iterator& a, const Iterator& b) { return a.index_ == b.index_; }
    friend auto operator<=>(const Iterator& a, const Iterator& b) { return a.index_ <=> b.index_; }

   private:
    std::size_t Moved(difference_type n) const {
      return static_cast<std::size_t>(static_cast<difference_type>(index_) + n);
    }

   public:
   private:
    Owner* owner_ = nullptr;
    std::size_t index_ = 0;
  };
  using iterator = Iterator<ConcurrentVector, T>;
  using const_iterator = Iterator<const ConcurrentVector, const T>;

  ConcurrentVector() = default;
  ConcurrentVector(const ConcurrentVector&) = delete;
  ConcurrentVector& operator=(const ConcurrentVector&) = delete;
  ~ConcurrentVector() { clear(); }

  size_type size() const { return size_.load(std::memory_order_acquire); }
  bool empty() const { return size() == 0; }
  iterator begin() { return iterator(this, 0); }
  iterator end() { return iterator(this, size()); }
  const_iterator begin() const { return const_iterator(this, 0); }
  const_iterator end() const { return const_iterator(this, size()); }

  T& operator[](std::size_t index) { return *Slot(index); }
  const T& operator[](std::size_t index) const { return *Slot(index); }

  template <typename... Args>
  iterator emplace_back(Args&&... args) {
    std::lock_guard<std::mutex> hold(mutex_);
    const std::size_t index = size_.load(std::memory_order_relaxed);
    const std::size_t segment = SegmentOf(index);
    if (segments_[segment].load(std::memory_order_relaxed) == nullptr) {
      segments_[segment].store(static_cast<Storage*>(::operator new(sizeof(Storage) * SegmentSize(segment),
                                                                    std::align_val_t(alignof(Storage)))),
                               std::memory_order_release);
    }
    new (Slot(index)) T(std::forward<Args>(args)...);
    size_.store(index + 1, std::memory_order_release);
    return iterator(this, index);
  }
  iterator push_back(const T& value) { return emplace_back(value); }
  iterator push_back(T&& value) { return emplace_back(std::move(value)); }

  // Makes the segments for n elements now, so that pushing them later
  // allocates nothing (oneTBB's reserve).
  void reserve(size_type n) {
    if (n == 0) return;
    std::lock_guard<std::mutex> hold(mutex_);
    for (std::size_t segment = 0; segment <= SegmentOf(n - 1); ++segment) {
      if (segments_[segment].load(std::memory_order_relaxed) != nullptr) continue;
      segments_[segment].store(static_cast<Storage*>(::operator new(sizeof(Storage) * SegmentSize(segment),
                                                                    std::align_val_t(alignof(Storage)))),
                               std::memory_order_release);
    }
  }

  void clear() {
    std::lock_guard<std::mutex> hold(mutex_);
    const std::size_t count = size_.exchange(0, std::memory_order_acq_rel);
    for (std::size_t i = 0; i < count; ++i) Slot(i)->~T();
    for (auto& segment : segments_) {
      if (Storage* storage = segment.exchange(nullptr, std::memory_order_acq_rel))
        ::operator delete(storage, std::align_val_t(alignof(Storage)));
    }
  }

 private:
  struct Storage {
    alignas(T) unsigned char bytes[sizeof(T)];
  };
  // Segment 0 holds indices [0, 8), segment s >= 1 holds [8 << (s-1), 8 << s).
  static std::size_t SegmentOf(std::size_t index) {
    std::size_t segment = 0;
    for (std::size_t high = index >> kFirstBits; high != 0; high >>= 1) ++segment;
    return segment;
  }
  static std::size_t SegmentStart(std::size_t segment) {
    return segment == 0 ? 0 : (std::size_t{1} << (kFirstBits + segment - 1));
  }
  static std::size_t SegmentSize(std::size_t segment) {
    return segment == 0 ? (std::size_t{1} << kFirstBits) : SegmentStart(segment);
  }
  T* Slot(std::size_t index) const {
    const std::size_t segment = SegmentOf(index);
    Storage* storage = segments_[segment].load(std::memory_order_acquire);
    return reinterpret_cast<T*>(storage[index - SegmentStart(segment)].bytes);
  }

  std::array<std::atomic<Storage*>, kSegments> segments_{};
  std::atomic<std::size_t> size_{0};
  std::mutex mutex_;
};

}  // namespace base
