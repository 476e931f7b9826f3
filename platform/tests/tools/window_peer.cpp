// Publishes windows from its own process for the window tests.
//
//   window_peer CLASS TITLE [hidden] [owned] [foreground] [deaf]
//
// Prints "hwnd MAIN OWNED PID" (hexadecimal HWNDs, OWNED 0 unless "owned"
// asked for a second, owned window), then reports every message posted to
// the main window as "msg MESSAGE WPARAM LPARAM" (decimal). "deaf" never
// reads messages, so its queue fills up; other words are ignored. Commands on stdin: "title TEXT",
// "show 0|1", "destroy"; each is answered "ok" or "failed".
#ifdef _WIN32
#include <condition_variable>
#include <deque>
#include <iostream>
#include <mutex>
#include <thread>
#else
#include <poll.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "base/utf.h"
#include "platform/win32.h"

namespace {
unsigned long long value(HWND h) { return reinterpret_cast<std::uintptr_t>(h); }
}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return std::fprintf(stderr, "usage: window_peer CLASS TITLE [hidden] [owned] [foreground] [deaf]\n"), 2;
  const std::set<std::string> options(argv + 3, argv + argc);
  bool deaf = options.count("deaf") != 0;
  const auto fail = [] { return std::printf("error %u\n", static_cast<unsigned>(GetLastError())), 1; };
  platform::WindowDesc desc{base::FromUtf8(argv[1]), base::FromUtf8(argv[2]), nullptr, options.count("hidden") == 0};
  HWND main = platform::CreatePublishedWindow(desc);
  if (!main) return fail();
  HWND second = nullptr;
  if (options.count("owned") && !(second = platform::CreatePublishedWindow({u"#32770", u"Owned", main, true})))
    return fail();
  if (options.count("foreground") && !SetForegroundWindow(main)) return fail();
  std::printf("hwnd %llx %llx %u\n", value(main), value(second), static_cast<unsigned>(GetCurrentProcessId()));
  std::fflush(stdout);

#ifdef _WIN32
  // A window's messages reach only the thread that made it: this thread
  // waits on its queue and on lines that a reader thread hands over.
  std::mutex mutex;
  std::deque<std::string> lines;
  bool inputEnded = false;
  HANDLE lineReady = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::thread reader([&] {
    std::string line;
    while (std::getline(std::cin, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::lock_guard<std::mutex> hold(mutex);
      lines.push_back(line);
      SetEvent(lineReady);
    }
    std::lock_guard<std::mutex> hold(mutex);
    inputEnded = true;
    SetEvent(lineReady);
  });
  reader.detach();
  for (;;) {
    if (!deaf) {
      platform::PostedMessage m;
      while (platform::ReceivePostedMessage(main, &m, 0))
        std::printf("msg %u %llu %lld\n", m.message, static_cast<unsigned long long>(m.wParam),
                    static_cast<long long>(m.lParam));
      std::fflush(stdout);
    }
    std::deque<std::string> batch;
    bool ended = false;
    {
      std::lock_guard<std::mutex> hold(mutex);
      batch.swap(lines);
      ended = inputEnded;
    }
    for (const std::string& line : batch) {
      bool ok = false;
      if (line.rfind("title ", 0) == 0) {
        ok = platform::SetPublishedWindowText(main, base::FromUtf8(line.substr(6)));
      } else if (line == "show 0" || line == "show 1") {
        ok = platform::ShowPublishedWindow(main, line == "show 1");
      } else if (line == "destroy") {
        ok = platform::DestroyPublishedWindow(main);
        deaf = true;
      }
      std::printf(ok ? "ok\n" : "failed\n");
      std::fflush(stdout);
    }
    if (ended) break;
    // MWMO_INPUTAVAILABLE: a message that came while the queue was being
    // looked at counts too (without it, the wait sleeps through it).
    MsgWaitForMultipleObjectsEx(1, &lineReady, INFINITE, deaf ? 0 : QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
  std::fflush(stdout);
  ExitProcess(0);  // the reader thread may still sit in a read
#else
  std::string input;
  pollfd fds[2] = {{0, POLLIN, 0}, {platform::PublishedWindowFd(main), POLLIN, 0}};
  for (;;) {
    if (::poll(fds, deaf ? 1 : 2, -1) < 0) continue;
    if (!deaf && (fds[1].revents & POLLIN)) {
      platform::PostedMessage m;
      while (platform::ReceivePostedMessage(main, &m, 0))
        std::printf("msg %u %llu %lld\n", m.message, static_cast<unsigned long long>(m.wParam),
                    static_cast<long long>(m.lParam));
      std::fflush(stdout);
    }
    if (fds[0].revents & (POLLIN | POLLHUP)) {
      char chunk[256];
      const ssize_t n = ::read(0, chunk, sizeof chunk);
      if (n <= 0) break;
      input.append(chunk, static_cast<std::size_t>(n));
      for (auto nl = input.find('\n'); nl != std::string::npos; nl = input.find('\n')) {
        const std::string line = input.substr(0, nl);
        input.erase(0, nl + 1);
        bool ok = false;
        if (line.rfind("title ", 0) == 0) {
          ok = platform::SetPublishedWindowText(main, base::FromUtf8(line.substr(6)));
        } else if (line == "show 0" || line == "show 1") {
          ok = platform::ShowPublishedWindow(main, line == "show 1");
        } else if (line == "destroy") {
          ok = platform::DestroyPublishedWindow(main);
          deaf = true;  // its descriptor is gone
        }
        std::printf(ok ? "ok\n" : "failed\n");
        std::fflush(stdout);
      }
    }
  }
#endif
  return 0;
}
