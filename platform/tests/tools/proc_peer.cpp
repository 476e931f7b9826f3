// A program for the process tests to start.
//
//   proc_peer report FILE ARG...   writes what it was started with to FILE
//                                  (through FILE.tmp and rename) and exits
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
  if (argc == 3 && std::string(argv[1]) == "wait") {
    ::sleep(static_cast<unsigned>(std::atoi(argv[2])));
    return 0;
  }
  std::fprintf(stderr, "usage: proc_peer report FILE ARG... | wait SECONDS\n");
  return 2;
}
