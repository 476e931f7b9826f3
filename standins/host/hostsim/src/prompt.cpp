#include "prompt.h"

#include "prompt_state.h"

namespace hostsim {

PromptState& ThePrompt() {
  static PromptState state;
  return state;
}

AskingQuestion::AskingQuestion() : saved_(ThePrompt().asking) { ThePrompt().asking = true; }
AskingQuestion::~AskingQuestion() { ThePrompt().asking = saved_; }

}  // namespace hostsim
