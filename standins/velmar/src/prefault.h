// Bringing a block's pages into this process in one call rather than a
// fault each: a first read of a large block otherwise spends much of its
// time there. Only advice: where the system cannot, reads go on as before.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmar {

void Prefault(const std::uint8_t* data, std::size_t bytes);

}  // namespace velmar
