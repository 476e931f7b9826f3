// What the module keeps once per load: its resources (opened when the
// operating system loads the module), its file path, the add-on icon and the
// single main object.
#pragma once

#include <string>

#include "hostsdk/ui/rs.h"
#include "platform/win32.h"

namespace addon {

class ACPlugin;

// The module's resource handle; 0 when its resources could not be opened
// (every resource lookup then fails and the add-on goes on without them).
GSResModule ResModule();
// The module's file path (UTF-8), as the loader found it.
const char* ModulePath();

// The add-on icon (resource 101, small-icon size) for message boxes and
// dialogs; null when not loaded. LoadAddonIcon does nothing when loaded.
HICON AddonIcon();
void LoadAddonIcon();
void ReleaseAddonIcon();

// The single main object; null before Initialize and after FreeData.
ACPlugin* ThePlugin();
void SetThePlugin(ACPlugin* plugin);

// The host's main window ('hWND'), asked once and remembered; null when the
// host cannot name it (asked again next time).
HWND HostMainWindow();
// Forgets the remembered main window. A module kept in memory outlives its
// unload, and the window of its last load is gone by the next.
void ForgetHostMainWindow();

}  // namespace addon
