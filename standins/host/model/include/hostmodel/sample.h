// The sample building: a small house used as the host's default project.
#pragma once

#include "hostmodel/model.h"

namespace hostmodel {

// Built by code, identical at every call (fixed GUIDs and ids). The facade
// material carries a small generated brick texture (embedded pixels).
Project SampleBuilding();

}  // namespace hostmodel
