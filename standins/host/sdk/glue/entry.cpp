// The module's side of the loader protocol: the two exported C symbols, the
// module's copy of the host's function table and its host context, and the
// wrappers that keep the add-on's entry points from running before the table
// arrived.
#include <atomic>
#include <cstring>

#include "hostsdk/glue.h"
#include "hostsdk/loader.h"

namespace {

API_FunctionTable g_table{};
std::atomic<bool> g_imported{false};
std::atomic<API_HostContext*> g_context{nullptr};

// Without the table CheckEnvironment does nothing and reports 0 (do not
// register); the other entry points refuse with APIERR_GENERAL.
API_AddonType GlueCheckEnvironment(API_EnvirParams* envir) {
  if (!g_imported.load()) return APIAddon_DontRegister;
  return CheckEnvironment(envir);
}

GSErrCode GlueRegisterInterface() {
  if (!g_imported.load()) return APIERR_GENERAL;
  return RegisterInterface();
}

GSErrCode GlueInitialize(API_HostContext* context) {
  if (!g_imported.load()) return APIERR_GENERAL;
  g_context.store(context);
  return Initialize();
}

GSErrCode GlueFreeData() {
  if (!g_imported.load()) return APIERR_GENERAL;
  const GSErrCode result = FreeData();
  g_context.store(nullptr);
  return result;
}

}  // namespace

namespace ACAPI_Glue {

bool IsImported() { return g_imported.load(); }

API_HostContext* Context() { return g_context.load(); }

void ClearContext() { g_context.store(nullptr); }

HostFunction Entry(std::size_t index) {
  if (!g_imported.load() || index >= kHostFunctionCount) return nullptr;
  return g_table.entries[index];
}

}  // namespace ACAPI_Glue

// The module's two loader symbols, and the only ones it exports. Elsewhere
// the glue is compiled with hidden visibility; a Windows DLL in which one
// symbol is marked dllexport exports the marked ones alone (the linker
// exports everything only when nothing is marked).
#if defined(_WIN32)
#define CORV_GLUE_EXPORT __declspec(dllexport)
#else
#define CORV_GLUE_EXPORT __attribute__((visibility("default")))
#endif

extern "C" CORV_GLUE_EXPORT GSErrCode GetExportedFuncAddrs(API_ExportRecord* record) {
  if (record == nullptr) return APIERR_BADPARS;
  std::memset(record, 0, sizeof(*record));
  record->interfaceVersion = kAddonInterfaceVersion;
  record->checkEnvironment = &GlueCheckEnvironment;
  record->registerInterface = &GlueRegisterInterface;
  record->initialize = &GlueInitialize;
  record->freeData = &GlueFreeData;
  record->hostGeneration = kAddonHostGeneration;
  return NoError;
}

// A null table is refused and leaves the module without one.
extern "C" CORV_GLUE_EXPORT GSErrCode SetImportedFuncAddrs(const API_FunctionTable* table) {
  if (table == nullptr) return APIERR_BADPARS;
  std::memcpy(&g_table, table, sizeof(g_table));
  g_imported.store(true);
  return NoError;
}
