// Numbers in the texts the settings keep (the registry's offset, the
// project's auto-text) are written with "." whatever the user's locale, and
// read back the same way: the process locale (the host's) is never
// consulted nor changed. One realisation per platform: posix/, win/.
#pragma once

namespace context {

// strtof in the "C" locale: leading white space, a sign, decimal or
// hexadecimal forms, "inf" and "nan"; *end (when end is given) past what was
// read. errno is ERANGE when the value is out of a float's range (too large,
// or too small to be held without losing precision).
float ParseFloatC(const char* text, char** end);

}  // namespace context
