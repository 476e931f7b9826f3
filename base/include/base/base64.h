// Base64 (RFC 4648, with padding): pixel maps in project and resource files,
// screenshots from a browser.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace base {

std::string Base64Encode(std::span<const std::uint8_t> bytes);
// nullopt on any character outside the alphabet, bad padding or a length
// that is not a multiple of four.
std::optional<std::vector<std::uint8_t>> Base64Decode(std::string_view text);

}  // namespace base
