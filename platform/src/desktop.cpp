// Starting programs and opening web addresses: posix_spawn with argument
// vectors, never a shell, so no text given to us is ever interpreted.
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

#include "platform/win32.h"
#include "utf16.h"

extern char** environ;

namespace {

DWORD SpawnError(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENOEXEC:
      return ERROR_BAD_EXE_FORMAT;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    default:
      return ERROR_NOT_ENOUGH_MEMORY;
  }
}

bool ToArgument(const std::u16string& text, std::string* out) {
  if (text.find(u'\0') != std::u16string::npos) return false;  // would be cut short silently
  *out = platform::detail::ToUtf8(text);
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

bool Spawn(const std::string& program, const std::vector<std::string>& args,
           const std::string& directory, const std::vector<std::string>& extraEnvironment,
           pid_t* pid) {
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
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);  // no inherited handles
  const bool searchPath = program.find('/') == std::string::npos;
  const int error = searchPath
                        ? ::posix_spawnp(pid, program.c_str(), &actions, nullptr, argv.data(), envp.data())
                        : ::posix_spawn(pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
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

bool platform::StartProcess(const std::u16string& program, const std::vector<std::u16string>& args,
                            const std::u16string& workingDirectory, bool maximised,
                            DWORD* processId) {
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
  const std::string show =
      "CORV_SHOW_WINDOW=" + std::to_string(maximised ? SW_SHOWMAXIMIZED : SW_SHOWNORMAL);
  pid_t pid = 0;
  if (!Spawn(file, argv, directory, {show}, &pid)) return false;
  if (processId) *processId = static_cast<DWORD>(pid);
  return true;
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
