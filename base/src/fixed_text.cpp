#include "base/fixed_text.h"

#include <algorithm>
#include <cstring>

namespace base {

std::size_t FixedTextLength(const char16_t* field, std::size_t units) {
  if (field == nullptr) return 0;
  std::size_t n = 0;
  while (n < units && field[n] != 0) ++n;
  return n;
}

std::u16string ReadFixedText(const char16_t* field, std::size_t units) {
  // One pass, each unit read once: the field may be shared memory that
  // another process rewrites meanwhile, and the text must stop at the NUL it
  // actually met.
  std::u16string text;
  if (field == nullptr) return text;
  for (std::size_t i = 0; i < units; ++i) {
    const char16_t c = field[i];
    if (c == 0) break;
    text.push_back(c);
  }
  return text;
}

bool WriteFixedText(char16_t* field, std::size_t units, std::u16string_view text, Overflow overflow) {
  if (field == nullptr) return false;
  std::memset(field, 0, units * sizeof(char16_t));
  if (text.size() >= units && overflow == Overflow::Refuse) return false;
  std::size_t n = std::min(text.size(), units);
  if (overflow == Overflow::TruncateTerminated) {
    if (units == 0) return false;
    n = std::min(text.size(), units - 1);
    const bool cut = n < text.size();
    if (cut && n > 0 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
  }
  std::memcpy(field, text.data(), n * sizeof(char16_t));
  return true;
}

}  // namespace base
