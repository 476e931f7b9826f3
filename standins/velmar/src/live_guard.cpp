#include "live_guard.h"

#include <algorithm>
#include <cctype>

namespace velmar {

namespace {

constexpr std::size_t kMaxHostLength = 255;

bool HostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
         c == '_' || c == ':' || c == '[' || c == ']';
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

// host[:port] as in a Host header or an origin's authority. The name in
// lower case and the port (-1 when absent); false when malformed.
bool SplitAuthority(std::string_view text, std::string* name, int* port) {
  if (text.empty() || text.size() > kMaxHostLength) return false;
  if (!std::all_of(text.begin(), text.end(), HostChar)) return false;
  std::string_view rest;
  if (text.front() == '[') {  // an IPv6 literal
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos || close == 1) return false;
    *name = Lower(text.substr(0, close + 1));
    if (name->find_first_of("[]", 1) != name->size() - 1) return false;
    rest = text.substr(close + 1);
  } else {
    const std::size_t colon = text.find(':');
    *name = Lower(text.substr(0, colon));
    if (name->empty() || name->find_first_of("[]") != std::string::npos) return false;
    rest = colon == std::string_view::npos ? std::string_view() : text.substr(colon);
  }
  *port = -1;
  if (rest.empty()) return true;
  if (rest.front() != ':' || rest.size() < 2 || rest.size() > 6) return false;
  int value = 0;
  for (char c : rest.substr(1)) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > 65535) return false;
  *port = value;
  return true;
}

bool Ours(const std::string& name, int port, std::uint16_t ownPort) {
  return (name == "127.0.0.1" || name == "localhost") && port == ownPort;
}

}  // namespace

Verdict CheckHost(std::string_view host, std::uint16_t port) {
  std::string name;
  int given = -1;
  if (!SplitAuthority(host, &name, &given)) return Verdict::kMalformed;
  return Ours(name, given, port) ? Verdict::kOk : Verdict::kForeign;
}

Verdict CheckOrigin(std::string_view origin, std::uint16_t port) {
  if (origin == "null") return Verdict::kForeign;
  const std::size_t separator = origin.find("://");
  if (separator == std::string_view::npos || separator == 0) return Verdict::kMalformed;
  const std::string_view scheme = origin.substr(0, separator);
  if (!std::all_of(scheme.begin(), scheme.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
               c == '.';
      }))
    return Verdict::kMalformed;
  std::string name;
  int given = -1;
  if (!SplitAuthority(origin.substr(separator + 3), &name, &given)) return Verdict::kMalformed;
  return Lower(scheme) == "http" && Ours(name, given, port) ? Verdict::kOk : Verdict::kForeign;
}

int RefusalStatus(Verdict verdict, bool origin) {
  switch (verdict) {
    case Verdict::kOk: return 200;
    case Verdict::kMissing: return origin ? 403 : 400;
    case Verdict::kMalformed: return 400;
    case Verdict::kForeign: return 403;
  }
  return 400;
}

std::string RefusalReason(Verdict verdict, bool origin) {
  const std::string header = origin ? "Origin" : "Host";
  switch (verdict) {
    case Verdict::kOk: return "";
    case Verdict::kMissing: return "no " + header + " header";
    case Verdict::kMalformed: return "malformed " + header + " header";
    case Verdict::kForeign: return header + " is not this server";
  }
  return "refused";
}

}  // namespace velmar
