// A program for the process tests to start.
//
//   proc_peer report FILE ARG...   writes what it was started with to FILE
//                                  (through FILE.tmp and rename), a line to
//                                  its output and one to its error, and exits
//   proc_peer wait SECONDS         sleeps, then exits
//   proc_peer ARG...               with CORV_TEST_OPENER_LOG set, stands in
//                                  for xdg-open: writes its arguments there
//
// The report holds lines "cwd=...", "show=..." (CORV_SHOW_WINDOW), "fds=N"
// (open descriptors above 2), "in=", "out=", "err=" (what the standard
// streams are), "leader=0|1" (whether it leads its own session) and one
// "arg=..." per argument after FILE. The opener's log: "argc=N", then one
// "arg=..." per argument.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string Stream(int fd) {
  char link[4096] = {};
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(path.c_str(), link, sizeof link - 1);
  return n > 0 ? std::string(link, static_cast<std::size_t>(n)) : std::string("closed");
}

int WriteByRename(const std::string& path, const std::string& text) {
  const std::string temp = path + ".tmp";
  FILE* f = std::fopen(temp.c_str(), "w");
  if (!f) return 1;
  std::fputs(text.c_str(), f);
  std::fclose(f);
  return std::rename(temp.c_str(), path.c_str()) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "report") {
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd)) return 1;
    int fds = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
      while (dirent* e = ::readdir(d))
        if (std::atoi(e->d_name) > 2) ++fds;
      ::closedir(d);
      --fds;  // the directory stream itself
    }
    const char* show = std::getenv("CORV_SHOW_WINDOW");
    std::string text = std::string("cwd=") + cwd + "\nshow=" + (show ? show : "") + "\nfds=" + std::to_string(fds) +
                       "\nin=" + Stream(0) + "\nout=" + Stream(1) + "\nerr=" + Stream(2) +
                       "\nleader=" + std::to_string(::getsid(0) == ::getpid() ? 1 : 0) + "\n";
    for (int i = 3; i < argc; ++i) text += std::string("arg=") + argv[i] + "\n";
    std::printf("proc_peer output\n");
    std::fflush(stdout);
    std::fprintf(stderr, "proc_peer error output\n");
    return WriteByRename(argv[2], text);
  }
  if (argc == 3 && std::string(argv[1]) == "wait") {
    ::sleep(static_cast<unsigned>(std::atoi(argv[2])));
    return 0;
  }
  if (const char* log = std::getenv("CORV_TEST_OPENER_LOG"); log && argc >= 2) {
    std::string text = "argc=" + std::to_string(argc - 1) + "\n";
    for (int i = 1; i < argc; ++i) text += std::string("arg=") + argv[i] + "\n";
    return WriteByRename(log, text);
  }
  std::fprintf(stderr, "usage: proc_peer report FILE ARG... | wait SECONDS | ADDRESS\n");
  return 2;
}
