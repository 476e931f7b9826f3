// Menus and palettes as the host's add-on interface offers them: menu
// registration from menu-string resources, menu command handlers, the
// interface requests on menu items ('GMIF', 'SMIF', 'SMIT') and the
// registration of modeless windows (palettes) with their control callback.
#pragma once

#include <cstdint>
#include <string>

#include "hostsdk/unistring.h"

#include "hostsdk/types.h"

// Where a registered menu goes.
inline constexpr std::int32_t MenuCode_UserDef = 0;    // the add-on's own menu, titled by the resource
inline constexpr std::int32_t MenuCode_Palettes = 12;  // the host's menu listing palettes

// Registration flags.
inline constexpr std::int32_t MenuFlag_SeparatorBefore = 1;
inline constexpr std::int32_t MenuFlag_InsertIntoSame = 4;

// Item flags word ('GMIF' / 'SMIF').
inline constexpr std::int32_t API_MenuItemDisabled = 1;
inline constexpr std::int32_t API_MenuItemChecked = 2;

struct API_MenuItemRef {
  short menuResID;
  std::int32_t itemIndex;  // from 1
};

struct API_MenuParams {
  API_MenuItemRef menuItemRef;
};

using APIMenuCommandProc = GSErrCode(const API_MenuParams* menuParams);

// Interface request selectors.
inline constexpr GSType APIIo_GetMenuItemFlagsID = FourCC("GMIF");  // par1 API_MenuItemRef*, par2 GSFlags* out
inline constexpr GSType APIIo_SetMenuItemFlagsID = FourCC("SMIF");  // par1 API_MenuItemRef*, par2 GSFlags* in
inline constexpr GSType APIIo_SetMenuItemTextID = FourCC("SMIT");   // par1 API_MenuItemRef*, par2 const GS::UniString*

// Messages of a palette control callback.
enum API_PaletteMessageID : std::int32_t {
  APIPalMsg_ClosePalette = 1,
  APIPalMsg_HidePalette_Begin = 2,
  APIPalMsg_HidePalette_End = 3,
  APIPalMsg_DisableItems_Begin = 4,
  APIPalMsg_DisableItems_End = 5,
  APIPalMsg_OpenPalette = 6,
  APIPalMsg_IsPaletteVisible = 7,  // param: bool* to write into
};
using APIPaletteControlCallBackProc = GSErrCode(std::int32_t referenceID, API_PaletteMessageID messageID,
                                                std::intptr_t param);
