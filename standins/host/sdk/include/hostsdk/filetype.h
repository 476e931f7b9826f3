// File types an add-on registers and the 3D save handler that serves them.
#pragma once

#include <cstdint>

#include "hostsdk/location.h"
#include "hostsdk/sight.h"
#include "hostsdk/types.h"

// Method flags of a file type registration.
inline constexpr Int32 APIFType_Import = 1;
inline constexpr Int32 APIFType_Merge = 2;
inline constexpr Int32 APIFType_Open = 4;
inline constexpr Int32 APIFType_SaveAs = 8;
inline constexpr Int32 APIFType_Save3D = 16;

struct API_FTypeReg {
  Int32 cmdRef = 0;  // passed back to the handler's installation
  GSType ftype = 0;
  GSType fcreator = 0;
  char extname[16] = {};  // without the dot, NUL-terminated; required
  Int32 iconResID = 0;
  Int32 descStrResID = 0;  // string list and item of the description
  Int32 descStrResItemID = 0;
  Int32 methodFlags = 0;
};

struct API_IOParams {
  Int32 method = APIFType_Save3D;
  Int32 refCon = 0;                 // the cmdRef of the registration
  IO::Location* fileLoc = nullptr;  // destination chosen by the user
};

// Saves the 3D window's model to ioParams->fileLoc; sight is the 3D window's
// sight (the handler may keep or drop its reference).
using APIIO3DCommandProc = GSErrCode (*)(const API_IOParams* ioParams, Modeler::SightPtr sight);
