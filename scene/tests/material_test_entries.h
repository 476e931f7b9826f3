// The add-on glue linked into a material, surface or texture test program
// wants the add-on's four entry points; nothing loads this program as an
// add-on, so they are never called. Included from one source per program.
#pragma once

#include "hostsdk/loader.h"

API_AddonType CheckEnvironment(API_EnvirParams*) { return API_AddonType{}; }
GSErrCode RegisterInterface() { return 0; }
GSErrCode Initialize() { return 0; }
GSErrCode FreeData() { return 0; }
