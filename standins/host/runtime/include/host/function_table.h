// The host's side of the function table: each part of the host (the runtime,
// the user interface) puts its functions into its own index range before an
// add-on is loaded; the table is then handed to every add-on as it is.
#pragma once

#include <cstddef>

#include "hostsdk/functable.h"

namespace host {

class FunctionTable {
 public:
  FunctionTable() = default;

  // Stores fn (of the entry's HostCall/UI typedef) at index. Refuses (false)
  // an index outside the table or an entry already taken, so two parts can
  // never silently claim the same entry.
  template <typename Fn>
  bool Set(std::size_t index, Fn fn) {
    static_assert(sizeof(Fn) == sizeof(HostFunction), "entries are plain function pointers");
    if (index >= kHostFunctionCount || table_.entries[index] != nullptr || fn == nullptr) return false;
    table_.entries[index] = reinterpret_cast<HostFunction>(fn);
    return true;
  }
  // Empties an entry (tests use it to take a call away from an add-on).
  void Clear(std::size_t index) {
    if (index < kHostFunctionCount) table_.entries[index] = nullptr;
  }
  bool IsSet(std::size_t index) const { return index < kHostFunctionCount && table_.entries[index] != nullptr; }
  const API_FunctionTable& Raw() const { return table_; }

 private:
  API_FunctionTable table_{};
};

}  // namespace host
