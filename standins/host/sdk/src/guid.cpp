#include "hostsdk/guid.h"

#include <cctype>
#include <cstdio>
#include <cstring>

std::string APIGuidToString(const API_Guid& g) {
  char text[37];
  std::snprintf(text, sizeof(text), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", unsigned(g.time_low),
                unsigned(g.time_mid), unsigned(g.time_hi_and_version), unsigned(g.clock_seq_hi_and_reserved),
                unsigned(g.clock_seq_low), unsigned(g.node[0]), unsigned(g.node[1]), unsigned(g.node[2]),
                unsigned(g.node[3]), unsigned(g.node[4]), unsigned(g.node[5]));
  return text;
}

namespace {
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

bool APIGuidFromString(const char* text, API_Guid* guid) {
  if (text == nullptr || guid == nullptr) return false;
  std::size_t len = std::strlen(text);
  if (len == 38 && text[0] == '{' && text[37] == '}') {
    ++text;
    len = 36;
  }
  if (len != 36) return false;
  std::uint8_t bytes[16];
  std::size_t n = 0;
  for (std::size_t i = 0; i < 36;) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return false;
      ++i;
      continue;
    }
    const int hi = HexValue(text[i]);
    const int lo = HexValue(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes[n++] = std::uint8_t(hi * 16 + lo);
    i += 2;
  }
  API_Guid g;
  g.time_low =
      (std::uint32_t(bytes[0]) << 24) | (std::uint32_t(bytes[1]) << 16) | (std::uint32_t(bytes[2]) << 8) | bytes[3];
  g.time_mid = std::uint16_t((bytes[4] << 8) | bytes[5]);
  g.time_hi_and_version = std::uint16_t((bytes[6] << 8) | bytes[7]);
  g.clock_seq_hi_and_reserved = bytes[8];
  g.clock_seq_low = bytes[9];
  std::memcpy(g.node, bytes + 10, 6);
  *guid = g;
  return true;
}
