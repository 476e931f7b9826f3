// What the prompt's platform parts share: the session whose idle loop runs
// while a line is awaited, and whether the host is asking a question.
#pragma once

namespace hostsim {

class Session;

struct PromptState {
  Session* session = nullptr;
  bool asking = false;
  // Idle turns are due while waiting for a line.
  bool Idling() const { return session != nullptr && !asking; }
};
PromptState& ThePrompt();

}  // namespace hostsim
