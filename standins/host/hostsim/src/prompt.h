// The interactive prompt's line reading. While it waits for a line the
// host's idle loop runs (every 33 ms), except while the host asks a question
// (a modal state, where the host's own idle would re-enter the add-on).
// Linux has line editing and history (libedit); Windows reads plain lines.
#pragma once

#include <string>

namespace hostsim {

class Session;

// Starts the prompt for session (idle turns while waiting); history from
// historyPath where the platform keeps one (empty: none).
void OpenPrompt(Session* session, const std::string& historyPath);
// Stores the history and stops the idle turns.
void ClosePrompt();
// Reads one line after printing prompt; false at the end of the input.
[[nodiscard]] bool AskLine(const std::string& prompt, std::string* out);

// Held while the host asks a question: no idle turns meanwhile.
class AskingQuestion {
 public:
  AskingQuestion();
  ~AskingQuestion();
  AskingQuestion(const AskingQuestion&) = delete;
  AskingQuestion& operator=(const AskingQuestion&) = delete;

 private:
  bool saved_;
};

}  // namespace hostsim
