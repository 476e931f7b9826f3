// The add-on's message boxes and its line in the host's status bar.
//
// Message boxes are owned by the host's main window (none when the host
// cannot name it); while one is up, a hook gives every window titled with
// "Velmar Corvanta" the add-on's small icon (default icon when the add-on
// icon could not be loaded). Host user-interface thread.
#pragma once

#include <string>

#include "platform/win32.h"
#include "renderer/renderer.h"

namespace addon {

inline constexpr char16_t kSaveFirstCaption[] = u"Velmar Corvanta - Save project first";
inline constexpr char16_t kSaveFirstText[] = u"Please save your project before starting Velmar Corvanta.";
inline constexpr char16_t kFileInUseCaption[] = u"Velmar Corvanta - File already open";
inline constexpr char16_t kExportFailedCaption[] = u"Velmar Corvanta - Export failed";
inline constexpr char16_t kSettingsNotStoredCaption[] = u"Velmar Corvanta - Settings not stored";

// A Windows message box; returns the pressed button (IDOK, ...), 0 when the
// box could not be shown.
int ShowMessage(const std::u16string& text, const std::u16string& caption = u"Velmar Corvanta",
                UINT style = 0x10 /* MB_ICONERROR | MB_OK */);
// "Please save your project ..." (information icon).
void AlertSaveFirst();
// "File ... is being used by another instance": names only the file part of
// path (behind its last "/"), never its folders.
void AlertFileInUse(const std::u16string& path);

// "Cannot export the COLLADA file. The document ... could not be written:
// <reason>." (error icon), naming the whole path.
void AlertExportFailed(const std::u16string& path, const std::u16string& reason);
// "Your settings could not be stored ..." (warning icon), naming the file
// that holds them (settingsFile).
void AlertSettingsNotStored(const std::u16string& settingsFile);

// Sets the text of the host's status bar; dropped when the host has no main
// window or status bar. The status bar is looked up once and kept while it
// stays a window.
void SetStatusBarText(const std::u16string& text);
// Forgets the host's window handles kept between calls. A module kept in
// memory outlives its unload: the handles of its last load may name other
// windows by the time it is loaded again.
void ForgetHostWindows();

// The renderer check of a link start (renderer/renderer.h).
using renderer::CheckRenderer;

}  // namespace addon
