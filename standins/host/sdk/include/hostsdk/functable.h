// The host's function table: 502 entries that the host hands to an add-on
// through SetImportedFuncAddrs. Every host call of the add-on interface goes
// through one entry; the add-on never calls an empty one.
//
// Allocation: entries 0-249 serve the runtime's calls (this file), entries
// 250-501 the user interface's calls (hostsdk/ui/). An entry's signature is
// fixed by its index: host and add-on both cast through the one typedef of
// hostsdk/hostcalls.h, so the two sides cannot disagree about it.
#pragma once

#include <cstddef>

#include "hostsdk/types.h"

inline constexpr std::size_t kHostFunctionCount = 502;
inline constexpr std::size_t kRuntimeFirstIndex = 0;
inline constexpr std::size_t kRuntimeLastIndex = 249;
inline constexpr std::size_t kUiFirstIndex = 250;
inline constexpr std::size_t kUiLastIndex = 501;

using HostFunction = void (*)();

struct API_FunctionTable {
  HostFunction entries[kHostFunctionCount];
};
static_assert(sizeof(API_FunctionTable) == kHostFunctionCount * sizeof(void*));

// Runtime entries. Index 0 stays empty on purpose: a zeroed table then has no
// valid entry at all.
enum HostFuncIndex : std::size_t {
  HostFunc_Unused = 0,
  HostFunc_DebugPrint = 1,  // DBPrintf text
  HostFunc_KeepInMemory = 2,
  HostFunc_RegisterFileType = 3,
  HostFunc_InstallFileTypeHandler3D = 4,
  HostFunc_CatchProjectEvent = 5,
  HostFunc_CatchViewEvent = 6,
  HostFunc_Environment = 7,
  HostFunc_Database = 8,
  HostFunc_Goodies = 9,
  HostFunc_Automate = 10,
  HostFunc_AttributeGetNum = 11,
  HostFunc_AttributeGet = 12,
  HostFunc_CreateSight = 13,
  HostFunc_SelectSight = 14,
  HostFunc_GetCurrentSight = 15,
  HostFunc_GenerateGuid = 16,
  HostFunc_RuntimeEnd = 17,  // first free runtime index
};
static_assert(HostFunc_RuntimeEnd <= kRuntimeLastIndex + 1);
