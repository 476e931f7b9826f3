// Gives a test process its own registry roots and runtime directory (set
// before the first platform call; child processes inherit them) and removes
// them when the process ends, so tests never meet each other's windows,
// connections or lock files.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace livelink_test {

class Isolation {
 public:
  Isolation();
  ~Isolation();
  const std::string& root() const { return root_; }

 private:
  std::string root_;
};

// The process-wide isolation, created on first use.
const Isolation& Isolated();

// True in a Windows build running under Wine, whose Win32 differs from
// Windows in places the tests name (docs/windows.md); false elsewhere.
bool UnderWine();

// The length a view of a mapping of bytes reports: bytes on Linux (the
// object's own size), whole pages on Windows, where a section's exact size
// cannot be asked of a view (docs/windows.md).
std::size_t ViewBytes(std::size_t bytes);

// A name unique to this process and call, for mappings and connections.
std::u16string UniqueName(const char* stem);

}  // namespace livelink_test
