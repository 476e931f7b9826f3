// The test program links the add-on glue (the scene's and the settings'
// host calls go through it), and the glue wants the add-on's four entry
// points. Each test program includes this from its one source file.
#pragma once

#include "hostsdk/loader.h"

API_AddonType CheckEnvironment(API_EnvirParams*) { return API_AddonType{}; }
GSErrCode RegisterInterface() { return 0; }
GSErrCode Initialize() { return 0; }
GSErrCode FreeData() { return 0; }
