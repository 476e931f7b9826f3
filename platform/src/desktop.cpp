// Starting programs and opening web addresses: posix_spawn with argument
// vectors, never a shell, so no text given to us is ever interpreted.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/utf.h"
#include "platform/win32.h"
#include "utf16.h"

extern char** environ;

namespace {

DWORD SpawnError(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR: return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case ENOEXEC: return ERROR_BAD_EXE_FORMAT;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    default: return ERROR_NOT_ENOUGH_MEMORY;
  }
}

bool ToArgument(const std::u16string& text, std::string* out) {
  if (text.find(u'\0') != std::u16string::npos) return false;  // would be cut short silently
  *out = base::ToUtf8(text);
  return true;
}

// A module must not install a SIGCHLD handler in its host, so each child
// gets a small thread that reaps it; it lives as long as the child.
void ReapInBackground(pid_t pid) {
  try {
    std::thread([pid] {
      int status = 0;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (const std::system_error&) {
    // No thread to spare: the child still runs and stays a zombie once it
    // ends, until this process exits. Better than failing a started program.
  }
}

// How a started program is detached from this process. outputFd: its
// standard output and error (-1: inherited); then its standard input is
// /dev/null and it runs in a session of its own, with no signal blocked and
// the usual signals at their default actions.
struct Detach {
  bool detached = false;
  int outputFd = -1;
};

bool Spawn(const std::string& program, const std::vector<std::string>& args, const std::string& directory,
           const std::vector<std::string>& extraEnvironment, pid_t* pid, const Detach& detach = {}) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  std::vector<std::string> environment;
  for (char** e = environ; e && *e; ++e) {
    bool replaced = false;
    for (const auto& extra : extraEnvironment) {
      const auto eq = extra.find('=');
      if (std::strncmp(*e, extra.c_str(), eq + 1) == 0) replaced = true;
    }
    if (!replaced) environment.emplace_back(*e);
  }
  environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
  std::vector<char*> envp;
  for (auto& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (detach.detached) {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (detach.outputFd >= 0) {
      posix_spawn_file_actions_adddup2(&actions, detach.outputFd, 1);
      posix_spawn_file_actions_adddup2(&actions, detach.outputFd, 2);
    } else {
      posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
      posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int number : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM, SIGXFSZ, SIGCHLD}) sigaddset(&defaults, number);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);  // no inherited handles
  const bool searchPath = program.find('/') == std::string::npos;
  const int error = searchPath ? ::posix_spawnp(pid, program.c_str(), &actions, &attributes, argv.data(), envp.data())
                               : ::posix_spawn(pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    SetLastError(SpawnError(error));
    return false;
  }
  ReapInBackground(*pid);
  SetLastError(ERROR_SUCCESS);
  return true;
}

}  // namespace

namespace {

bool Start(const std::u16string& program, const std::vector<std::u16string>& args,
           const std::u16string& workingDirectory, bool maximised, DWORD* processId, const Detach& detach) {
  std::string file, directory;
  if (program.empty() || !ToArgument(program, &file) || !ToArgument(workingDirectory, &directory)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  std::vector<std::string> argv(args.size());
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!ToArgument(args[i], &argv[i])) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
  }
  if (!directory.empty()) {
    struct stat st {};
    if (::stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      SetLastError(ERROR_DIRECTORY);
      return false;
    }
  }
  // The child changes directory before exec: a relative program path must
  // mean what it means here.
  if (file.find('/') != std::string::npos && file[0] != '/') {
    char* cwd = ::getcwd(nullptr, 0);
    if (!cwd) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return false;
    }
    file = std::string(cwd) + "/" + file;
    std::free(cwd);
  }
  const std::string show = "CORV_SHOW_WINDOW=" + std::to_string(maximised ? SW_SHOWMAXIMIZED : SW_SHOWNORMAL);
  pid_t pid = 0;
  if (!Spawn(file, argv, directory, {show}, &pid, detach)) return false;
  if (processId) *processId = static_cast<DWORD>(pid);
  return true;
}

}  // namespace

bool platform::StartProcess(const std::u16string& program, const std::vector<std::u16string>& args,
                            const std::u16string& workingDirectory, bool maximised, DWORD* processId) {
  return Start(program, args, workingDirectory, maximised, processId, {});
}

bool platform::StartDetachedProcess(const std::u16string& program, const std::vector<std::u16string>& args,
                                    const std::u16string& workingDirectory, bool maximised,
                                    const std::u16string& outputFile, DWORD* processId) {
  Detach detach;
  detach.detached = true;
  std::string output;
  if (!outputFile.empty() && ToArgument(outputFile, &output)) {
    // Opened here, close-on-exec, and handed to the child as its output only:
    // a log that cannot be opened costs the log, not the start.
    detach.outputFd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0600);
  }
  const bool started = Start(program, args, workingDirectory, maximised, processId, detach);
  if (detach.outputFd >= 0) ::close(detach.outputFd);
  if (started) SetLastError(ERROR_SUCCESS);
  return started;
}

bool platform::OpenUrl(const std::u16string& address) {
  std::string url;
  if (address.empty() || address[0] == u'-' || !ToArgument(address, &url)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const char* override = std::getenv("CORV_URL_OPENER");
  const std::string opener = override && *override ? override : "xdg-open";
  pid_t pid = 0;
  return Spawn(opener, {url}, {}, {}, &pid);
}
