// The user interface's calls of the host's add-on interface, as an add-on
// makes them: each goes through its entry of the function table (indices
// 250 and up). See hostsdk/glue.h for what happens without a table or with
// an empty entry.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hostsdk/functable.h"
#include "hostsdk/glue.h"
#include "hostsdk/types.h"
#include "hostsdk/ui/menus.h"

enum UiFuncIndex : std::size_t {
  UiFunc_RegisterMenu = kUiFirstIndex,  // 250
  UiFunc_InstallMenuHandler = kUiFirstIndex + 1,
  UiFunc_Interface = kUiFirstIndex + 2,
  UiFunc_RegisterModelessWindow = kUiFirstIndex + 3,
  UiFunc_UnregisterModelessWindow = kUiFirstIndex + 4,
  UiFunc_End = kUiFirstIndex + 5,  // first free UI index
};
static_assert(UiFunc_End <= kUiLastIndex + 1);

// Signatures of the UI entries; host and add-on cast through these.
namespace UiCall {
using RegisterMenu = GSErrCode (*)(API_HostContext*, short menuResID, short promptResID, std::int32_t menuCode,
                                   std::int32_t menuFlags);
using InstallMenuHandler = GSErrCode (*)(API_HostContext*, short menuResID, APIMenuCommandProc* handler);
using Interface = GSErrCode (*)(API_HostContext*, GSType selector, void* p1, void* p2);
using RegisterModelessWindow = GSErrCode (*)(API_HostContext*, std::int32_t referenceID,
                                             APIPaletteControlCallBackProc* callback, GSFlags controlFlags,
                                             const char16_t* guidText);
using UnregisterModelessWindow = GSErrCode (*)(API_HostContext*, std::int32_t referenceID);
}  // namespace UiCall

// Registers menu resource menuResID (title and items from the add-on's menu
// resource, prompts from prompt resource promptResID) at menuCode.
inline GSErrCode ACAPI_Register_Menu(short menuResID, short promptResID, std::int32_t menuCode,
                                     std::int32_t menuFlags) {
  return ACAPI_Glue::CallHost<UiCall::RegisterMenu>(UiFunc_RegisterMenu, menuResID, promptResID, menuCode, menuFlags);
}
inline GSErrCode ACAPI_Install_MenuHandler(short menuResID, APIMenuCommandProc* handler) {
  return ACAPI_Glue::CallHost<UiCall::InstallMenuHandler>(UiFunc_InstallMenuHandler, menuResID, handler);
}
// 'GMIF', 'SMIF', 'SMIT' (hostsdk/ui/menus.h).
inline GSErrCode ACAPI_Interface(GSType selector, void* p1 = nullptr, void* p2 = nullptr) {
  return ACAPI_Glue::CallHost<UiCall::Interface>(UiFunc_Interface, selector, p1, p2);
}
inline GSErrCode ACAPI_RegisterModelessWindow(std::int32_t referenceID, APIPaletteControlCallBackProc* callback,
                                              GSFlags controlFlags, const char16_t* guidText) {
  return ACAPI_Glue::CallHost<UiCall::RegisterModelessWindow>(UiFunc_RegisterModelessWindow, referenceID, callback,
                                                              controlFlags, guidText);
}
inline GSErrCode ACAPI_UnregisterModelessWindow(std::int32_t referenceID) {
  return ACAPI_Glue::CallHost<UiCall::UnregisterModelessWindow>(UiFunc_UnregisterModelessWindow, referenceID);
}
