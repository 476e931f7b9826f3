// The loop's sleep on Windows: the window's messages reach only the thread
// that made it, so the loop waits on that thread's queue and on an event
// the console control handler sets (Ctrl-C, Ctrl-Break, the console
// closing), with MsgWaitForMultipleObjectsEx.
#include "loop_wait.h"

namespace velmar {
namespace {

// Manual reset: once asked to end, every later wait sees it too.
HANDLE g_endEvent = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT: SetEvent(g_endEvent); return TRUE;
    default: return FALSE;
  }
}

class MessageWait final : public LoopWait {
 public:
  unsigned Wait(int timeoutMs, std::string* error) override {
    // Messages posted to the thread rather than to a window are nobody's
    // here; left in the queue, they would end every wait at once and keep
    // the loop spinning.
    MSG stray;
    while (PeekMessageW(&stray, reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE)) {
    }
    // MWMO_INPUTAVAILABLE: a message that arrived while the loop was reading
    // the queue wakes this wait too, instead of waiting for the next one.
    const DWORD result = MsgWaitForMultipleObjectsEx(1, &g_endEvent, timeoutMs < 0 ? INFINITE : timeoutMs, QS_ALLINPUT,
                                                     MWMO_INPUTAVAILABLE);
    if (result == WAIT_OBJECT_0) return kEnd;
    if (result == WAIT_OBJECT_0 + 1) return kMessages;
    if (result == WAIT_TIMEOUT) return 0;
    *error = "waiting for messages failed (error " + std::to_string(GetLastError()) + ")";
    return kEnd;
  }
};

}  // namespace

std::unique_ptr<LoopWait> LoopWait::Create(HWND window, int liveReportFd, std::string* error) {
  if (window == nullptr || liveReportFd != -1) {
    *error = "nothing to wait for here but the window";
    return nullptr;
  }
  if (g_endEvent == nullptr) g_endEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (g_endEvent == nullptr || !SetConsoleCtrlHandler(OnConsoleControl, TRUE)) {
    *error = "cannot install the console control handler (error " + std::to_string(GetLastError()) + ")";
    return nullptr;
  }
  return std::make_unique<MessageWait>();
}

}  // namespace velmar
