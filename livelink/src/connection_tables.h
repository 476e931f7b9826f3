// The connection's concurrent tables, kept out of the public header so that
// users of the transport do not compile against oneTBB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/concurrent_containers.h"
#include "livelink/live_connection.h"

namespace CorvantaAPI {

struct LiveConnection::Tables {
  struct BlockEntry {
    HANDLE handle = nullptr;
    void* view = nullptr;
    std::size_t bytes = 0;
  };
  using BlockSet = base::ConcurrentSet<std::uint32_t>;

  // block id -> mapping; entries are complete before insertion and never
  // modified afterwards.
  base::ConcurrentMap<std::uint32_t, BlockEntry> blocks;
  // owner record id -> its blocks.
  base::ConcurrentMap<std::uint32_t, BlockSet> owners;
};

}  // namespace CorvantaAPI
