// Per-thread last error and process identity, as Win32 keeps them.
#include "platform/win32.h"

#include <unistd.h>

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD code) { t_lastError = code; }
DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }
