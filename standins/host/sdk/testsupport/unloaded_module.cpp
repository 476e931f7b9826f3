// A unit test links the add-on glue to reach the host calls, and so plays a
// module that no host ever loads: its entry points are never called, and
// every host call fails as it does before the host's table arrives.
#include "hostsdk/loader.h"

API_AddonType CheckEnvironment(API_EnvirParams*) { return APIAddon_DontRegister; }
GSErrCode RegisterInterface() { return APIERR_GENERAL; }
GSErrCode Initialize() { return APIERR_GENERAL; }
GSErrCode FreeData() { return APIERR_GENERAL; }
