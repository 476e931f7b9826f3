// Signatures of the runtime's function-table entries. The host stores a
// function of exactly this type at the index; the add-on's glue casts the
// entry back to it. The first argument is always the host context that
// Initialize received (null before Initialize).
#pragma once

#include <cstdint>

#include "hostsdk/events.h"
#include "hostsdk/filetype.h"
#include "hostsdk/functable.h"
#include "hostsdk/guid.h"
#include "hostsdk/requests.h"
#include "hostsdk/sight.h"
#include "hostsdk/types.h"

namespace HostCall {
using DebugPrint = GSErrCode (*)(API_HostContext*, const char* text);
using KeepInMemory = GSErrCode (*)(API_HostContext*, bool keep);
using RegisterFileType = GSErrCode (*)(API_HostContext*, const API_FTypeReg* reg);
using InstallFileTypeHandler3D = GSErrCode (*)(API_HostContext*, GSType cmdRef, APIIO3DCommandProc handler);
using CatchProjectEvent = GSErrCode (*)(API_HostContext*, GSFlags mask, APIProjectEventHandlerProc handler);
using CatchViewEvent = GSErrCode (*)(API_HostContext*, GSFlags mask, API_NavigatorMapID map,
                                     APIViewEventHandlerProc handler);
using Dispatcher = GSErrCode (*)(API_HostContext*, GSType selector, void* p1, void* p2);
using AttributeGetNum = GSErrCode (*)(API_HostContext*, API_AttrTypeID type, API_AttributeIndex* count);
using AttributeGet = GSErrCode (*)(API_HostContext*, API_Attribute* attribute);
using CreateSight = GSErrCode (*)(API_HostContext*, Modeler::SightPtr* sight);
using SelectSight = GSErrCode (*)(API_HostContext*, const Modeler::SightPtr* sight, Modeler::SightPtr* previous);
using GetCurrentSight = GSErrCode (*)(API_HostContext*, Modeler::SightPtr* sight);
using GenerateGuid = GSErrCode (*)(API_HostContext*, API_Guid* guid);
}  // namespace HostCall
