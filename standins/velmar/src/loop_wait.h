// What velmar's main loop sleeps on: the main window's posted messages, a
// request to end (Ctrl-C, or SIGTERM where there are signals) and, where the
// live view is built, its reports. Each platform waits its own way: poll on
// descriptors on Linux, MsgWaitForMultipleObjectsEx on the window's thread
// queue and a console control event on Windows.
#pragma once

#include <memory>
#include <string>

#include "platform/win32.h"

namespace velmar {

class LoopWait {
 public:
  enum : unsigned { kEnd = 1, kMessages = 2, kLiveReports = 4 };

  // For a window made by the calling thread. liveReportFd: a descriptor
  // readable while the live view has reports, -1 for none (always none on
  // Windows). Installs the handler that turns Ctrl-C into kEnd. Null with
  // *error when that cannot be done.
  static std::unique_ptr<LoopWait> Create(HWND window, int liveReportFd, std::string* error);
  virtual ~LoopWait() = default;

  // Sleeps until something is ready or timeoutMs passed (0: just look);
  // the bits of what is ready, 0 after the time. A failed wait is kEnd with
  // *error set.
  virtual unsigned Wait(int timeoutMs, std::string* error) = 0;
};

}  // namespace velmar
