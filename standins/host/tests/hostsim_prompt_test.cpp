// The interactive prompt as a person uses it, in a real terminal (tmux):
// typing commands, answering a question the host asks, recalling history.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "ui_env.h"

namespace {

std::string Capture(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

class Tmux {
 public:
  Tmux() : socket_("corv-uitest-" + std::to_string(getpid())) {}
  ~Tmux() { Capture(Prefix() + " kill-server 2>/dev/null"); }
  std::string Prefix() const { return "tmux -L " + socket_; }
  bool Start(const std::string& command) {
    if (std::system((Prefix() + " new-session -d -s t -x 160 -y 50 \"" + command + "\"").c_str()) != 0) return false;
    // The pane stays readable after hostsim has exited.
    return std::system((Prefix() + " set-option -t t remain-on-exit on").c_str()) == 0;
  }
  void Keys(const std::string& keys) { std::system((Prefix() + " send-keys -t t " + keys).c_str()); }
  void Type(const std::string& line) { Keys("-l '" + line + "'"), Keys("Enter"); }
  std::string Screen() { return Capture(Prefix() + " capture-pane -p -t t -S -200 2>/dev/null"); }
  // Waits up to 20 s for text to appear on the screen.
  bool WaitFor(const std::string& text) {
    for (int i = 0; i < 400; ++i) {
      if (Screen().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

 private:
  std::string socket_;
};

int Count(const std::string& s, const std::string& what) {
  int n = 0;
  for (auto p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
  return n;
}

TEST(HostsimPrompt, CommandsQuestionsAndHistoryInATerminal) {
  Tmux tmux;
  // The environment of this test program (isolated registry and runtime
  // directory) is passed on explicitly: the tmux server has its own.
  std::string env;
  const std::string journal = uitest::TempDir() + "/prompt.journal";
  setenv("CORV_UIADDON_JOURNAL", journal.c_str(), 1);
  for (const char* v : {"CORV_REGISTRY_HKCU", "CORV_REGISTRY_HKLM", "CORV_RUNTIME_DIR", "HOSTSIM_HISTORY",
                        "CORV_UIADDON_JOURNAL"})
    env += std::string(v) + "=" + getenv(v) + " ";
  ASSERT_TRUE(tmux.Start("env " + env + "TERM=xterm " + CORV_HOSTSIM_PATH + " --no-launch"));
  ASSERT_TRUE(tmux.WaitFor("hostsim>")) << tmux.Screen();
  tmux.Type(std::string("load ") + CORV_UIADDON_PATH);
  ASSERT_TRUE(tmux.WaitFor("loaded \"UI test add-on\"")) << tmux.Screen();
  tmux.Type("show menus");
  ASSERT_TRUE(tmux.WaitFor("[host palette menu]")) << tmux.Screen();
  EXPECT_NE(tmux.Screen().find("Start Link  (disabled)"), std::string::npos);

  // A question from the host is asked at the prompt.
  tmux.Type("new");
  tmux.Type("menu 32101");
  ASSERT_TRUE(tmux.WaitFor("ok/cancel/yes/no/...>")) << tmux.Screen();
  EXPECT_NE(tmux.Screen().find("Please save your project first."), std::string::npos);
  tmux.Type("ok");
  ASSERT_TRUE(tmux.WaitFor("message box answered OK")) << tmux.Screen();

  // History: the arrow key brings the last command back.
  tmux.Type("echo recalled line");
  ASSERT_TRUE(tmux.WaitFor("recalled line")) << tmux.Screen();
  tmux.Keys("Up");
  tmux.Keys("Enter");
  for (int i = 0; i < 100 && Count(tmux.Screen(), "echo             recalled line") < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(Count(tmux.Screen(), "echo             recalled line"), 2) << tmux.Screen();

  // A mistake is reported and the prompt stays.
  tmux.Type("frobnicate");
  ASSERT_TRUE(tmux.WaitFor("unknown command \"frobnicate\"")) << tmux.Screen();
  // While the prompt waits, the host's loop sends idle messages (about 30
  // a second), far more than the dozen commands typed.
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  tmux.Type("quit");
  ASSERT_TRUE(tmux.WaitFor("FreeData")) << tmux.Screen();
  ASSERT_TRUE(tmux.WaitFor("idle passes")) << tmux.Screen();
  std::ifstream in(journal);
  std::string line, last;
  while (std::getline(in, line))
    if (line.rfind("freed after ", 0) == 0) last = line;
  long passes = std::atol(last.c_str() + 12);
  EXPECT_GT(passes, 20) << last;
}

}  // namespace
