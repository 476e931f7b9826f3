// The platform tests' names for the shared test support: a private runtime
// and registry directory per test process, and helper programs run as real
// child processes with pipes.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "isolation.h"

namespace corvtest {

inline std::string ToolPath(const std::string& tool) { return std::string(CORV_TOOLS_DIR) + "/" + tool; }

// The stand-ins point at the shared test support's fresh directories before
// any platform call (children inherit them); they are removed at exit. The
// reference links the isolation into every test that includes this.
inline const livelink_test::Isolation& g_isolation = livelink_test::Isolated();
inline const std::string& IsolatedRoot() { return g_isolation.root(); }

// A helper program with its stdin and stdout connected to us.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv) {
    if (argv.empty()) return;
    child_ = livelink_test::ChildProcess::Start(argv[0], {argv.begin() + 1, argv.end()});
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t Pid() const { return child_ ? child_->pid() : -1; }

  // One line without its newline; empty on timeout or end of output.
  std::string ReadLine(int timeoutMs = 10000) {
    std::string line;
    return child_ && child_->ReadLine(&line, timeoutMs) ? line : std::string();
  }
  std::string Ask(const std::string& line) { return child_ && child_->Send(line) ? ReadLine() : "not sent"; }
  // Closes its stdin and waits; the exit code, or -1 when it did not exit normally.
  int Finish() {
    if (child_) child_->CloseInput();
    return Wait();
  }
  int Wait() {
    if (!child_) return -1;
    const int status = child_->Wait(60000);
    child_.reset();
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void Kill() {
    if (!child_) return;
    child_->Signal(SIGKILL);
    Wait();
  }

 private:
  std::unique_ptr<livelink_test::ChildProcess> child_;
};

}  // namespace corvtest
