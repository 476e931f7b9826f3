// Whether this test program runs under AddressSanitizer or ThreadSanitizer,
// which make it several times slower: tests whose work is a long random
// sequence run a shorter one there, so that they stay within their time
// limit on a loaded machine. The sanitizers look for faults of memory and
// threads, which a shorter sequence meets as well; the full sequence runs
// in the plain build.
#pragma once

namespace testsupport {

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define CORV_TESTSUPPORT_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CORV_TESTSUPPORT_SANITIZED 1
#endif

#ifdef CORV_TESTSUPPORT_SANITIZED
inline constexpr bool kSanitizedBuild = true;
#else
inline constexpr bool kSanitizedBuild = false;
#endif

}  // namespace testsupport
