// The host's resource access. A module's resources are opened once per
// module (its "resource cache") and named afterwards by the handle that
// opening returns; every lookup names that handle and a resource id.
#pragma once

#include <cstdint>
#include <string>

using GSResModule = std::int32_t;  // 0 = no module
inline constexpr GSResModule InvalidResModule = 0;

// Opens the resources embedded in the module that contains `addressInModule`
// (any function or object of that module). Opening the same module again
// returns the same handle and counts one more user. Returns 0 when the module
// carries no resources or its image is damaged (the reason goes to the host's
// log).
GSResModule RSInitModuleCache(const void* addressInModule);
// Drops one user of the handle; the resources go when the last user leaves.
void RSExitModuleCache(GSResModule module);

// Item `index` (from 1) of string list `resId`. False (and *out untouched)
// when the list or item does not exist.
bool RSGetIndString(std::u16string* out, short resId, short index, GSResModule module);

// The module identity resource: the developer id and local id the host
// identifies the add-on by. False when the module has none.
bool RSGetModuleIdentity(GSResModule module, std::uint32_t* developerId, std::uint32_t* localId);

// Icons. An HICON names an icon image owned by the host; DestroyIcon
// releases it. `size` is the wanted pixel size (0: the image's own); the
// image is the module's PNG as drawn, the size is recorded for who shows it.
#ifdef _WIN32
#include "base/windows_text.h"
#else
struct HICON__;
using HICON = HICON__*;
#endif
HICON RSLoadIcon(GSResModule module, short iconId, int size);
#ifndef _WIN32
// On Windows an icon is the system's, released by user32's DestroyIcon.
bool DestroyIcon(HICON icon);
#endif
// The resource id an icon came from, 0 for a null or released icon.
short RSIconId(HICON icon);
