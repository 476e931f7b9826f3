#include "live_browser.h"

#include "base/base64.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>

extern char** environ;

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace live_test {

namespace {

int MsLeft(Clock::time_point end) {
  return static_cast<int>(
      std::max<long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count()));
}

}  // namespace

std::string Browser::Program() {
  const char* chosen = std::getenv("CHROMIUM");
  const std::string program = chosen != nullptr && *chosen != '\0' ? chosen : "/usr/bin/chromium";
  return ::access(program.c_str(), X_OK) == 0 ? program : "";
}

Browser::~Browser() {
  if (pid_ > 0) {
    std::string ignored;
    Call("Browser.close", json::object(), 5000, &ignored, false);
    for (int i = 0; i < 20 && ::waitpid(pid_, nullptr, WNOHANG) == 0; ++i) ::usleep(100000);
    if (::waitpid(pid_, nullptr, WNOHANG) == 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  if (toBrowser_ >= 0) ::close(toBrowser_);
  if (fromBrowser_ >= 0) ::close(fromBrowser_);
  if (!profile_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(profile_, ignored);
  }
}

bool Browser::Open(const std::string& url, int width, int height, std::string* error) {
  const std::string program = Program();
  if (program.empty()) {
    *error = "no Chromium";
    return false;
  }
  char pattern[] = "/tmp/velmar-chromium-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    *error = "no profile folder";
    return false;
  }
  profile_ = pattern;
  // The browser's end of each pipe goes to fd 3 (it reads) and fd 4 (it
  // writes); our ends stay close-on-exec.
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
    *error = "no pipes";
    return false;
  }
  toBrowser_ = in[1];
  fromBrowser_ = out[0];
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // Moved above 4 first, so that dup2 to 3 and 4 never lands on a pipe end.
  const int browserIn = ::fcntl(in[0], F_DUPFD_CLOEXEC, 10), browserOut = ::fcntl(out[1], F_DUPFD_CLOEXEC, 10);
  ::close(in[0]);
  ::close(out[1]);
  posix_spawn_file_actions_adddup2(&actions, browserIn, 3);
  posix_spawn_file_actions_adddup2(&actions, browserOut, 4);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const std::string size = "--window-size=" + std::to_string(width) + "," + std::to_string(height);
  std::vector<std::string> args = {program, "--headless=new", "--remote-debugging-pipe", "--user-data-dir=" + profile_,
                                   // Root (as in CI) cannot have the sandbox.
                                   "--no-sandbox",
                                   // Software WebGL: this machine has no GPU.
                                   "--use-angle=swiftshader", "--enable-unsafe-swiftshader", "--ignore-gpu-blocklist",
                                   "--no-first-run", "--no-default-browser-check", "--disable-extensions",
                                   "--disable-background-networking", "--disable-background-timer-throttling",
                                   "--disable-renderer-backgrounding", "--disable-backgrounding-occluded-windows",
                                   "--hide-scrollbars", "--mute-audio", size, "about:blank"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int spawned = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(browserIn);
  ::close(browserOut);
  if (spawned != 0) {
    pid_ = -1;
    *error = "cannot start " + program;
    return false;
  }
  // A page of our own, attached in flat mode: its commands carry the session.
  const json target = Call("Target.createTarget", {{"url", "about:blank"}}, 60000, error, false);
  if (!target.contains("targetId")) return false;
  const json attached =
      Call("Target.attachToTarget", {{"targetId", target["targetId"]}, {"flatten", true}}, 30000, error, false);
  if (!attached.contains("sessionId")) return false;
  session_ = attached["sessionId"];
  Call("Emulation.setDeviceMetricsOverride",
       {{"width", width}, {"height", height}, {"deviceScaleFactor", 1}, {"mobile", false}}, 30000, error);
  Call("Page.enable", json::object(), 30000, error);
  Call("Page.setLifecycleEventsEnabled", {{"enabled", true}}, 30000, error);
  const json navigated = Call("Page.navigate", {{"url", url}}, 60000, error);
  if (!navigated.is_object() || navigated.contains("errorText")) {
    if (navigated.is_object()) *error = navigated.value("errorText", "navigation failed");
    return false;
  }
  // The answer comes when the new document is committed, before its HTML is
  // parsed and its scripts have run: a question asked then finds no page.
  // Its load event (of this navigation, not of about:blank) says they have.
  const std::string loader = navigated.value("loaderId", "");
  const auto end = Clock::now() + std::chrono::milliseconds(60000);
  std::string message;
  while (std::find(loaded_.begin(), loaded_.end(), loader) == loaded_.end()) {
    if (!ReadMessage(&message, MsLeft(end))) {
      *error = "the page did not load";
      return false;
    }
    Note(json::parse(message, nullptr, false));
  }
  return true;
}

void Browser::Note(const json& event) {
  if (!event.is_object() || event.value("method", "") != "Page.lifecycleEvent") return;
  const json& params = event.value("params", json::object());
  if (params.value("name", "") == "load") loaded_.push_back(params.value("loaderId", ""));
}

bool Browser::ReadMessage(std::string* message, int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (const std::size_t nul = buffered_.find('\0'); nul != std::string::npos) {
      *message = buffered_.substr(0, nul);
      buffered_.erase(0, nul + 1);
      return true;
    }
    pollfd p{fromBrowser_, POLLIN, 0};
    if (::poll(&p, 1, MsLeft(end)) <= 0) return false;
    char chunk[65536];
    const ssize_t n = ::read(fromBrowser_, chunk, sizeof chunk);
    if (n <= 0) return false;
    buffered_.append(chunk, static_cast<std::size_t>(n));
  }
}

json Browser::Call(const std::string& method, json params, int timeoutMs, std::string* error, bool inPage) {
  const int id = ++nextId_;
  json command = {{"id", id}, {"method", method}, {"params", std::move(params)}};
  if (inPage) command["sessionId"] = session_;
  std::string text = command.dump();
  text.push_back('\0');
  std::size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t n = ::write(toBrowser_, text.data() + sent, text.size() - sent);
    if (n <= 0) {
      if (error) *error = method + ": the browser is gone";
      return nullptr;
    }
    sent += static_cast<std::size_t>(n);
  }
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string message;
  while (ReadMessage(&message, MsLeft(end))) {
    json answer = json::parse(message, nullptr, false);
    if (!answer.is_object() || answer.value("id", -1) != id) {  // events, other answers
      Note(answer);
      continue;
    }
    if (answer.contains("error")) {
      if (error) *error = method + ": " + answer["error"].dump();
      return nullptr;
    }
    return answer.value("result", json::object());
  }
  if (error) *error = method + ": no answer in " + std::to_string(timeoutMs) + " ms";
  return nullptr;
}

json Browser::Evaluate(const std::string& expression, int timeoutMs, std::string* error) {
  std::string failure;
  const json result =
      Call("Runtime.evaluate",
           {{"expression", expression}, {"awaitPromise", true}, {"returnByValue", true}, {"timeout", timeoutMs}},
           timeoutMs + 5000, &failure);
  if (!result.is_object() || result.contains("exceptionDetails")) {
    if (error) *error = result.is_object() ? result["exceptionDetails"].dump() : failure;
    return nullptr;
  }
  return result["result"].value("value", json());
}

bool Browser::WaitShown(std::uint32_t n, int timeoutMs) {
  // Asked in the page, which checks at each of its frames until then.
  const std::string expression =
      "new Promise((done) => { const end = performance.now() + " + std::to_string(timeoutMs) +
      "; const check = () => { const shown = Number(document.documentElement.dataset.shown || 0);"
      " if (shown >= " +
      std::to_string(n) +
      ") done(shown); else if (performance.now() > end) done(-1);"
      " else setTimeout(check, 20); }; check(); })";
  const json shown = Evaluate(expression, timeoutMs);
  return shown.is_number() && shown.get<double>() >= n;
}

std::vector<std::uint8_t> Browser::Screenshot(int timeoutMs) {
  std::string error;
  const json shot = Call("Page.captureScreenshot", {{"format", "png"}}, timeoutMs, &error);
  if (!shot.is_object() || !shot.contains("data")) return {};
  // Chromium's screenshot is one base64 text without line breaks; a text
  // that does not decode is no picture.
  return base::Base64Decode(shot["data"].get<std::string>()).value_or(std::vector<std::uint8_t>{});
}

}  // namespace live_test
