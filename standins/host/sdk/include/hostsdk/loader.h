// The host's loader protocol. The host opens the add-on module and calls, in
// order: GetExportedFuncAddrs, SetImportedFuncAddrs, then through the export
// record CheckEnvironment, RegisterInterface, Initialize and, at unload,
// FreeData.
//
// An add-on defines the four functions declared at the end of this file; the
// glue library (corv_addon_glue) provides the two exported C symbols and wraps
// the four so that they refuse to run before the function table arrived.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hostsdk/functable.h"
#include "hostsdk/types.h"

// Interface version and host generation an add-on of this SDK speaks.
inline constexpr std::uint32_t kAddonInterfaceVersion = 0x150001;
inline constexpr std::int32_t kAddonHostGeneration = 21000;

enum API_AddonType : std::int32_t {
  APIAddon_DontRegister = 0,
  APIAddon_Unknown = 1,
  APIAddon_Normal = 2,
  APIAddon_Preload = 3,
};

// Maximum UTF-16 units (terminator included) of the add-on's name and
// description in the environment record.
inline constexpr std::size_t kAddonInfoTextUnits = 256;

struct API_AddOnInfo {
  char16_t name[kAddonInfoTextUnits];
  char16_t description[kAddonInfoTextUnits];
};

// Filled by the add-on in CheckEnvironment.
struct API_EnvirParams {
  std::uint32_t hostVersion;  // the host generation, e.g. 21000
  std::uint32_t reserved;
  API_AddOnInfo addOnInfo;
};

using CheckEnvironmentProc = API_AddonType (*)(API_EnvirParams* envir);
using RegisterInterfaceProc = GSErrCode (*)();
using InitializeProc = GSErrCode (*)(API_HostContext* context);
using FreeDataProc = GSErrCode (*)();

// The 120-byte record GetExportedFuncAddrs fills: the interface version word,
// the four entry points in protocol order, then the host generation number
// right behind them; the rest is zero.
struct API_ExportRecord {
  std::uint32_t interfaceVersion;
  std::uint32_t padding0;
  CheckEnvironmentProc checkEnvironment;
  RegisterInterfaceProc registerInterface;
  InitializeProc initialize;
  FreeDataProc freeData;
  std::int32_t hostGeneration;
  std::uint8_t reserved[120 - 44];
};
static_assert(sizeof(API_ExportRecord) == 120);
static_assert(offsetof(API_ExportRecord, interfaceVersion) == 0);
static_assert(offsetof(API_ExportRecord, checkEnvironment) == 8);
static_assert(offsetof(API_ExportRecord, freeData) == 32);
static_assert(offsetof(API_ExportRecord, hostGeneration) == 40);

// The two C symbols the host looks up (dlsym, GetProcAddress). They are the
// module's only exports: in a DLL the one exported symbols (any dllexport
// ends the linker's export of everything), in an ELF module the ones of
// default visibility.
#ifdef _WIN32
#define ADDON_LOADER_EXPORT __declspec(dllexport)
#else
#define ADDON_LOADER_EXPORT __attribute__((visibility("default")))
#endif
inline constexpr const char* kGetExportedFuncAddrsSymbol = "GetExportedFuncAddrs";
inline constexpr const char* kSetImportedFuncAddrsSymbol = "SetImportedFuncAddrs";
using GetExportedFuncAddrsProc = GSErrCode (*)(API_ExportRecord* record);
using SetImportedFuncAddrsProc = GSErrCode (*)(const API_FunctionTable* table);

extern "C" {
GSErrCode GetExportedFuncAddrs(API_ExportRecord* record);
GSErrCode SetImportedFuncAddrs(const API_FunctionTable* table);
}

// Defined by every add-on. The glue calls them only after the function table
// arrived; Initialize runs with the host context already stored, FreeData's
// context is cleared after it returns.
API_AddonType CheckEnvironment(API_EnvirParams* envir);
GSErrCode RegisterInterface();
GSErrCode Initialize();
GSErrCode FreeData();
