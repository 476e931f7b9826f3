// A program started as a real child process with pipes on its standard
// input and output, so a test can drive it line by line and kill it.
#pragma once

#include <sys/types.h>
#ifdef _WIN32
#include <csignal>
// Windows has no SIGKILL: Signal(SIGKILL) ends the child with
// TerminateProcess, as kill -9 would (any other signal too, but SIGINT,
// which is sent as a console Ctrl-C to the child's process group).
#ifndef SIGKILL
#define SIGKILL 9
#endif
// SIGSTOP suspends every thread of the child (SuspendThread), SIGCONT
// resumes them.
#ifndef SIGSTOP
#define SIGSTOP 19
#endif
#ifndef SIGCONT
#define SIGCONT 18
#endif
#endif

#include <memory>
#include <string>
#include <vector>

namespace livelink_test {

class ChildProcess {
 public:
  // Starts program with args (no shell). Null when it cannot be started.
  static std::unique_ptr<ChildProcess> Start(const std::string& program, const std::vector<std::string>& args);
  ~ChildProcess();  // kills (SIGKILL) and reaps a child that still runs

  pid_t pid() const { return pid_; }
  // Next line of the child's output without its newline; false on timeout
  // or end of output.
  bool ReadLine(std::string* line, int timeoutMs);
  // Reads lines until one starts with prefix; returns it, or "" on timeout.
  std::string WaitFor(const std::string& prefix, int timeoutMs);
  bool Send(const std::string& line);  // writes line + "\n" to its input
  void CloseInput();
  void Signal(int signal);
  // Waits for the exit; the wait status (on Windows the exit code), or -1
  // after timeoutMs.
  int Wait(int timeoutMs);

 private:
  ChildProcess() = default;
  pid_t pid_ = -1;
#ifdef _WIN32
  void* process_ = nullptr;
  void* in_ = nullptr;
  void* out_ = nullptr;
#else
  int in_ = -1;
  int out_ = -1;
#endif
  std::string pending_;
  bool reaped_ = false;
};

}  // namespace livelink_test
