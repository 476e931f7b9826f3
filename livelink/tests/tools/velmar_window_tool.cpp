// Publishes one top-level window with a chosen class, from a program whose
// path contains "velmar", and reports every message posted to it:
//
//   velmar_window_tool CLASS [hidden]   -> "ready", then "message M W L" ...
//
// Exits at the end of its input. Lets the tests check which windows the
// renderer search accepts, independently of the real velmar.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/win32.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: velmar_window_tool CLASS [hidden]\n");
    return 2;
  }
  const std::string className = argv[1];
  platform::WindowDesc desc;
  desc.className = std::u16string(className.begin(), className.end());
  desc.title = u"Velmar 0.0.1";
  desc.visible = !(argc >= 3 && std::string(argv[2]) == "hidden");
  HWND window = platform::CreatePublishedWindow(desc);
  if (window == nullptr) {
    std::fprintf(stderr, "velmar_window_tool: cannot publish the window (error %u)\n",
                 GetLastError());
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  pollfd fds[2] = {{0, POLLIN, 0}, {platform::PublishedWindowFd(window), POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents & POLLIN) {
      platform::PostedMessage message;
      while (platform::ReceivePostedMessage(window, &message, 0)) {
        std::printf("message %u %lu %ld\n", message.message,
                    static_cast<unsigned long>(message.wParam), static_cast<long>(message.lParam));
        std::fflush(stdout);
      }
    }
    if (fds[0].revents & (POLLIN | POLLHUP)) {
      char buffer[256];
      if (::read(0, buffer, sizeof buffer) <= 0) break;
    }
  }
  platform::DestroyPublishedWindow(window);
  return 0;
}
