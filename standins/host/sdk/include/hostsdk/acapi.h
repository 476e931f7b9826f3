// The host calls of the runtime, as an add-on makes them. Each returns a host
// error code (0 success); see glue.h for what happens without a table or with
// an empty entry.
#pragma once

#include <cstdint>

#include "hostsdk/events.h"
#include "hostsdk/filetype.h"
#include "hostsdk/guid.h"
#include "hostsdk/requests.h"
#include "hostsdk/sight.h"
#include "hostsdk/types.h"

GSErrCode ACAPI_KeepInMemory(bool keepIn);

// A registration without an extension gives APIERR_BADEXTENSION without
// reaching the host.
GSErrCode ACAPI_Register_FileType(const API_FTypeReg* reg);
GSErrCode ACAPI_Install_FileTypeHandler3D(GSType cmdRef, APIIO3DCommandProc handler);

// A null handler removes the add-on's handler.
GSErrCode ACAPI_Notify_CatchProjectEvent(GSFlags eventMask, APIProjectEventHandlerProc handler);
GSErrCode ACAPI_Notify_CatchViewEvent(GSFlags eventMask, API_NavigatorMapID mapId, APIViewEventHandlerProc handler);

GSErrCode ACAPI_Environment(GSType selector, void* p1 = nullptr, void* p2 = nullptr);
GSErrCode ACAPI_Database(GSType selector, void* p1 = nullptr, void* p2 = nullptr);
GSErrCode ACAPI_Goodies(GSType selector, void* p1 = nullptr, void* p2 = nullptr);
GSErrCode ACAPI_Automate(GSType selector, void* p1 = nullptr, void* p2 = nullptr);

GSErrCode ACAPI_Attribute_GetNum(API_AttrTypeID typeID, API_AttributeIndex* count);
// attribute->header.typeID and .index select the attribute. The record's
// texture location is the caller's to free (ACAPI_DisposeAttribute).
GSErrCode ACAPI_Attribute_Get(API_Attribute* attribute);

// A new sight on the 3D window's model and camera.
GSErrCode ACAPI_3D_CreateSight(Modeler::SightPtr* sight);
// Makes sight the current one and hands back the one that was current.
GSErrCode ACAPI_3D_SelectSight(const Modeler::SightPtr& sight, Modeler::SightPtr* previous);
GSErrCode ACAPI_3D_GetCurrentSight(Modeler::SightPtr* sight);

GSErrCode ACAPI_GenerateGuid(API_Guid* guid);

// printf-style text to the host's debug output (its log and stderr).
void DBPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
