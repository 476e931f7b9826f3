// The runtime's ACAPI_ calls: each goes through its table entry.
#include "hostsdk/acapi.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "hostsdk/glue.h"
#include "hostsdk/hostcalls.h"

using ACAPI_Glue::CallHost;

GSErrCode ACAPI_KeepInMemory(bool keepIn) { return CallHost<HostCall::KeepInMemory>(HostFunc_KeepInMemory, keepIn); }

GSErrCode ACAPI_Register_FileType(const API_FTypeReg* reg) {
  if (reg == nullptr) return APIERR_BADPARS;
  if (reg->extname[0] == '\0') return APIERR_BADEXTENSION;
  return CallHost<HostCall::RegisterFileType>(HostFunc_RegisterFileType, reg);
}

GSErrCode ACAPI_Install_FileTypeHandler3D(GSType cmdRef, APIIO3DCommandProc handler) {
  return CallHost<HostCall::InstallFileTypeHandler3D>(HostFunc_InstallFileTypeHandler3D, cmdRef, handler);
}

GSErrCode ACAPI_Notify_CatchProjectEvent(GSFlags eventMask, APIProjectEventHandlerProc handler) {
  return CallHost<HostCall::CatchProjectEvent>(HostFunc_CatchProjectEvent, eventMask, handler);
}

GSErrCode ACAPI_Notify_CatchViewEvent(GSFlags eventMask, API_NavigatorMapID mapId, APIViewEventHandlerProc handler) {
  return CallHost<HostCall::CatchViewEvent>(HostFunc_CatchViewEvent, eventMask, mapId, handler);
}

GSErrCode ACAPI_Environment(GSType selector, void* p1, void* p2) {
  return CallHost<HostCall::Dispatcher>(HostFunc_Environment, selector, p1, p2);
}

GSErrCode ACAPI_Database(GSType selector, void* p1, void* p2) {
  return CallHost<HostCall::Dispatcher>(HostFunc_Database, selector, p1, p2);
}

GSErrCode ACAPI_Goodies(GSType selector, void* p1, void* p2) {
  return CallHost<HostCall::Dispatcher>(HostFunc_Goodies, selector, p1, p2);
}

GSErrCode ACAPI_Automate(GSType selector, void* p1, void* p2) {
  return CallHost<HostCall::Dispatcher>(HostFunc_Automate, selector, p1, p2);
}

GSErrCode ACAPI_Attribute_GetNum(API_AttrTypeID typeID, API_AttributeIndex* count) {
  if (count == nullptr) return APIERR_BADPARS;
  return CallHost<HostCall::AttributeGetNum>(HostFunc_AttributeGetNum, typeID, count);
}

GSErrCode ACAPI_Attribute_Get(API_Attribute* attribute) {
  if (attribute == nullptr) return APIERR_BADPARS;
  return CallHost<HostCall::AttributeGet>(HostFunc_AttributeGet, attribute);
}

GSErrCode ACAPI_3D_CreateSight(Modeler::SightPtr* sight) {
  if (sight == nullptr) return APIERR_BADPARS;
  return CallHost<HostCall::CreateSight>(HostFunc_CreateSight, sight);
}

GSErrCode ACAPI_3D_SelectSight(const Modeler::SightPtr& sight, Modeler::SightPtr* previous) {
  return CallHost<HostCall::SelectSight>(HostFunc_SelectSight, &sight, previous);
}

GSErrCode ACAPI_3D_GetCurrentSight(Modeler::SightPtr* sight) {
  if (sight == nullptr) return APIERR_BADPARS;
  return CallHost<HostCall::GetCurrentSight>(HostFunc_GetCurrentSight, sight);
}

GSErrCode ACAPI_GenerateGuid(API_Guid* guid) {
  if (guid == nullptr) return APIERR_BADPARS;
  return CallHost<HostCall::GenerateGuid>(HostFunc_GenerateGuid, guid);
}

// Output without a table, or with a host that has no debug entry, is lost:
// there is nowhere else a module may write.
void DBPrintf(const char* format, ...) {
  if (format == nullptr) return;
  char small[512];
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(small, sizeof(small), format, args);
  va_end(args);
  if (needed < 0) {
    va_end(copy);
    return;
  }
  if (static_cast<std::size_t>(needed) < sizeof(small)) {
    va_end(copy);
    CallHost<HostCall::DebugPrint>(HostFunc_DebugPrint, static_cast<const char*>(small));
    return;
  }
  std::string text(static_cast<std::size_t>(needed) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, copy);
  va_end(copy);
  text.resize(static_cast<std::size_t>(needed));
  CallHost<HostCall::DebugPrint>(HostFunc_DebugPrint, text.c_str());
}
