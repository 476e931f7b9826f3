// Project and view notifications the host sends to the handlers an add-on
// installs with ACAPI_Notify_CatchProjectEvent / ACAPI_Notify_CatchViewEvent.
#pragma once

#include <cstdint>

#include "hostsdk/guid.h"
#include "hostsdk/types.h"

// Project event codes; a handler receives those whose bit is in its mask.
enum API_NotifyEventID : std::int32_t {
  APINotify_New = 1,                // a new project replaced the open one
  APINotify_NewAndReset = 2,        // a new project with default settings
  APINotify_Open = 4,               // a project was opened
  APINotify_PreSave = 8,            // the project is about to be saved
  APINotify_Save = 16,              // the project was saved (the path may be new)
  APINotify_Close = 32,             // the project was closed
  APINotify_Quit = 64,              // the host is quitting
  APINotify_ChangeProjectDB = 128,  // the model changed outside the user's edits
  APINotify_ChangeWindow = 256,     // the current window changed
  APINotify_ChangeFloor = 512,
  APINotify_SendChanges = 1024,
  APINotify_ReceiveChanges = 2048,
};
inline constexpr GSFlags API_AllProjectNotificationMask = 4095;

// View events; the record's first field is the event code.
enum API_NotifyViewEventID : std::int32_t {
  APINotifyView_Inserted = 1,
  APINotifyView_Modified = 2,
  APINotifyView_Deleted = 4,
  APINotifyView_Renamed = 8,
  APINotifyView_Opened = 16,  // a view became the current window
  APINotifyView_Closed = 32,
  APINotifyView_Begin = 64,
  APINotifyView_End = 128,
};
inline constexpr GSFlags API_AllViewNotificationMask = 255;

enum API_NavigatorMapID : std::int32_t {
  API_UndefinedMap = 0,
  API_ProjectMap = 1,
  API_PublicViewMap = 2,
  API_MyViewMap = 3,
  API_LayoutMap = 4,
};

// The host's window types (database 'GWIN' / 'CHWD').
enum API_WindowTypeID : std::int32_t {
  APIWind_FloorPlanID = 1,
  APIWind_SectionID = 2,
  APIWind_DetailID = 3,
  APIWind_3DModelID = 4,
  APIWind_LayoutID = 5,
};

struct API_NotifyViewEventType {
  API_NotifyViewEventID notifID;
  API_NavigatorMapID mapId;
  API_WindowTypeID windowType;  // type of the view concerned
  std::int32_t reserved;
  API_Guid itemGuid;
};
static_assert(sizeof(API_NotifyViewEventType) == 32);

using APIProjectEventHandlerProc = GSErrCode (*)(API_NotifyEventID notifID, Int32 param);
using APIViewEventHandlerProc = GSErrCode (*)(const API_NotifyViewEventType* viewEvent);
