// The prompt on Windows: plain lines from standard input (a console or a
// pipe), read by a thread of their own, so that the host's thread can wait
// for a line, its windows' messages and its idle turns at once.
#include "prompt.h"

#include <cstdio>
#include <deque>
#include <iostream>
#include <mutex>
#include <thread>

#include "base/windows_text.h"
#include "prompt_state.h"
#include "session.h"

namespace hostsim {
namespace {

struct Lines {
  std::mutex mutex;
  std::deque<std::string> lines;
  bool ended = false;
  HANDLE ready = nullptr;  // set while a line or the end waits
};
Lines& TheLines() {
  static Lines lines;
  return lines;
}

void ReadLines() {
  Lines& l = TheLines();
  std::string line;
  for (;;) {
    const bool got = static_cast<bool>(std::getline(std::cin, line));
    std::lock_guard<std::mutex> hold(l.mutex);
    if (got) {
      // A console or a text-mode pipe may end a line with "\r\n".
      if (!line.empty() && line.back() == '\r') line.pop_back();
      l.lines.push_back(line);
    } else {
      l.ended = true;
    }
    SetEvent(l.ready);
    if (!got) return;
  }
}

void DispatchMessages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

}  // namespace

void OpenPrompt(Session* session, const std::string&) {
  ThePrompt().session = session;
  Lines& l = TheLines();
  if (l.ready == nullptr) {
    l.ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // The reader stays blocked in its read when the host quits; the
    // process's end takes it.
    std::thread(ReadLines).detach();
  }
}

void ClosePrompt() { ThePrompt().session = nullptr; }

bool AskLine(const std::string& prompt, std::string* out) {
  std::fputs(prompt.c_str(), stdout);
  std::fflush(stdout);
  Lines& l = TheLines();
  if (l.ready == nullptr) OpenPrompt(nullptr, "");
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(l.mutex);
      if (!l.lines.empty()) {
        *out = std::move(l.lines.front());
        l.lines.pop_front();
        if (l.lines.empty() && !l.ended) ResetEvent(l.ready);
        return true;
      }
      if (l.ended) return false;
    }
    const DWORD waited = MsgWaitForMultipleObjectsEx(1, &l.ready, ThePrompt().Idling() ? 33 : INFINITE, QS_ALLINPUT,
                                                     MWMO_INPUTAVAILABLE);
    if (waited == WAIT_OBJECT_0 + 1) DispatchMessages();
    else if (waited == WAIT_TIMEOUT && ThePrompt().Idling()) ThePrompt().session->PumpWaiting();
  }
}

}  // namespace hostsim
