// Finding the main windows of running renderers, for the wake-up message and
// for renderer discovery.
#pragma once

#include <vector>

#include "platform/win32.h"

namespace CorvantaAPI {

// The main windows (first visible top-level window without an owner) of
// processes whose upper-cased image path contains "VELMAR" (the window class
// must contain "START") or "BRIMSEL" (class "BRIMSEL EDITOR"). Processes are
// examined in parallel, so the order is not defined. An empty list when the
// process list cannot be read; processes that cannot be inspected (another
// user's, gone meanwhile) are passed over.
std::vector<HWND> FindRendererWindows();

}  // namespace CorvantaAPI
