// The host's 128-bit identifier. Its memory layout is that of a Windows GUID
// on a little-endian machine; readers that take its first and last 8 bytes
// rely on that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

struct API_Guid {
  std::uint32_t time_low = 0;
  std::uint16_t time_mid = 0;
  std::uint16_t time_hi_and_version = 0;
  std::uint8_t clock_seq_hi_and_reserved = 0;
  std::uint8_t clock_seq_low = 0;
  std::uint8_t node[6] = {0, 0, 0, 0, 0, 0};

  friend bool operator==(const API_Guid& a, const API_Guid& b) { return std::memcmp(&a, &b, sizeof(API_Guid)) == 0; }
};
static_assert(sizeof(API_Guid) == 16);
static_assert(offsetof(API_Guid, time_mid) == 4);
static_assert(offsetof(API_Guid, clock_seq_hi_and_reserved) == 8);
static_assert(offsetof(API_Guid, node) == 10);

inline constexpr API_Guid APINULLGuid{};

// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" in upper case.
std::string APIGuidToString(const API_Guid& guid);
// Accepts the form above in either case, with or without braces; false (and
// guid unchanged) for anything else.
bool APIGuidFromString(const char* text, API_Guid* guid);
