// SHA-256, for the digest form of shared memory names that are too long for
// the file system.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace platform::detail {

std::array<std::uint8_t, 32> Sha256(const void* data, std::size_t bytes);

}  // namespace platform::detail
