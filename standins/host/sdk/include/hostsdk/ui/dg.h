// The host's dialog library: modal dialogs, modeless dialogs and dockable
// palettes built from dialog resources, their items and the messages the
// host sends to a dialog's callback. All calls belong to the host's
// user-interface thread. Calls on an unknown dialog or item do nothing and
// report false/0.
#pragma once

#include <cstdint>

#include "hostsdk/ui/rs.h"

using DGUserData = std::intptr_t;
using DGMessageData = std::intptr_t;
// Return value: for DG_MSG_CLICK, the item number closes a modal dialog
// (0 keeps it open); DG_MSG_TOOLTIP returns 1 when it filled the text.
using DGDialCallBack = short (*)(short message, short dialId, short item, DGUserData userData, DGMessageData msgData);

// Messages to a dialog callback.
inline constexpr short DG_MSG_NULL = 0;          // idle, when enabled with DGEnableMessage
inline constexpr short DG_MSG_INIT = 1;          // the dialog has been created
inline constexpr short DG_MSG_CLOSEREQUEST = 2;  // the user asks to close (Esc / close box)
inline constexpr short DG_MSG_CLOSE = 3;         // the dialog closes; item = the closing item
inline constexpr short DG_MSG_CLICK = 4;         // a button, link, picture or icon was clicked
inline constexpr short DG_MSG_CHANGE = 6;        // a check box, pop-up or edit changed
inline constexpr short DG_MSG_TOOLTIP = 21;      // msgData is a DGHelpData*
inline constexpr short DG_MSG_UPDATE = 16383;    // periodic update the host sends to palettes

inline constexpr int DG_TOOLTIP_MAX = 512;
struct DGHelpData {
  short helpType;  // 0: tooltip request
  short item;
  char16_t toolTipText[DG_TOOLTIP_MAX];  // NUL-terminated; longer texts are cut
};

// Special pop-up positions.
inline constexpr short DG_POPUP_TOP = -1;
inline constexpr short DG_POPUP_BOTTOM = -2;

// Position argument of DGShowModelessDialog: keep where it was.
inline constexpr short DG_DF_FIRST = -32768;

// Modal dialog from resource `resId`; runs until an item closes it or the
// user cancels. Returns the closing item, 0 when cancelled, -1 when the
// resource is missing.
short DGModalDialog(GSResModule module, short resId, GSResModule helpModule, DGDialCallBack callback,
                    DGUserData userData);

// Modeless dialogs and palettes. Return the new dialog id (> 0), 0 on failure.
short DGCreateBlankModelessDialog(short hSize, short vSize, DGDialCallBack callback, DGUserData userData);
short DGCreateModelessDialog(GSResModule module, short resId, GSResModule helpModule, DGDialCallBack callback,
                             DGUserData userData);
short DGCreateDockablePalette(GSResModule module, short resId, GSResModule helpModule, DGDialCallBack callback,
                              DGUserData userData, const char16_t* guidText);
bool DGShowModelessDialog(short dialId, short position);
bool DGHideModelessDialog(short dialId);
bool DGIsDialogOpen(short dialId);
bool DGIsModelessDialogVisible(short dialId);
void DGModelessClose(short dialId);
void DGBeginProcessEvents(short dialId);
void DGEndProcessEvents(short dialId);
// item 0 and message DG_MSG_NULL: idle messages for the dialog.
void DGEnableMessage(short dialId, short item, short message, bool enable);

// The dialog's window (owned by the host), for window messages such as
// WM_SETICON. Null when the dialog is not open.
struct HWND__;
HWND__* DGGetDialogWindow(short dialId);

// Items.
short DGGetItemCount(short dialId);
void DGEnableItem(short dialId, short item);
void DGDisableItem(short dialId, short item);
bool DGIsItemEnabled(short dialId, short item);
void DGShowItem(short dialId, short item);
void DGHideItem(short dialId, short item);
bool DGIsItemVisible(short dialId, short item);
void DGSetItemText(short dialId, short item, const char16_t* text);
// Copies at most bufferChars - 1 units and a NUL; returns the full length.
int DGGetItemText(short dialId, short item, char16_t* buffer, int bufferChars);
void DGSetItemValLong(short dialId, short item, std::int32_t value);  // check box: 0/1
std::int32_t DGGetItemValLong(short dialId, short item);
// Real-value edits keep their value inside [min, max].
void DGSetItemValDouble(short dialId, short item, double value);
double DGGetItemValDouble(short dialId, short item);
void DGSetItemMinDouble(short dialId, short item, double value);
void DGSetItemMaxDouble(short dialId, short item, double value);
void DGSetItemIcon(short dialId, short item, GSResModule module, short iconId);
short DGGetItemIcon(short dialId, short item);

// Pop-ups. Positions count from 1.
void DGPopUpInsertItem(short dialId, short item, short pos);
void DGPopUpInsertSeparator(short dialId, short item, short pos);
void DGPopUpDeleteItem(short dialId, short item, short pos);
void DGPopUpSetItemText(short dialId, short item, short pos, const char16_t* text);
void DGPopUpSetItemIcon(short dialId, short item, short pos, GSResModule module, short iconId);
short DGPopUpGetItemCount(short dialId, short item);
void DGPopUpSelectItem(short dialId, short item, short pos);
short DGPopUpGetSelected(short dialId, short item);

// Host alert from an alert resource; "%s" in the message takes param1
// (UTF-8), the further "%s" param2 and param3. Returns the button pressed
// (1 to 3), 0 when the resource is missing.
short DGResAlert(GSResModule module, short resId, const char* param1, const char* param2, const char* param3);
