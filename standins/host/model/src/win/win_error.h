// The system's words for a Win32 error code, as UTF-8, for the model
// library's messages.
#pragma once

#include <string>

namespace hostmodel::detail {

std::string WinErrorText(unsigned long code);

}  // namespace hostmodel::detail
