// oneTBB's concurrent containers, on the standard allocator under the thread
// sanitizer. Their default allocator takes memory from tbbmalloc, which the
// sanitizer does not see: memory one container freed and another took again
// on another thread looks to it like a race between the two. Elsewhere they
// keep oneTBB's allocators, as they are by default.
// Without oneTBB (the Windows build) they are base's portable ones, with the
// same operations and the same promise: insertion may overlap lookup and
// traversal; erasure only while no other thread uses the container.
#pragma once

#ifndef CORV_HAVE_TBB
#include "base/portable_concurrent.h"
#else

#include <oneapi/tbb/concurrent_unordered_map.h>
#include <oneapi/tbb/concurrent_unordered_set.h>
#include <oneapi/tbb/concurrent_vector.h>

#include <functional>
#include <memory>
#include <utility>

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CORV_CONTAINERS_ON_MALLOC 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define CORV_CONTAINERS_ON_MALLOC 1
#endif

namespace base {

#ifdef CORV_CONTAINERS_ON_MALLOC
template <typename T>
using ContainerAllocator = std::allocator<T>;
template <typename T>
using VectorAllocator = std::allocator<T>;
#else
template <typename T>
using ContainerAllocator = tbb::tbb_allocator<T>;
template <typename T>
using VectorAllocator = tbb::cache_aligned_allocator<T>;
#endif

template <typename Key>
using ConcurrentSet = tbb::concurrent_unordered_set<Key, std::hash<Key>, std::equal_to<Key>, ContainerAllocator<Key> >;

template <typename Key, typename Value>
using ConcurrentMap = tbb::concurrent_unordered_map<Key, Value, std::hash<Key>, std::equal_to<Key>,
                                                    ContainerAllocator<std::pair<const Key, Value> > >;

template <typename T>
using ConcurrentVector = tbb::concurrent_vector<T, VectorAllocator<T> >;

}  // namespace base

#endif  // CORV_HAVE_TBB
