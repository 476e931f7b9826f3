// The add-on side of the function table: the glue keeps the module's copy of
// the host's table and its host context, and calls through them. Other SDK
// headers (the user interface's calls too) build their ACAPI_ functions on
// CallHost.
#pragma once

#include <cstddef>
#include <utility>

#include "hostsdk/functable.h"
#include "hostsdk/types.h"

namespace ACAPI_Glue {

// True once SetImportedFuncAddrs copied the host's table.
bool IsImported();
// The context Initialize received; null before Initialize and after FreeData.
API_HostContext* Context();
// Forgets the context without FreeData: for a module unloaded while the
// host never called FreeData, whose later calls must not name a host that
// may be gone.
void ClearContext();
// The entry at index; null when the table is not there yet, the index is out
// of range or the entry is empty.
HostFunction Entry(std::size_t index);

// Calls entry `index` as a function of type Fn with the host context first.
// Without a table: APIERR_GENERAL and no call. Empty entry:
// APIERR_MISSINGFUNCTION and no call.
template <typename Fn, typename... Args>
GSErrCode CallHost(std::size_t index, Args&&... args) {
  if (!IsImported()) return APIERR_GENERAL;
  HostFunction entry = Entry(index);
  if (entry == nullptr) return APIERR_MISSINGFUNCTION;
  return reinterpret_cast<Fn>(entry)(Context(), std::forward<Args>(args)...);
}

}  // namespace ACAPI_Glue
