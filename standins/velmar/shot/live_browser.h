// Headless Chromium driven through its DevTools protocol on a pipe
// (--remote-debugging-pipe: commands on its fd 3, answers on fd 4, each
// message JSON ending in a NUL), with software WebGL (SwiftShader). For
// the live view's tests, the main job's screenshots and the bench: open the
// page, wait for what it says it has shown, take a screenshot.
#pragma once

#include <sys/types.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace live_test {

class Browser {
 public:
  // The Chromium program (CHROMIUM in the environment, else
  // /usr/bin/chromium); empty when there is none.
  static std::string Program();

  Browser() = default;
  ~Browser();  // closes the browser, kills it if it does not go
  Browser(const Browser&) = delete;
  Browser& operator=(const Browser&) = delete;

  // Starts Chromium with a viewport of width x height, opens url in it and
  // waits for the page's load event (its scripts have run). False with
  // *error when it cannot start or the page does not load within 60 s.
  bool Open(const std::string& url, int width, int height, std::string* error);
  // Evaluates a JavaScript expression in the page, waiting for a promise it
  // returns; its value, or null (with *error) on an exception or timeout.
  nlohmann::json Evaluate(const std::string& expression, int timeoutMs, std::string* error = nullptr);
  // Waits until the page has shown update n or a later one (the page's
  // data-shown attribute). False on timeout.
  bool WaitShown(std::uint32_t n, int timeoutMs);
  // The viewport as PNG bytes; empty on failure.
  std::vector<std::uint8_t> Screenshot(int timeoutMs = 30000);

 private:
  nlohmann::json Call(const std::string& method, nlohmann::json params, int timeoutMs, std::string* error,
                      bool inPage = true);
  bool ReadMessage(std::string* message, int timeoutMs);
  // Keeps what later calls wait for from an event read meanwhile: the
  // loaders whose documents have loaded.
  void Note(const nlohmann::json& event);

  pid_t pid_ = -1;
  int toBrowser_ = -1, fromBrowser_ = -1;
  std::string profile_;
  std::string buffered_;
  std::string session_;
  std::vector<std::string> loaded_;
  int nextId_ = 0;
};

}  // namespace live_test
