// The host context an add-on receives in Initialize, and the record of which
// add-on this thread is calling into.
#pragma once

#include <cstdint>

#include "host/host.h"

struct API_HostContext {
  static constexpr std::uint64_t kMagic = 0x43545854534f4821ull;  // guards against stale or foreign pointers
  std::uint64_t magic = kMagic;
  host::Host* host = nullptr;
  host::AddonId addon = 0;
};

namespace host::detail {

// The innermost call into an add-on on this thread, or null.
Host::AddonScope*& CurrentScope();

}  // namespace host::detail
