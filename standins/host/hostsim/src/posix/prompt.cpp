// The prompt on Linux: libedit's line editing and history, reading the
// terminal through a poll that gives the host its idle turns.
#include "prompt.h"

#include <editline/readline.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "prompt_state.h"
#include "session.h"

namespace hostsim {
namespace {

std::string g_history;

int GetcWithIdle(FILE* in) {
  const int fd = fileno(in);
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int r = poll(&p, 1, ThePrompt().Idling() ? 33 : -1);
    if (r > 0) {
      unsigned char c;
      const ssize_t n = read(fd, &c, 1);
      if (n == 1) return c;
      if (n == 0) return EOF;
      if (errno != EINTR && errno != EAGAIN) return EOF;
    } else if (r == 0 && ThePrompt().session) {
      ThePrompt().session->PumpWaiting();
    } else if (r < 0 && errno != EINTR) {
      return EOF;
    }
  }
}

}  // namespace

void OpenPrompt(Session* session, const std::string& historyPath) {
  ThePrompt().session = session;
  rl_getc_function = GetcWithIdle;
  g_history = historyPath;
  using_history();
  if (!g_history.empty()) read_history(g_history.c_str());
}

void ClosePrompt() {
  if (!g_history.empty()) write_history(g_history.c_str());
  ThePrompt().session = nullptr;
}

bool AskLine(const std::string& prompt, std::string* out) {
  char* line = readline(prompt.c_str());
  if (!line) return false;
  *out = line;
  if (!out->empty()) add_history(line);
  std::free(line);
  return true;
}

}  // namespace hostsim
