// A program for the process tests to start.
//
//   proc_peer report FILE ARG...   writes what it was started with to FILE
//                                  (through FILE.tmp and rename) and exits
//   proc_peer streams FILE         writes what its standard streams are and
//                                  whether it leads its own session to FILE,
//                                  and a line to its output and its error
//   proc_peer wait SECONDS         sleeps, then exits
//
// The report holds lines "cwd=...", "show=..." (CORV_SHOW_WINDOW), "fds=N"
// (open descriptors above 2) and one "arg=..." per argument after FILE.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

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
    std::string text = std::string("cwd=") + cwd + "\nshow=" + (show ? show : "") +
                       "\nfds=" + std::to_string(fds) + "\n";
    for (int i = 3; i < argc; ++i) text += std::string("arg=") + argv[i] + "\n";
    const std::string temp = std::string(argv[2]) + ".tmp";
    FILE* f = std::fopen(temp.c_str(), "w");
    if (!f) return 1;
    std::fputs(text.c_str(), f);
    std::fclose(f);
    return std::rename(temp.c_str(), argv[2]) == 0 ? 0 : 1;
  }
  if (argc == 3 && std::string(argv[1]) == "streams") {
    // What its standard streams are and whether it leads a session of its
    // own, then a line on each output stream.
    auto target = [](int fd) {
      char link[4096] = {};
      const std::string path = "/proc/self/fd/" + std::to_string(fd);
      const ssize_t n = ::readlink(path.c_str(), link, sizeof link - 1);
      return n > 0 ? std::string(link, static_cast<std::size_t>(n)) : std::string("closed");
    };
    const std::string text = "in=" + target(0) + "\nout=" + target(1) + "\nerr=" + target(2) +
                             "\nleader=" + std::to_string(::getsid(0) == ::getpid() ? 1 : 0) + "\n";
    std::printf("proc_peer output\n");
    std::fflush(stdout);
    std::fprintf(stderr, "proc_peer error output\n");
    const std::string temp = std::string(argv[2]) + ".tmp";
    FILE* f = std::fopen(temp.c_str(), "w");
    if (!f) return 1;
    std::fputs(text.c_str(), f);
    std::fclose(f);
    return std::rename(temp.c_str(), argv[2]) == 0 ? 0 : 1;
  }
  if (argc == 3 && std::string(argv[1]) == "wait") {
    ::sleep(static_cast<unsigned>(std::atoi(argv[2])));
    return 0;
  }
  std::fprintf(stderr, "usage: proc_peer report FILE ARG... | streams FILE | wait SECONDS\n");
  return 2;
}
