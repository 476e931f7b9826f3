// Number texts of the COLLADA document, byte-identical to printf's "%0.3f",
// "%f" and "%d" in the "C" locale for every finite value, without printf's
// per-call cost (the arrays of a large model hold tens of millions of them).
//
// Non-finite values are the one departure: printf writes "nan", "-nan",
// "inf" and "-inf", which no COLLADA reader accepts as xs:double, so these
// writers produce the schema's own forms "NaN", "INF" and "-INF" instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace collada {

// Room each writer may need at the pointer it is given.
inline constexpr std::size_t kMaxFixedText = 48;  // "%0.3f" or "%f" of any float
inline constexpr std::size_t kMaxIntText = 11;    // "%d" of any int32

// Each writes its text at p (which must have the room above) and returns the
// end of what it wrote. Nothing is terminated.
char* WriteFixed3(char* p, float value);      // "%0.3f"
char* WriteFixed6(char* p, float value);      // "%f"
char* WriteInt(char* p, std::int32_t value);  // "%d"

// Conveniences for the few numbers written outside the arrays.
std::string Fixed3(float value);
std::string Fixed6(float value);

}  // namespace collada
